#include "tools/demo/DemoCheck.h"

#include <cstdio>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "tools/demo/DevToolsPage.h"

namespace
{
constexpr int attachTimeoutMs = 60000;
constexpr int loadTimeoutMs = 60000;
constexpr int screenTimeoutMs = 30000;
constexpr int connectTimeoutMs = 60000;
// The page polls the traffic every 3 s; give it a few rounds.
constexpr int trafficTimeoutMs = 20000;
constexpr int echoTimeoutMs = 20000;
constexpr int settleTimeoutMs = 3000;
constexpr int serialAttemptMs = 2000;
constexpr qint64 trafficPayloadBytes = 256 * 1024;
constexpr int vpnConnected = 3;
constexpr int vpnDisconnected = 1;

const QString loginShown =
    QStringLiteral("location.pathname === '/login' && document.querySelector('input[name=\"username\"]') !== null");
const QString domainsShown =
    QStringLiteral("location.pathname === '/domains' && document.querySelectorAll('.domain-container').length > 0");

QString deviceRow(int deviceId)
{
    return QStringLiteral("#domainsContainer .device[data-id='%1']").arg(deviceId);
}

QString domainHeader(int domainId)
{
    return QStringLiteral("#domainsContainer .domain[data-id='%1']").arg(domainId);
}

// Opens one side of a serial pair raw and non-blocking, as a terminal program would.
int openSerial(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(fd, TCSANOW, &settings);
    }
    return fd;
}

QByteArray readSerial(int fd)
{
    QByteArray data;
    char chunk[256];
    ssize_t n = 0;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
        data.append(chunk, static_cast<int>(n));
    }
    return data;
}
} // namespace

DemoCheck::DemoCheck(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_driver(new DevToolsPage(options.devToolsPort, this))
{}

DemoCheck::~DemoCheck() = default;

int DemoCheck::run()
{
    const bool road =
        login() && openDomain() && connectDevice() && trafficFlows() && serialEcho() && logout() && connectAgain();
    // A screenshot that could not be written fails the check too: each screen is part of what it delivers.
    const bool ok = road && m_screenshotsSaved;
    std::fprintf(stderr, "[check] %s\n", ok ? "every step worked" : "stopped at the first failure");
    return ok ? 0 : 1;
}

bool DemoCheck::report(const QString &step, bool ok, const QString &detail)
{
    std::fprintf(stderr,
                 "[check] %-38s %s%s%s\n",
                 qPrintable(step),
                 ok ? "ok" : "FAILED",
                 detail.isEmpty() ? "" : ": ",
                 qPrintable(detail));
    std::fflush(stderr);
    return ok;
}

void DemoCheck::screenshot(const QString &name)
{
    if (m_options.screenshotFolder.isEmpty()) {
        return;
    }
    // Let the page finish its transitions and paint two frames, then take the picture once the view holds still
    // (a spinner never does: the wait is bounded).
    m_driver->evaluate(QStringLiteral("window.demoFramesPainted = false; requestAnimationFrame(function () {"
                                      " requestAnimationFrame(function () { window.demoFramesPainted = true; }); });"));
    if (!m_driver->waitFor(QStringLiteral("window.demoFramesPainted === true && document.getAnimations().filter("
                                          "function (a) { return a.playState === 'running' && "
                                          "a.effect.getComputedTiming().iterations !== Infinity; }).length === 0"),
                           settleTimeoutMs)) {
        std::fprintf(stderr, "[check] note: screenshot %s taken while the page still moves\n", qPrintable(name));
    }
    QByteArray shot = m_driver->screenshot();
    [[maybe_unused]] const bool still = QTest::qWaitFor(
        [this, &shot] {
            const QByteArray next = m_driver->screenshot();
            const bool same = next == shot;
            shot = next;
            return same;
        },
        settleTimeoutMs);
    const QString path = QStringLiteral("%1/%2-%3.png")
                             .arg(m_options.screenshotFolder)
                             .arg(++m_screenshots, 2, 10, QLatin1Char('0'))
                             .arg(name);
    QSaveFile file(path);
    if (shot.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(shot) != shot.size() || !file.commit()) {
        m_screenshotsSaved = false;
        report(QStringLiteral("screenshot ") + name, false, QStringLiteral("cannot write ") + path);
    }
}

int DemoCheck::vpnStatus()
{
    // Asked as the page's power button asks it.
    const QVariant status = m_driver->evaluate(
        QStringLiteral("new Promise(function (resolve) { ORV.vpn.getStatus(resolve); })"), nullptr, screenTimeoutMs);
    return status.isValid() ? status.toInt() : -1;
}

int DemoCheck::domainOfDevice()
{
    bool answered = false;
    const QVariant domainId = m_driver->evaluate(
        QStringLiteral("(function () { var row = document.querySelector(%1); if (row === null) return -1;"
                       " return parseInt(row.closest('.domain-container').querySelector('.domain')"
                       ".getAttribute('data-id'), 10); })()")
            .arg(DevToolsPage::quote(deviceRow(m_options.deviceId))),
        &answered);
    return answered && domainId.isValid() ? domainId.toInt() : -1;
}

qint64 DemoCheck::shownBytes(const QString &box)
{
    const QString base = QStringLiteral(".vpn-stats .stats-%1 ").arg(box);
    bool isNumber = false;
    const double value = m_driver->text(base + QStringLiteral(".value")).toDouble(&isNumber);
    const QString unit = m_driver->text(base + QStringLiteral(".unit"));
    const QStringList units{QStringLiteral("B"), QStringLiteral("kB"), QStringLiteral("MB"), QStringLiteral("GB")};
    const int power = units.indexOf(unit);
    if (!isNumber || power < 0) {
        return -1;
    }
    double bytes = value;
    for (int i = 0; i < power; ++i) {
        bytes *= 1024;
    }
    return static_cast<qint64>(bytes);
}

bool DemoCheck::login()
{
    const bool attached = m_driver->attach(attachTimeoutMs);
    if (!report(QStringLiteral("program's page reached"),
                attached,
                attached ? QStringLiteral("remote debugging port %1").arg(m_options.devToolsPort)
                         : m_driver->errorString())) {
        return false;
    }
    // The shell has started once the channel is open and the splash is gone.
    if (!report(QStringLiteral("page loads"),
                m_driver->waitFor(QStringLiteral("typeof ORV !== 'undefined' && getComputedStyle("
                                                 "document.querySelector('.splash-screen')).display === 'none'"),
                                  loadTimeoutMs))) {
        return false;
    }
    if (!report(QStringLiteral("login screen shown"), m_driver->waitFor(loginShown, screenTimeoutMs))) {
        screenshot(QStringLiteral("no-login-screen"));
        return false;
    }
    screenshot(QStringLiteral("login"));
    if (!report(QStringLiteral("credentials entered"), enterCredentials())) {
        return false;
    }
    const bool shown = m_driver->waitFor(domainsShown, screenTimeoutMs);
    screenshot(QStringLiteral("domains"));
    if (!report(QStringLiteral("domain list shown"), shown)) {
        return false;
    }
    const QString user = m_driver->text(QStringLiteral(".navbar .username"));
    return report(QStringLiteral("logged in as the demo user"),
                  user == m_options.username,
                  QStringLiteral("navbar shows \"%1\"").arg(user));
}

bool DemoCheck::enterCredentials()
{
    return m_driver->type(QStringLiteral("input[name=\"username\"]"), m_options.username)
           && m_driver->type(QStringLiteral("input[name=\"password\"]"), m_options.password)
           && m_driver->click(QStringLiteral(".form-buttons button.login"));
}

bool DemoCheck::openDomain()
{
    const int domainId = domainOfDevice();
    if (!report(QStringLiteral("device listed"), domainId >= 0, QStringLiteral("device %1").arg(m_options.deviceId))) {
        return false;
    }
    const QString closed = QStringLiteral("document.querySelector(%1).closest('.domain-container')"
                                          ".querySelector('.device-container').classList.contains('closed')")
                               .arg(DevToolsPage::quote(domainHeader(domainId)));
    // The page opens the remembered or the first domain by itself; a click on its header opens any other.
    const bool wasClosed = m_driver->evaluate(closed).toBool();
    if (wasClosed && !m_driver->click(domainHeader(domainId))) {
        return report(QStringLiteral("domain opened"), false, QStringLiteral("no header to click"));
    }
    const bool open = m_driver->waitFor(QStringLiteral("!(") + closed + QLatin1Char(')'), screenTimeoutMs);
    screenshot(QStringLiteral("domain-open"));
    return report(
        QStringLiteral("domain opened"),
        open,
        QStringLiteral("domain %1, %2").arg(domainId).arg(wasClosed ? "by a click on its header" : "already open"));
}

bool DemoCheck::connectDevice()
{
    const QString row = deviceRow(m_options.deviceId);
    if (!report(QStringLiteral("connect clicked"), m_driver->click(row + QStringLiteral(" .icons .connect")))) {
        return false;
    }
    const bool green = m_driver->waitFor(
        QStringLiteral("document.querySelector(%1).classList.contains('bg-green')").arg(DevToolsPage::quote(row)),
        connectTimeoutMs);
    screenshot(QStringLiteral("connected"));
    if (!report(QStringLiteral("device row shows connected"), green)) {
        return false;
    }
    const int status = vpnStatus();
    return report(QStringLiteral("tunnel connected"),
                  status == vpnConnected,
                  QStringLiteral("the program's VPN status %1").arg(status));
}

bool DemoCheck::trafficFlows()
{
    // Wait for the box's first reading after the connection, then push bytes through the tunnel to the device.
    if (!m_driver->waitFor(QStringLiteral("parseFloat(document.querySelector('.vpn-stats .stats-in .value')"
                                          ".textContent) > 0"),
                           trafficTimeoutMs)) {
        return report(QStringLiteral("traffic box counts"), false, QStringLiteral("still zero after connecting"));
    }
    const qint64 inBefore = shownBytes(QStringLiteral("in"));
    const qint64 outBefore = shownBytes(QStringLiteral("out"));

    QTcpSocket socket;
    socket.connectToHost(m_options.deviceIp, m_options.echoPort);
    const bool connected = socket.waitForConnected(echoTimeoutMs);
    if (!report(QStringLiteral("device reached through tunnel"),
                connected,
                QStringLiteral("%1:%2").arg(m_options.deviceIp).arg(m_options.echoPort)
                    + (connected ? QString() : QLatin1Char(' ') + socket.errorString()))) {
        return false;
    }
    QByteArray payload(static_cast<int>(trafficPayloadBytes), '\0');
    for (int i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>('a' + i % 26);
    }
    socket.write(payload);
    QByteArray echoed;
    const bool complete = QTest::qWaitFor(
        [&socket, &echoed] {
            echoed += socket.readAll();
            return echoed.size() >= static_cast<int>(trafficPayloadBytes);
        },
        echoTimeoutMs);
    if (!report(QStringLiteral("bytes echoed by the device"),
                complete && echoed == payload,
                QStringLiteral("%1 of %2 bytes back").arg(echoed.size()).arg(trafficPayloadBytes))) {
        return false;
    }
    socket.disconnectFromHost();

    // The tunnel carries the payload both ways, wrapped: each direction must grow by at least the payload.
    qint64 inAfter = -1;
    qint64 outAfter = -1;
    const bool grown = QTest::qWaitFor(
        [&] {
            inAfter = shownBytes(QStringLiteral("in"));
            outAfter = shownBytes(QStringLiteral("out"));
            // The box rounds to a tenth of its unit.
            const qint64 slack = trafficPayloadBytes / 10;
            return inAfter >= inBefore + trafficPayloadBytes - slack
                   && outAfter >= outBefore + trafficPayloadBytes - slack;
        },
        trafficTimeoutMs);
    screenshot(QStringLiteral("traffic"));
    return report(
        QStringLiteral("traffic box shows the bytes"),
        grown,
        QStringLiteral("in %1 -> %2 B, out %3 -> %4 B").arg(inBefore).arg(inAfter).arg(outBefore).arg(outAfter));
}

bool DemoCheck::serialEcho()
{
    const QString row = deviceRow(m_options.deviceId);
    if (!report(QStringLiteral("serial ports page opened"),
                m_driver->click(row + QStringLiteral(" .icons .settings"))
                    && m_driver->waitFor(
                        QStringLiteral("document.querySelector('.main-container .page').classList.contains('slided')"
                                       " && !document.querySelector('#serialVirtualPortPage "
                                       ".virtual-serial-ports-container').classList.contains('closed')"),
                        screenTimeoutMs))) {
        return false;
    }
    screenshot(QStringLiteral("serial-ports"));
    const QString page = QStringLiteral("#serialVirtualPortPage ");
    const bool formOpen =
        m_driver->click(page + QStringLiteral(".icon-create-new"))
        && m_driver->waitFor(QStringLiteral("!document.querySelector('#serialVirtualPortPage .form-container')"
                                            ".classList.contains('closed')"),
                             screenTimeoutMs);
    if (!report(QStringLiteral("new port form opened"), formOpen)) {
        return false;
    }
    const QString type = m_driver
                             ->evaluate(QStringLiteral("document.querySelector('#serialVirtualPortPage "
                                                       "select[name=\"type\"]').value"))
                             .toString();
    const QString created = page + QStringLiteral(".virtual-serial-port[data-type='%1'] .serial-name").arg(type);
    if (!report(QStringLiteral("create clicked"), m_driver->click(page + QStringLiteral(".button-create")))) {
        return false;
    }
    const bool listed = m_driver->waitFor(
        QStringLiteral("(function () { var e = document.querySelector(%1); return e !== null && e.textContent.trim() "
                       "!== '' && document.querySelector('#serialVirtualPortPage .form-overlay').classList"
                       ".contains('hidden'); })()")
            .arg(DevToolsPage::quote(created)),
        screenTimeoutMs);
    screenshot(QStringLiteral("serial-port-created"));
    m_serialName = listed ? m_driver->text(created).trimmed() : QString();
    if (!report(QStringLiteral("virtual serial port listed"), listed, m_serialName)) {
        return false;
    }

    return echoThroughPort(QStringLiteral("bytes echoed through the port"));
}

bool DemoCheck::echoThroughPort(const QString &step)
{
    // The bridge to the device comes up on its own shortly after the pair; until then written bytes may be lost,
    // so each attempt writes a fresh line and waits a little for it to come back.
    const QString path = m_options.serialFolder + QLatin1Char('/') + m_serialName;
    int fd = -1;
    QByteArray received;
    QByteArray line;
    int attempt = 0;
    const bool echoed = QTest::qWaitFor(
        [&] {
            if (fd < 0) {
                fd = openSerial(path);
                if (fd < 0) {
                    return false;
                }
            }
            line = QStringLiteral("demo line %1 through %2\n").arg(++attempt).arg(m_serialName).toUtf8();
            received.clear();
            if (::write(fd, line.constData(), static_cast<size_t>(line.size())) != line.size()) {
                return false;
            }
            return QTest::qWaitFor(
                [&] {
                    received += readSerial(fd);
                    return received.contains(line);
                },
                serialAttemptMs);
        },
        echoTimeoutMs);
    if (fd >= 0) {
        ::close(fd);
    }
    return report(step,
                  echoed,
                  echoed ? QStringLiteral("%1 (%2 bytes)").arg(path).arg(line.size())
                         : QStringLiteral("%1 exists: %2, last read \"%3\"")
                               .arg(path,
                                    QFileInfo::exists(path) ? QStringLiteral("yes") : QStringLiteral("no"),
                                    QString::fromUtf8(received)));
}

bool DemoCheck::logout()
{
    const bool back =
        m_driver->click(QStringLiteral(".navbar .logout")) && m_driver->waitFor(loginShown, screenTimeoutMs);
    screenshot(QStringLiteral("logged-out"));
    if (!report(QStringLiteral("logged out to the login screen"), back)) {
        return false;
    }
    const bool down = QTest::qWaitFor([this] { return vpnStatus() == vpnDisconnected; }, connectTimeoutMs);
    if (!report(
            QStringLiteral("tunnel closed"), down, QStringLiteral("the program's VPN status %1").arg(vpnStatus()))) {
        return false;
    }
    const QString path = m_options.serialFolder + QLatin1Char('/') + m_serialName;
    const bool removed = QTest::qWaitFor([&path] { return !QFileInfo::exists(path); }, screenTimeoutMs);
    return report(QStringLiteral("serial pair removed"), removed, path);
}

bool DemoCheck::connectAgain()
{
    // Every screen has its picture already.
    m_options.screenshotFolder.clear();
    if (!report(QStringLiteral("logged in again"),
                enterCredentials() && m_driver->waitFor(domainsShown, screenTimeoutMs))) {
        return false;
    }
    // The port made before the logout is kept: the tunnel to its device brings its pair and bridge back. The
    // program is left so, with everything up that it must take down when it is ended.
    return openDomain() && connectDevice() && echoThroughPort(QStringLiteral("bytes echoed through the kept port"));
}

// The program's own start-up road in a probe the benchmarks can watch: the real window, controller and page, built
// as main() builds them. Modes:
//   --until login                      prints "ready" once the login screen is shown
//   --until permission                 prints "moment <epoch ms>" of the login screen's checkRootPermissions
//                                      question (before the page's designed splash delay), then "ready"
//   --until domains --portal-port N    logs in through the page and prints "ready" once the domain list is shown;
//                                      before it, "login-rss <kB>" (its own resident size at the login screen) and
//                                      "drawn <ms>" (the login click to the first frame of the list with a domain
//                                      open, on the page's clock)
//     --interact                       then "open <ms>" and "close <ms>" (a click on a closed domain's header to
//                                      the frame after it, on the page's clock) and "scroll <ms>" (the longest gap
//                                      between the page's frames while 60 wheel notches scroll the list with three
//                                      domains open)
//     --reloads K                      then K reloads of the list, one after the other (the 30 s timer pushed out
//                                      of the way), each printing "reload <longest stall ms> <answer ms> <call ms>
//                                      <peak kB>": the page's longest time without running a timer from the
//                                      reload's request until its rows show the new states, a script's round trip
//                                      right after it, the slowest answer to the page's calls of
//                                      ORV.getApplicationVersion meanwhile, and the main process's peak resident
//                                      size during the reload
//     --logouts K                      then K times: log out through the page, and log in again but after the
//                                      last; after the first and the last logout "logout-pss <kB>" (the process
//                                      tree's proportional size once the login screen has been quiet for a minute);
//                                      "login-pss <kB>" is printed at the first login screen
//   --connect N                        (root) in namespaces of its own, with a real OpenVPN server and the test
//                                      portal: N times a click on a device to onConnected, each followed by the
//                                      bare daemon's start to CONNECTED with the same profile; prints
//                                      "connect <click ms> <daemon ms>" per run
// After "ready" it stays until its standard input closes, so that the benchmark can read its memory.
#include <cstdio>
#include <memory>

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWheelEvent>

#include <unistd.h>

#include "bench/BareDaemon.h"
#include "bench/BenchProcess.h"
#include "bench/StartupPageWait.h"
#include "controller/Orv.h"
#include "core/FreedMemory.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "tools/testportal/TestPortal.h"
#include "tools/testtunnel/TestTunnel.h"
#include "vpn/OrvVpn.h"
#include "vpn/engine/ClientApi.h"
#include "window/MainWindow.h"
#include "window/WebengineSupervisor.h"

static void registerPageResources()
{
    Q_INIT_RESOURCE(page);
}

namespace
{
constexpr int screenTimeoutMs = 60000;
constexpr int tunnelTimeoutMs = 30000;
constexpr int benchDeviceId = 11;
// The memory is read between reloads, where the program spends most of its 30 s period.
constexpr int reloadSettleMs = 3000;
// After a logout the page's engine collects what the list's screen held once the page has been quiet for a while,
// within a minute.
constexpr int logoutSettleMs = 60000;

// The login form is visible: the splash is gone and the form is laid out.
const QString loginShown =
    QStringLiteral("location.pathname === '/login' && document.querySelector('.splash-screen') !== null"
                   " && getComputedStyle(document.querySelector('.splash-screen')).display === 'none'"
                   " && document.querySelector('input[name=\"username\"]') !== null"
                   " && document.querySelector('input[name=\"username\"]').offsetParent !== null");
// Set by the hook below when the page asks for its rights.
const QString permissionAsked = QStringLiteral("window.__permissionAsked === true");
// Runs before the page's own scripts: wraps the published object's rights question as the page assigns ORV.
const QString permissionHook = QStringLiteral(
    "(function () {"
    "  var published = null;"
    "  Object.defineProperty(window, 'ORV', { configurable: true, get: function () { return published; },"
    "    set: function (value) {"
    "      if (value && value.checkRootPermissions && !value.__probed) {"
    "        var ask = value.checkRootPermissions;"
    "        value.checkRootPermissions = function () {"
    "          window.__permissionAsked = true;"
    "          window.__permissionAskedAt = performance.now();"
    "          return ask.apply(this, arguments);"
    "        };"
    "        value.__probed = true;"
    "      }"
    "      published = value;"
    "    } });"
    "})();");
const QString domainsShown =
    QStringLiteral("location.pathname === '/domains' && document.querySelectorAll('.domain-container').length > 0");

QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

// A private home for the program's settings and the engine's files, as a fresh user has.
void useFreshUserFolders(const QTemporaryDir &dir)
{
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString path = dir.path() + QLatin1Char('/') + QLatin1String(name);
        QDir().mkpath(path);
        qputenv(name, QFile::encodeName(path));
    }
    QFile::setPermissions(dir.path() + QStringLiteral("/XDG_RUNTIME_DIR"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void writeSettings(const QString &portalAddress)
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    if (!portalAddress.isEmpty()) {
        settings.setValue(QStringLiteral("portal/base_address"), portalAddress);
    }
    // The guided tours would cover the page on a first run.
    for (int i = 1; i <= 4; ++i) {
        settings.setValue(QStringLiteral("orv/tour%1").arg(i), false);
    }
}

// Set with the login click: a timer on the page notices the list drawn with a domain open, and keeps the moment the
// frame after it was produced, on the page's clock (a poll from here would come late while the program is busy).
const QString watchDrawing =
    QStringLiteral("(function watch() {"
                   "  if (location.pathname !== '/domains'"
                   "      || document.querySelector('#domainsContainer .device-container:not(.closed)') === null) {"
                   "    setTimeout(watch, 4);"
                   "    return;"
                   "  }"
                   "  requestAnimationFrame(function () {"
                   "    setTimeout(function () { window.__drawnAt = performance.now(); }, 0);"
                   "  });"
                   "})();");
const QString listDrawn = QStringLiteral("window.__drawnAt !== undefined");

bool logIn(MainWindow &window, const QString &username, const QString &password, int timeoutMs = screenTimeoutMs)
{
    window.page()->runJavaScript(QStringLiteral("document.querySelector('input[name=\"username\"]').value = %1;"
                                                "document.querySelector('input[name=\"password\"]').value = %2;"
                                                "window.__loginClickedAt = performance.now();"
                                                "document.querySelector('.form-buttons button.login').click();"
                                                "%3")
                                     .arg(quoted(username), quoted(password), watchDrawing));
    return waitForPageExpression(window.page(), domainsShown, timeoutMs);
}

// A timer that runs every few milliseconds keeps the longest gap between its runs, a call to the program made again
// 20 ms after each answer keeps the slowest answer, and every reload the page has applied is counted with the moment
// it was done.
const QString stallMonitor =
    QStringLiteral("(function () {"
                   "  window.__longestGap = 0;"
                   "  window.__lastTick = performance.now();"
                   "  (function tick() {"
                   "    var now = performance.now();"
                   "    window.__longestGap = Math.max(window.__longestGap, now - window.__lastTick);"
                   "    window.__lastTick = now;"
                   "    setTimeout(tick, 4);"
                   "  })();"
                   "  window.__longestCall = 0;"
                   "  (function call() {"
                   "    var asked = performance.now();"
                   "    ORV.getApplicationVersion(function () {"
                   "      window.__longestCall = Math.max(window.__longestCall, performance.now() - asked);"
                   "      setTimeout(call, 20);"
                   "    });"
                   "  })();"
                   "  window.__reloadsApplied = 0;"
                   "  var apply = domains.on_domains_reloaded;"
                   "  domains.on_domains_reloaded = function (list) {"
                   "    apply.call(domains, list);"
                   "    window.__reloadsApplied += 1;"
                   "    window.__reloadAppliedAt = performance.now();"
                   "  };"
                   "  return true;"
                   "})()");

// The ids of the offline rows summed: a reload that changed rows changes it.
const QString offlineRows =
    QStringLiteral("Array.prototype.reduce.call(document.querySelectorAll('#domainsContainer .row.device.offline'),"
                   "  function (sum, row) { return sum + Number(row.getAttribute('data-id')); }, 0)");

QVariant pageValue(QWebEnginePage *page, const QString &expression, double *answerMs = nullptr)
{
    QVariant result;
    QEventLoop loop;
    QElapsedTimer timer;
    timer.start();
    page->runJavaScript(expression, [&loop, &result](const QVariant &value) {
        result = value;
        loop.quit();
    });
    QTimer::singleShot(screenTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (answerMs) {
        *answerMs = double(timer.nsecsElapsed()) / 1e6;
    }
    return result;
}

// The kernel's peak resident size of this process starts again from its present size.
void resetPeakMemory()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly)) {
        refs.write("5");
    }
}

// Lets the program and the page run for a while, as a user's pause would.
void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A click on the header of the domain at `index` in the list, timed on the page's clock to the frame after it.
double toggleDomainMs(QWebEnginePage *page, int index)
{
    const QString click =
        QStringLiteral("(function () {"
                       "  var header = document.querySelectorAll('#domainsContainer .domain')[%1];"
                       "  window.__toggledMs = undefined;"
                       "  var start = performance.now();"
                       "  header.click();"
                       "  requestAnimationFrame(function () {"
                       "    setTimeout(function () { window.__toggledMs = performance.now() - start; },"
                       "               0);"
                       "  });"
                       "  return true;"
                       "})()")
            .arg(index);
    if (!pageValue(page, click).toBool()
        || !waitForPageExpression(page, QStringLiteral("window.__toggledMs !== undefined"), screenTimeoutMs)) {
        return -1;
    }
    const double ms = pageValue(page, QStringLiteral("window.__toggledMs")).toDouble();
    // The list's own animation is over before the next step.
    settle(500);
    return ms;
}

// The page's frames, each noting the longest gap since the last reset.
const QString frameMonitor = QStringLiteral("(function () {"
                                            "  window.__frameGap = 0;"
                                            "  var last = null;"
                                            "  (function frame() {"
                                            "    var now = performance.now();"
                                            "    if (last !== null) {"
                                            "      window.__frameGap = Math.max(window.__frameGap, now - last);"
                                            "    }"
                                            "    last = now;"
                                            "    requestAnimationFrame(frame);"
                                            "  })();"
                                            "  return true;"
                                            "})()");

// Sends wheel notches to the list, one every 25 ms as a quick turn of the wheel would, and returns the page's longest
// frame gap from the first notch until the list has come to rest; -1 when the list did not move.
double scrollMs(MainWindow &window, int notches)
{
    QWebEnginePage *page = window.page();
    // The pointer rests in the column of the rows' icons, where tooltips come and go as the rows pass under it.
    const QVariantList centre =
        pageValue(
            page,
            QStringLiteral("(function () {"
                           "  var r = document.querySelector('.main-container .page').getBoundingClientRect();"
                           "  var icon = document.querySelector("
                           "    '#domainsContainer .device-container:not(.closed) .row.device:not(.offline) .connect');"
                           "  var x = icon === null ? r.left + r.width / 2"
                           "    : icon.getBoundingClientRect().left + icon.getBoundingClientRect().width / 2;"
                           "  return [x, r.top + r.height / 2];"
                           "})()"))
            .toList();
    QWidget *target = window.focusProxy();
    if (centre.size() != 2 || target == nullptr || !pageValue(page, frameMonitor).toBool()) {
        return -1;
    }
    const QPoint point(centre.at(0).toInt(), centre.at(1).toInt());
    QMouseEvent move(QEvent::MouseMove, point, target->mapToGlobal(point), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
    settle(300);
    pageValue(page, QStringLiteral("window.__frameGap = 0; true"));
    for (int i = 0; i < notches; ++i) {
        QWheelEvent wheel(QPointF(point),
                          QPointF(target->mapToGlobal(point)),
                          QPoint(),
                          QPoint(0, -120),
                          Qt::NoButton,
                          Qt::NoModifier,
                          Qt::NoScrollPhase,
                          false);
        QCoreApplication::sendEvent(target, &wheel);
        settle(25);
    }
    // At rest once the scroll position has stayed the same for three looks in a row.
    const QString position = QStringLiteral("document.querySelector('.main-container .page').scrollTop");
    double last = -1;
    int same = 0;
    QElapsedTimer waited;
    waited.start();
    while (same < 3 && waited.elapsed() < 10 * screenTimeoutMs) {
        settle(300);
        const double now = pageValue(page, position).toDouble();
        same = now == last ? same + 1 : 0;
        last = now;
    }
    if (last <= 0) {
        return -1;
    }
    return pageValue(page, QStringLiteral("window.__frameGap")).toDouble();
}

// Opening and closing a domain, then scrolling the list with three domains open.
bool measureInteraction(MainWindow &window)
{
    QWebEnginePage *page = window.page();
    // The first domain is open; the second and third are closed.
    const double openMs = toggleDomainMs(page, 1);
    const double closeMs = toggleDomainMs(page, 1);
    if (openMs < 0 || closeMs < 0 || toggleDomainMs(page, 1) < 0 || toggleDomainMs(page, 2) < 0) {
        std::fprintf(stderr, "StartupProbe: a domain did not open or close\n");
        return false;
    }
    const double gapMs = scrollMs(window, 60);
    if (gapMs < 0) {
        std::fprintf(stderr, "StartupProbe: the list did not scroll\n");
        return false;
    }
    std::printf("open %.3f\nclose %.3f\nscroll %.3f\n", openMs, closeMs, gapMs);
    std::fflush(stdout);
    return true;
}

// Asks the controller for reloads as its timer would, each once the page has shown the last one.
bool measureReloads(MainWindow &window, int reloads)
{
    QWebEnginePage *page = window.page();
    if (!pageValue(page, stallMonitor).toBool()) {
        return false;
    }
    for (int i = 1; i <= reloads; ++i) {
        const double offlineBefore = pageValue(page, offlineRows).toDouble();
        pageValue(page, QStringLiteral("window.__longestGap = 0; window.__longestCall = 0; true"));
        resetPeakMemory();
        QMetaObject::invokeMethod(window.orv, "reloadDomains");
        // Done once a tick of the timer has run after the rows were changed, so that the gap around it counts.
        const QString applied =
            QStringLiteral("window.__reloadsApplied >= %1 && window.__lastTick > window.__reloadAppliedAt").arg(i);
        if (!waitForPageExpression(page, applied, 10 * screenTimeoutMs)) {
            std::fprintf(stderr, "StartupProbe: reload %d was not applied\n", i);
            return false;
        }
        const qint64 peakKb = bench::statusFieldKb(QStringLiteral("/proc/self/status"), "VmHWM:");
        const double stallMs = pageValue(page, QStringLiteral("window.__longestGap")).toDouble();
        const double callMs = pageValue(page, QStringLiteral("window.__longestCall")).toDouble();
        double answerMs = 0;
        pageValue(page, QStringLiteral("true"), &answerMs);
        // The portal changes a tenth of the devices each time: a reload that changed no row measured nothing.
        if (pageValue(page, offlineRows).toDouble() == offlineBefore) {
            std::fprintf(stderr, "StartupProbe: reload %d changed no row\n", i);
            return false;
        }
        std::printf("reload %.3f %.3f %.3f %lld\n", stallMs, answerMs, callMs, peakKb);
        std::fflush(stdout);
    }
    return true;
}

// Log out through the page and back in, `cycles` times, no login after the last; after the first and the last
// logout the tree's memory once the login screen has been left alone for a while.
bool measureLogouts(MainWindow &window, const QString &username, const QString &password, int cycles)
{
    QWebEnginePage *page = window.page();
    for (int i = 1; i <= cycles; ++i) {
        if (!pageValue(page, QStringLiteral("document.querySelector('.navbar .logout').click(); true")).toBool()
            || !waitForPageExpression(page, loginShown, screenTimeoutMs)) {
            std::fprintf(stderr, "StartupProbe: logout %d did not reach the login screen\n", i);
            return false;
        }
        if (i == 1 || i == cycles) {
            settle(logoutSettleMs);
            std::printf("logout-pss %lld\n", bench::measureMemory(getpid()).treePssKb);
            std::fflush(stdout);
        }
        if (i == cycles) {
            break;
        }
        pageValue(page, QStringLiteral("window.__drawnAt = undefined; true"));
        if (!logIn(window, username, password, 10 * screenTimeoutMs)
            || !waitForPageExpression(page, listDrawn, 10 * screenTimeoutMs)) {
            std::fprintf(stderr, "StartupProbe: login %d after a logout did not show the list\n", i);
            return false;
        }
    }
    return true;
}

void stayUntilInputCloses()
{
    auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    QObject::connect(input, &QSocketNotifier::activated, qApp, [input] {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input->setEnabled(false);
            QCoreApplication::quit();
        }
    });
}

template <typename Signal>
bool waitForSignal(OrvVpn *vpn, Signal signal, int timeoutMs)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, [&loop] { loop.exit(1); });
    QObject::connect(vpn, signal, &loop, [&loop] { loop.exit(0); });
    return loop.exec() == 0;
}

QJsonObject connectPortalData(const TestTunnel &server)
{
    const QJsonObject device{{"id", benchDeviceId},
                             {"name", "Bench device"},
                             {"type", 1},
                             {"domain_id", 1},
                             {"data_delivery_enable", 1},
                             {"remote_access_enable", 1},
                             {"vpn_status", 1},
                             {"vpn_ip", server.serverTunnelAddress()},
                             {"api_key", "bench-device-key"}};
    // Two lines and no final line feed, as the portal hands them out.
    const QString credentials = server.user() + QLatin1Char('\n') + server.password();
    const QJsonObject domain{{"id", 1},
                             {"name", "Bench domain"},
                             {"vpn_enable", 1},
                             {"devices", QJsonArray{device}},
                             {"vpn_files",
                              QJsonArray{QJsonObject{{"name", "client.ovpn"}, {"text", server.profileText()}},
                                         QJsonObject{{"name", "credentials.txt"}, {"text", credentials}}}}};
    return {{"users", QJsonArray{QJsonObject{{"username", "bench"}, {"password", "bench-password"}}}},
            {"domains", QJsonArray{domain}}};
}

int runConnect(MainWindow &window, TestTunnel &server, TestPortal &portal, int runs, const QString &bareProfile)
{
    if (!waitForPageExpression(window.page(), loginShown, screenTimeoutMs)
        || !logIn(window, QStringLiteral("bench"), QStringLiteral("bench-password"))) {
        std::fprintf(stderr, "StartupProbe: could not log in (%d portal requests)\n", int(portal.requests().size()));
        return 1;
    }
    auto *vpn = window.orv->property("vpn").value<OrvVpn *>();
    const QString connectIcon =
        QStringLiteral("document.querySelector(\"#domainsContainer .device[data-id='%1'] .icons .connect\")")
            .arg(benchDeviceId);
    // The first domain opens by itself; its row's connect icon shows while no tunnel runs.
    const QString connectShown =
        QStringLiteral("%1 !== null && getComputedStyle(%1).display !== 'none' && %1.offsetParent !== null")
            .arg(connectIcon);
    for (int i = 0; i < runs; ++i) {
        if (!waitForPageExpression(window.page(), connectShown, screenTimeoutMs)) {
            std::fprintf(stderr, "StartupProbe: no connect icon to click\n");
            return 1;
        }
        QEventLoop loop;
        QTimer::singleShot(tunnelTimeoutMs, &loop, [&loop] { loop.exit(1); });
        QObject::connect(vpn, &OrvVpn::onConnected, &loop, [&loop] { loop.exit(0); });
        QElapsedTimer timer;
        timer.start();
        window.page()->runJavaScript(connectIcon + QStringLiteral(".click()"));
        if (loop.exec() != 0) {
            std::fprintf(stderr, "StartupProbe: run %d did not connect\n%s\n", i + 1, qPrintable(server.serverLog()));
            return 1;
        }
        const double clickMs = double(timer.nsecsElapsed()) / 1e6;
        QMetaObject::invokeMethod(window.orv, "stopVpn");
        if (vpn->property("status").toInt() != 1 && !waitForSignal(vpn, &OrvVpn::onDisconnected, tunnelTimeoutMs)) {
            std::fprintf(stderr, "StartupProbe: run %d did not disconnect\n", i + 1);
            return 1;
        }
        const double daemonMs = bareDaemonMs(bareProfile, tunnelTimeoutMs);
        if (daemonMs < 0) {
            std::fprintf(stderr, "StartupProbe: the bare daemon did not connect in run %d\n", i + 1);
            return 1;
        }
        std::printf("connect %.3f %.3f\n", clickMs, daemonMs);
        std::fflush(stdout);
    }
    return 0;
}
} // namespace

int main(int argc, char *argv[])
{
    // The tunnel mode moves into namespaces of its own before any thread exists.
    bool connectMode = false;
    for (int i = 1; i < argc; ++i) {
        connectMode = connectMode || qstrcmp(argv[i], "--connect") == 0;
    }
    const QString isolation = connectMode ? TestTunnel::isolateProcess() : QString();

    QTemporaryDir home;
    useFreshUserFolders(home);

    // As main() does.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumenbridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUMENBRIDGE_VERSION));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    registerPageResources();
    FreedMemory::mapLargeBlocksApart();
    QApplication application(argc, argv);

    QCommandLineParser parser;
    const QCommandLineOption untilOption(
        QStringLiteral("until"), QStringLiteral("login or domains"), QStringLiteral("screen"));
    const QCommandLineOption portOption(
        QStringLiteral("portal-port"), QStringLiteral("Portal port"), QStringLiteral("n"));
    const QCommandLineOption userOption(QStringLiteral("username"), QStringLiteral("User"), QStringLiteral("name"));
    const QCommandLineOption passwordOption(
        QStringLiteral("password"), QStringLiteral("Password"), QStringLiteral("text"));
    const QCommandLineOption connectOption(QStringLiteral("connect"), QStringLiteral("Runs"), QStringLiteral("n"));
    const QCommandLineOption reloadsOption(
        QStringLiteral("reloads"), QStringLiteral("Reloads after the list"), QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption interactOption(QStringLiteral("interact"), QStringLiteral("Open, close and scroll"));
    const QCommandLineOption logoutsOption(QStringLiteral("logouts"),
                                           QStringLiteral("Logout cycles at the end"),
                                           QStringLiteral("n"),
                                           QStringLiteral("0"));
    parser.addOptions({untilOption,
                       portOption,
                       userOption,
                       passwordOption,
                       connectOption,
                       reloadsOption,
                       interactOption,
                       logoutsOption});
    parser.process(application);

    if (connectMode) {
        if (!isolation.isEmpty() || !TestTunnel::unavailableReason().isEmpty()) {
            std::fprintf(stderr, "StartupProbe: %s\n", qPrintable(isolation + TestTunnel::unavailableReason()));
            return 77;
        }
        TestTunnel server;
        if (!server.start()) {
            std::fprintf(stderr, "StartupProbe: %s\n", qPrintable(server.errorString()));
            return 1;
        }
        TestPortal portal;
        if (!portal.setData(connectPortalData(server)) || !TestPortal::trustTestCertificateAuthority()
            || !portal.start()) {
            std::fprintf(stderr, "StartupProbe: %s\n", qPrintable(portal.errorString()));
            return 1;
        }
        const QString bareProfile = home.filePath(QStringLiteral("bare.ovpn"));
        QFile bare(bareProfile);
        if (!bare.open(QIODevice::WriteOnly)
            || bare.write(server.profileText().toUtf8() + "\n<auth-user-pass>\n" + server.user().toUtf8() + '\n'
                          + server.password().toUtf8() + "\n</auth-user-pass>\n")
                   < 0) {
            return 1;
        }
        bare.close();
        writeSettings(portal.baseAddress());
        MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
        window.app = &application;
        window.show();
        return runConnect(window, server, portal, parser.value(connectOption).toInt(), bareProfile);
    }

    const QString until = parser.value(untilOption);
    const bool domains = until == QLatin1String("domains");
    const bool permission = until == QLatin1String("permission");
    if (!domains && !permission && until != QLatin1String("login")) {
        std::fprintf(stderr, "StartupProbe: --until login|permission|domains, or --connect N\n");
        return 2;
    }
    if (domains && !TestPortal::trustTestCertificateAuthority()) {
        std::fprintf(stderr, "StartupProbe: cannot trust the test portal's authority\n");
        return 1;
    }
    writeSettings(domains ? QStringLiteral("https://127.0.0.1:%1").arg(parser.value(portOption)) : QString());

    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    if (permission) {
        // The document is created from the event loop, after this script is in place.
        QWebEngineScript hook;
        hook.setInjectionPoint(QWebEngineScript::DocumentCreation);
        hook.setWorldId(QWebEngineScript::MainWorld);
        hook.setSourceCode(permissionHook);
        window.page()->scripts().insert(hook);
    }
    auto *supervisor = new WebengineSupervisor(&application);
    supervisor->setApplication(&application);
    supervisor->setMainWindow(&window);
    window.show();
    window.app = &application;

    if (!waitForPageExpression(window.page(), permission ? permissionAsked : loginShown, screenTimeoutMs)) {
        std::fprintf(stderr, "StartupProbe: the login screen did not show\n");
        return 1;
    }
    if (domains) {
        std::printf("login-rss %lld\n", bench::statusFieldKb(QStringLiteral("/proc/self/status"), "VmRSS:"));
        std::printf("login-pss %lld\n", bench::measureMemory(getpid()).treePssKb);
        const int reloads = parser.value(reloadsOption).toInt();
        if (reloads > 0) {
            window.orv->setReloadIntervalMs(24 * 3600 * 1000);
        }
        // A big account may take minutes where the page is slow.
        const int drawTimeoutMs = 10 * screenTimeoutMs;
        if (!logIn(window, parser.value(userOption), parser.value(passwordOption), drawTimeoutMs)
            || !waitForPageExpression(window.page(), listDrawn, drawTimeoutMs)) {
            std::fprintf(stderr, "StartupProbe: the domain list did not show\n");
            return 1;
        }
        std::printf("drawn %.3f\nrows %d\n",
                    pageValue(window.page(), QStringLiteral("window.__drawnAt - window.__loginClickedAt")).toDouble(),
                    pageValue(window.page(),
                              QStringLiteral("document.querySelectorAll('#domainsContainer .row.device').length"))
                        .toInt());
        if (parser.isSet(interactOption) && !measureInteraction(window)) {
            return 1;
        }
        if (reloads > 0) {
            if (!measureReloads(window, reloads)) {
                return 1;
            }
            settle(reloadSettleMs);
        }
        const int logouts = parser.value(logoutsOption).toInt();
        if (logouts > 0 && !measureLogouts(window, parser.value(userOption), parser.value(passwordOption), logouts)) {
            return 1;
        }
    }
    if (permission) {
        std::printf("moment %.3f\n", pageMomentEpochMs(window.page(), QStringLiteral("window.__permissionAskedAt")));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    stayUntilInputCloses();
    return QApplication::exec();
}

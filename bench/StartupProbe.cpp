// The program's own start-up road in a probe the benchmarks can watch: the real window, controller and page, built
// as main() builds them. Modes:
//   --until login                      prints "ready" once the login screen is shown
//   --until permission                 prints "moment <epoch ms>" of the login screen's checkRootPermissions
//                                      question (before the page's designed splash delay), then "ready"
//   --until domains --portal-port N    logs in through the page and prints "ready" once the domain list is shown;
//                                      before it, "login-rss <kB>" (its own resident size at the login screen) and
//                                      "drawn <ms>" (the login click to the first frame of the list with a domain
//                                      open, on the page's clock)
//     --reloads K                      then K reloads of the list, one after the other (the 30 s timer pushed out
//                                      of the way), each printing "reload <longest stall ms> <answer ms>": the
//                                      page's longest time without running a timer from the reload's request until
//                                      its rows show the new states, and a script's round trip right after it
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

// A timer that runs every few milliseconds keeps the longest gap between its runs, and every reload the page has
// applied is counted with the moment it was done.
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

// Asks the controller for reloads as its timer would, each once the page has shown the last one.
bool measureReloads(MainWindow &window, int reloads)
{
    QWebEnginePage *page = window.page();
    if (!pageValue(page, stallMonitor).toBool()) {
        return false;
    }
    for (int i = 1; i <= reloads; ++i) {
        const double offlineBefore = pageValue(page, offlineRows).toDouble();
        pageValue(page, QStringLiteral("window.__longestGap = 0; true"));
        QMetaObject::invokeMethod(window.orv, "reloadDomains");
        // Done once a tick of the timer has run after the rows were changed, so that the gap around it counts.
        const QString applied =
            QStringLiteral("window.__reloadsApplied >= %1 && window.__lastTick > window.__reloadAppliedAt").arg(i);
        if (!waitForPageExpression(page, applied, 10 * screenTimeoutMs)) {
            std::fprintf(stderr, "StartupProbe: reload %d was not applied\n", i);
            return false;
        }
        const double stallMs = pageValue(page, QStringLiteral("window.__longestGap")).toDouble();
        double answerMs = 0;
        pageValue(page, QStringLiteral("true"), &answerMs);
        // The portal changes a tenth of the devices each time: a reload that changed no row measured nothing.
        if (pageValue(page, offlineRows).toDouble() == offlineBefore) {
            std::fprintf(stderr, "StartupProbe: reload %d changed no row\n", i);
            return false;
        }
        std::printf("reload %.3f %.3f\n", stallMs, answerMs);
        std::fflush(stdout);
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
    parser.addOptions({untilOption, portOption, userOption, passwordOption, connectOption, reloadsOption});
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
        if (reloads > 0) {
            if (!measureReloads(window, reloads)) {
                return 1;
            }
            QEventLoop settle;
            QTimer::singleShot(reloadSettleMs, &settle, &QEventLoop::quit);
            settle.exec();
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

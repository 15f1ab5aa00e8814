#include <cstdio>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QUrl>

#include <unistd.h>

#include "app/ShutdownSignals.h"
#include "core/FreedMemory.h"
#include "core/Log.h"
#include "window/MainWindow.h"
#include "window/WebengineSupervisor.h"

namespace
{
const char *const organizationName = "Orvane";
const char *const organizationDomain = "orvane.example";
const char *const applicationName = "Lumenbridge";
const char *const applicationVersion = "1.0.0";
} // namespace

namespace
{
// Without a display the default window system aborts the process before the command line is read. The
// parser's answers (help, version, errors) need no screen, so they get the offscreen platform; a platform
// chosen by the user (environment or -platform) is left alone.
bool displayAvailable(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0) {
            return true;
        }
    }
    return false;
}
} // namespace

int main(int argc, char *argv[])
{
    FreedMemory::mapLargeBlocksApart();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setOrganizationName(QString::fromLatin1(organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(organizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));

    // The web engine shares GL contexts between its views and refuses to start as root with its sandbox on;
    // the tunnel needs root on Linux, so only then is the sandbox switched off.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }

    const bool headless = !displayAvailable(argc, argv);
    if (headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("helper"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption levelOption(QStringList{QStringLiteral("g"), QStringLiteral("debug-level")},
                                   QStringLiteral("Debug level"),
                                   QStringLiteral("4"),
                                   QString());
    levelOption.setDefaultValue(QStringLiteral("4"));
    parser.addOption(levelOption);
    QCommandLineOption moduleOption(QStringList{QStringLiteral("m"), QStringLiteral("debug-module")},
                                    QStringLiteral("Debug module"),
                                    QStringLiteral("all"),
                                    QString());
    moduleOption.setDefaultValue(QStringLiteral("all"));
    parser.addOption(moduleOption);
    parser.process(app);
    if (headless) {
        std::fputs("lumenbridge: cannot open the window: no display (DISPLAY and WAYLAND_DISPLAY are unset)\n", stderr);
        return 1;
    }

    debugLevel = parser.value(levelOption).toInt(nullptr, 10);
    debugModule = parser.value(moduleOption);

    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(applicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));

    // Before the window: its construction already starts helper programs that a signal must not strand.
    ShutdownSignals shutdownSignals;
    if (!shutdownSignals.install()) {
        writeLog(2, "main", shutdownSignals.errorString());
    }

    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));

    auto *supervisor = new WebengineSupervisor(nullptr);
    supervisor->setApplication(&app);
    supervisor->setMainWindow(&window);

    window.show();
    window.app = &app;

    // A request to end (logout, kill, Ctrl-C) takes the window's own close path: tunnel down, pairs removed,
    // geometry saved; then the event loop ends even if no window was left open to close.
    QObject::connect(&shutdownSignals, SIGNAL(onShutdownRequested()), &app, SLOT(closeAllWindows()));
    QObject::connect(&shutdownSignals, SIGNAL(onShutdownRequested()), &app, SLOT(quit()));

    return QApplication::exec();
}

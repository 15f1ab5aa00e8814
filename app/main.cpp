#include <cstdio>
#include <string>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QOpenGLContext>
#include <QRegularExpression>
#include <QUrl>

#include <unistd.h>
#include <xcb/xcb.h>

#include "app/ShutdownSignals.h"
#include "core/FreedMemory.h"
#include "core/Log.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeFolder.h"
#include "vpn/OrvVpnThread.h"
#include "window/MainWindow.h"
#include "window/WebengineSupervisor.h"

namespace
{
const char *const organizationName = "Orvane";
const char *const organizationDomain = "orvane.example";
const char *const applicationName = "Lumenbridge";
const char *const applicationVersion = LUMENBRIDGE_VERSION;
// The engine gives a daemon 5 s to end before it kills it.
constexpr int tunnelEndTimeoutMs = 8000;

// Where a window-system option sits on the command line (-platform, -display; Qt takes one dash or two): the index
// of its value, or 0. The last one given wins, as in Qt.
int windowSystemOption(int argc, char *argv[], const char *option)
{
    int found = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], option) == 0 || (argv[i][0] == '-' && qstrcmp(argv[i] + 1, option) == 0)) {
            found = i + 1;
        }
    }
    return found;
}

QByteArray windowSystemChoice(int argc, char *argv[], const char *option, const char *variable)
{
    const int index = windowSystemOption(argc, argv, option);
    return index > 0 ? QByteArray(argv[index]) : qgetenv(variable);
}

// Why no window can be opened, or empty. The X window system, Qt's default, aborts the process when it finds no
// display or cannot reach it, before the command line is read; the caller answers with one line instead. Another
// platform the user chose (offscreen, a Wayland session) is left to Qt.
QString displayProblem(int argc, char *argv[])
{
    const QByteArray platform = windowSystemChoice(argc, argv, "-platform", "QT_QPA_PLATFORM");
    const bool waylandSession =
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qgetenv("XDG_SESSION_TYPE") == "wayland";
    if (!(platform.isEmpty() || platform.startsWith("xcb")) || (platform.isEmpty() && waylandSession)) {
        return QString();
    }
    const QByteArray display = windowSystemChoice(argc, argv, "-display", "DISPLAY");
    if (display.isEmpty()) {
        return QStringLiteral("no display (DISPLAY is unset)");
    }
    int screen = 0;
    xcb_connection_t *connection = xcb_connect(display.constData(), &screen);
    const bool reached = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reached ? QString() : QStringLiteral("cannot reach the display %1").arg(QString::fromLocal8Bit(display));
}

// The parser's answers need no screen: the offscreen platform, whichever one was chosen.
void useOffscreen(int argc, char *argv[])
{
    static char offscreen[] = "offscreen";
    qputenv("QT_QPA_PLATFORM", offscreen);
    if (const int index = windowSystemOption(argc, argv, "-platform")) {
        argv[index] = offscreen;
    }
}

// Qt keeps its runtime files in XDG_RUNTIME_DIR and, without one, makes /tmp/runtime-root with a warning. A root
// run that was handed none of its own (sudo drops it, or keeps the user's) gets a private folder, as the helper
// programs do.
void chooseRuntimeFolder()
{
    const QByteArray given = qgetenv("XDG_RUNTIME_DIR");
    if (geteuid() != 0 || (!given.isEmpty() && RuntimeFolder::path() == given.toStdString())) {
        return;
    }
    std::string error;
    if (!PrivateFolder::ensure(RuntimeFolder::ownPath, &error)) {
        writeLog(2, "main", QStringLiteral("No runtime folder of our own: ") + QString::fromStdString(error));
        return;
    }
    qputenv("XDG_RUNTIME_DIR", RuntimeFolder::ownPath);
}

// As root, nothing in the environment may make the web engine run another program, load code or data from
// elsewhere, or open the page to other users: whoever set it did not have root. The engine's remote debugging (the
// demo check drives the page with it) is kept only on loopback.
void dropUnsafeEnvironment()
{
    if (geteuid() != 0) {
        return;
    }
    static const char *const unsafe[] = {"QTWEBENGINE_CHROMIUM_FLAGS",
                                         "QTWEBENGINE_PROCESS_PATH",
                                         "QTWEBENGINE_RESOURCES_PATH",
                                         "QTWEBENGINE_LOCALES_PATH",
                                         "QTWEBENGINE_DICTIONARIES_PATH",
                                         "QT_PLUGIN_PATH",
                                         "QT_QPA_PLATFORM_PLUGIN_PATH"};
    for (const char *name : unsafe) {
        if (qEnvironmentVariableIsSet(name)) {
            qunsetenv(name);
            std::fprintf(stderr, "lumenbridge: %s ignored: the program runs as root\n", name);
        }
    }
    const QByteArray debugging = qgetenv("QTWEBENGINE_REMOTE_DEBUGGING");
    static const QRegularExpression loopbackPort(QStringLiteral("^127\\.0\\.0\\.1:[1-9][0-9]{0,4}$"));
    if (!debugging.isEmpty() && !loopbackPort.match(QString::fromLatin1(debugging)).hasMatch()) {
        qunsetenv("QTWEBENGINE_REMOTE_DEBUGGING");
        std::fputs("lumenbridge: QTWEBENGINE_REMOTE_DEBUGGING ignored: as root only 127.0.0.1:<port> is taken\n",
                   stderr);
    }
}

// Whether the parser alone answers this command line: help or version, nothing it does not know. Then no window
// system, display or runtime folder is touched.
bool answeredByParser(QCommandLineParser &parser, int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    return parser.parse(arguments) && (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version")));
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
    dropUnsafeEnvironment();

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
    if (answeredByParser(parser, argc, argv)) {
        QCoreApplication answering(argc, argv);
        parser.process(answering);
    }

    const QString noWindow = displayProblem(argc, argv);
    if (!noWindow.isEmpty()) {
        useOffscreen(argc, argv);
    }
    chooseRuntimeFolder();

    QApplication app(argc, argv);
    parser.process(app);
    if (!noWindow.isEmpty()) {
        std::fprintf(stderr, "lumenbridge: cannot open the window: %s\n", qPrintable(noWindow));
        return 1;
    }
    // Where no OpenGL context can be made (the offscreen or minimal platform without an X display) the web view's
    // scene graph aborts the process; unless the user chose a back end, it draws in software there.
    const QOpenGLContext *shared = QOpenGLContext::globalShareContext();
    if ((!shared || !shared->isValid()) && qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")
        && qEnvironmentVariableIsEmpty("QMLSCENE_DEVICE")) {
        qputenv("QT_QUICK_BACKEND", "software");
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

    const int result = QApplication::exec();
    // Whatever was still on its way when the loop ended (a tunnel going down, one about to start), no tunnel
    // daemon of ours outlives the program.
    if (!OrvVpnThread::finishAll(tunnelEndTimeoutMs)) {
        writeLog(2, "main", QStringLiteral("The tunnel did not end in time"));
    }
    return result;
}

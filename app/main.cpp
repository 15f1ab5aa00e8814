#include <cstdio>
#include <string>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QOpenGLContext>
#include <QUrl>

#include <unistd.h>
#include <xcb/xcb.h>

#include "app/ProgramArguments.h"
#include "app/RootEnvironment.h"
#include "app/ShutdownSignals.h"
#include "core/FreedMemory.h"
#include "core/InvokingUser.h"
#include "core/Log.h"
#include "core/PrintableText.h"
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

// Why no window can be opened, or empty. The X window system, Qt's default, aborts the process when it finds no
// display or cannot reach it; the caller answers with one line instead. The offscreen and minimal platforms need
// no display.
QString displayProblem(const ProgramArguments &arguments)
{
    const QByteArray platform = arguments.platform().isEmpty() ? qgetenv("QT_QPA_PLATFORM") : arguments.platform();
    if (!platform.isEmpty() && platform != "xcb") {
        return QString();
    }
    const QByteArray display = arguments.display().isEmpty() ? qgetenv("DISPLAY") : arguments.display();
    if (display.isEmpty()) {
        const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
        return wayland.isEmpty() ? QStringLiteral("no display (DISPLAY is unset)")
                                 : QStringLiteral("no X display: DISPLAY is unset, and the Wayland display %1 is not "
                                                  "used (the program opens X displays only, such as XWayland's)")
                                       .arg(QString::fromLocal8Bit(wayland));
    }
    int screen = 0;
    xcb_connection_t *connection = xcb_connect(display.constData(), &screen);
    const bool reached = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reached ? QString() : QStringLiteral("cannot reach the display %1").arg(QString::fromLocal8Bit(display));
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

// Whether the parser alone answers this command line: help, version, or an error in it. Then no window system,
// display, folder or account is touched.
bool answeredByParser(QCommandLineParser &parser, const QStringList &arguments)
{
    return !parser.parse(arguments) || parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"));
}

// As root for a user who started us through sudo or pkexec, that user's settings and web data are theirs alone, and
// the display's authority is read as the user reads it.
bool chooseUsersFolders()
{
    const InvokingUser user = InvokingUser::fromEnvironment();
    std::string error = user.reason;
    if (user.kind == InvokingUser::Kind::None) {
        return true;
    }
    if (user.kind == InvokingUser::Kind::Invalid || !RootEnvironment::useFoldersOf(user.uid, &error)) {
        std::fprintf(stderr, "lumenbridge: cannot tell whose settings to use: %s\n", printableText(error).c_str());
        return false;
    }
    chooseRuntimeFolder();
    const std::string runtime = qEnvironmentVariable("XDG_RUNTIME_DIR").toStdString();
    if (!RootEnvironment::useAuthorityOf(user.uid, user.gid, runtime, &error)) {
        std::fprintf(stderr, "lumenbridge: XAUTHORITY ignored: %s\n", printableText(error).c_str());
    }
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    // Whoever started us gave us no root of their own: nothing of their environment reaches a library.
    if (geteuid() == 0) {
        RootEnvironment::restrict(argv);
    }
    FreedMemory::mapLargeBlocksApart();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setOrganizationName(QString::fromLatin1(organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(organizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);

    ProgramArguments arguments(argc, argv);
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
    if (answeredByParser(parser, arguments.userArguments())) {
        QCoreApplication answering(arguments.qtArgc(), arguments.qtArgv());
        // Qt's own answer to an error would print the user's word as given, control characters and all.
        if (!parser.parse(arguments.userArguments())) {
            std::fprintf(stderr,
                         "%s: %s\n",
                         qPrintable(QCoreApplication::applicationName()),
                         printableText(parser.errorText().toStdString()).c_str());
            return 1;
        }
        parser.process(arguments.userArguments());
    }

    // The tunnel and the serial ports need root; a window that could do nothing would only fail later.
    if (geteuid() != 0) {
        std::fputs("lumenbridge: the program needs root: start it with sudo lumenbridge (or pkexec lumenbridge)\n",
                   stderr);
        return 1;
    }
    if (!chooseUsersFolders()) {
        return 1;
    }
    chooseRuntimeFolder();
    const QString noWindow = displayProblem(arguments);
    if (!noWindow.isEmpty()) {
        std::fprintf(
            stderr, "lumenbridge: cannot open the window: %s\n", printableText(noWindow.toStdString()).c_str());
        return 1;
    }
    // The web engine refuses to start as root with its sandbox on.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    QApplication app(arguments.qtArgc(), arguments.qtArgv());
    parser.process(arguments.userArguments());
    // Where no OpenGL context can be made (the offscreen or minimal platform without an X display) the web view's
    // scene graph aborts the process; unless the user chose a back end, it draws in software there.
    const QOpenGLContext *shared = QOpenGLContext::globalShareContext();
    if ((!shared || !shared->isValid()) && qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) {
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

#include <cstdio>
#include <string>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QOpenGLContext>
#include <QUrl>

#include <unistd.h>

#include "app/DisplayCheck.h"
#include "app/ProgramArguments.h"
#include "app/RootEnvironment.h"
#include "app/ShutdownSignals.h"
#include "core/FreedMemory.h"
#include "core/InvokingUser.h"
#include "core/Log.h"
#include "core/PrintableText.h"
#include "core/UserDesktop.h"
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
// no display. `authorityRefused`: why the authority file the user named was not used, if it was not.
QString displayProblem(const ProgramArguments &arguments, const QString &authorityRefused, DisplayCheck *check)
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
    const QString name = QString::fromLocal8Bit(display);
    if (check->connect(display)) {
        return QString();
    }
    if (check->refusal().isEmpty()) {
        return QStringLiteral("cannot reach the display %1").arg(name);
    }
    // The server answered, and said no: as a rule the cookie is missing or wrong.
    const QString userFile = qEnvironmentVariable((std::string(UserDesktop::prefix) + "XAUTHORITY").c_str());
    const QString given = userFile.isEmpty() ? qEnvironmentVariable("XAUTHORITY") : userFile;
    const QString refused = QStringLiteral("the display %1 refused the connection (%2)").arg(name, check->refusal());
    if (!authorityRefused.isEmpty()) {
        return refused + QStringLiteral(": XAUTHORITY was not used: %1").arg(authorityRefused);
    }
    if (!given.isEmpty()) {
        return refused + QStringLiteral(" with the authority file %1").arg(given);
    }
    return refused
           + QStringLiteral(": no display authority was handed over; pass yours through sudo, as in "
                            "XAUTHORITY=$HOME/.Xauthority sudo %1")
                 .arg(QString::fromStdString(arguments.startedAs()));
}

// Whether the parser alone answers this command line: help, version, or an error in it. Then no window system,
// display, folder or account is touched.
bool answeredByParser(QCommandLineParser &parser, const QStringList &arguments)
{
    return !parser.parse(arguments) || parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))
           || parser.isSet(QStringLiteral("version"));
}

// --help-all: the help, with the two of Qt's options that the program takes.
QString helpAllText(const QCommandLineOption &levelOption, const QCommandLineOption &moduleOption)
{
    QCommandLineParser all;
    all.setApplicationDescription(QStringLiteral("helper"));
    all.addHelpOption();
    all.addVersionOption();
    all.addOption(levelOption);
    all.addOption(moduleOption);
    all.addOption(QCommandLineOption(QStringLiteral("platform"),
                                     QStringLiteral("Window system: xcb, offscreen or minimal"),
                                     QStringLiteral("name")));
    all.addOption(QCommandLineOption(
        QStringLiteral("display"), QStringLiteral("X display to open, in place of DISPLAY"), QStringLiteral("name")));
    return all.helpText();
}

// As root, the folders root writes to are root's own. For a user who started us through sudo or pkexec, fixed ones
// of that user's id, whatever the environment says, and the display's authority read as the user reads it. Root's
// own session keeps its own, with a private runtime folder where it has none. Why the user's authority file was not
// used, if it was not, goes to `authorityRefused`.
bool chooseFolders(QString *authorityRefused)
{
    const InvokingUser user = InvokingUser::fromEnvironment();
    std::string error = user.reason;
    if (user.kind == InvokingUser::Kind::Invalid) {
        std::fprintf(stderr, "lumenbridge: cannot tell whose settings to use: %s\n", printableText(error).c_str());
        return false;
    }
    if (user.kind == InvokingUser::Kind::None) {
        // Qt would otherwise make /tmp/runtime-root, with a warning.
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && !RootEnvironment::useOwnRuntimeFolder(&error)) {
            writeLog(2, "main", QStringLiteral("No runtime folder of our own: ") + QString::fromStdString(error));
        }
        return true;
    }
    if (!RootEnvironment::useFoldersOf(user.uid, &error)) {
        std::fprintf(stderr, "lumenbridge: cannot keep this user's files apart: %s\n", printableText(error).c_str());
        return false;
    }
    if (!RootEnvironment::useAuthorityOf(user, &error)) {
        *authorityRefused = QString::fromStdString(printableText(error));
    }
    return true;
}

// This start's copy of the display's authority goes however main() ends.
struct AuthorityCopyRemoval
{
    AuthorityCopyRemoval() = default;
    Q_DISABLE_COPY_MOVE(AuthorityCopyRemoval)

    ~AuthorityCopyRemoval()
    {
        RootEnvironment::removeAuthorityCopy();
    }
};
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
        // Qt's own --help-all would list options of its own that the program refuses.
        if (parser.isSet(QStringLiteral("help-all")) && !parser.isSet(QStringLiteral("version"))) {
            std::fputs(qPrintable(helpAllText(levelOption, moduleOption)), stdout);
            return 0;
        }
        parser.process(arguments.userArguments());
    }

    // The tunnel and the serial ports need root; a window that could do nothing would only fail later.
    if (geteuid() != 0) {
        std::fprintf(stderr,
                     "lumenbridge: the program needs root: start it with sudo %s (or pkexec %s)\n",
                     arguments.startedAs().c_str(),
                     arguments.startedAsFullPath().c_str());
        return 1;
    }
    RootEnvironment::announceDropped(true);
    const AuthorityCopyRemoval authorityCopyRemoval;
    QString authorityRefused;
    if (!chooseFolders(&authorityRefused)) {
        return 1;
    }
    DisplayCheck displayCheck;
    const QString noWindow = displayProblem(arguments, authorityRefused, &displayCheck);
    if (!noWindow.isEmpty()) {
        std::fprintf(
            stderr, "lumenbridge: cannot open the window: %s\n", printableText(noWindow.toStdString()).c_str());
        return 1;
    }
    if (!authorityRefused.isEmpty()) {
        std::fprintf(stderr, "lumenbridge: XAUTHORITY ignored: %s\n", qPrintable(authorityRefused));
    }
    // The web engine refuses to start as root with its sandbox on.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    QApplication app(arguments.qtArgc(), arguments.qtArgv());
    // The display is connected: no later reader finds the copy of its authority, and the check's own connection
    // can go.
    RootEnvironment::removeAuthorityCopy();
    displayCheck.close();
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

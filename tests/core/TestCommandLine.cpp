#include <algorithm>
#include <csignal>

#include <QDirIterator>
#include <QLibraryInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "tests/support/HostileFolder.h"
#include "tests/support/PortalSession.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/RootSandbox.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"

namespace
{
constexpr int pageTimeoutMs = 30000;
const QString ignored = QStringLiteral("ignored from the environment:");
constexpr int endTimeoutMs = 20000;
const char *const xdgVariables[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};

// What a plain root shell hands the program: its private XDG folders under home, nothing else.
QProcessEnvironment baseEnvironment(const QString &home)
{
    QProcessEnvironment environment;
    for (const char *variable : xdgVariables) {
        const QString folder = home + QLatin1Char('/') + QLatin1String(variable);
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment.insert(QLatin1String(variable), folder);
    }
    return environment;
}

// NAME=value sets a variable, NAME alone removes it; @ in a value stands for the user's folder.
void applyChanges(QProcessEnvironment &environment, const QStringList &changes, const QString &userFolder)
{
    for (QString change : changes) {
        change.replace(QLatin1Char('@'), userFolder);
        const int equals = change.indexOf(QLatin1Char('='));
        equals < 0 ? environment.remove(change) : environment.insert(change.left(equals), change.mid(equals + 1));
    }
}

// A connection to a loopback port from the other user; true when it was accepted.
bool otherUserConnects(quint16 port)
{
    const QString uid = QString::number(HostileFolder::foreignUid());
    return QProcess::execute(QStringLiteral("setpriv"),
                             {QStringLiteral("--reuid=") + uid,
                              QStringLiteral("--regid=") + uid,
                              QStringLiteral("--clear-groups"),
                              QStringLiteral("bash"),
                              QStringLiteral("-c"),
                              QStringLiteral("exec 3<>/dev/tcp/127.0.0.1/%1").arg(port)})
           == 0;
}

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// The program as a user starts it, until its page runs; then ended as closing its window ends it.
class ProgramRun : public QProcess
{
public:
    ~ProgramRun() override
    {
        if (state() != QProcess::NotRunning) {
            kill();
            waitForFinished(endTimeoutMs);
        }
    }

    bool waitForPage()
    {
        return QTest::qWaitFor(
                   [this] {
                       return state() == QProcess::NotRunning || !ProcessTable::renderers(processId()).isEmpty();
                   },
                   pageTimeoutMs)
               && state() == QProcess::Running;
    }

    bool terminateAndWait()
    {
        ::kill(static_cast<pid_t>(processId()), SIGTERM);
        return waitForFinished(endTimeoutMs) && exitStatus() == QProcess::NormalExit;
    }

    // Started as root's own folders are root's: in the sandbox, whose /root and /run stand for the machine's.
    void startIn(const RootSandbox &sandbox, const QStringList &arguments)
    {
        const QStringList command = sandbox.command(QStringLiteral(LUMENBRIDGE_PATH), arguments);
        start(command.first(), command.mid(1));
    }
};

QStringList filesUnder(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files.append(it.next());
    }
    std::sort(files.begin(), files.end());
    return files;
}
} // namespace

// Runs the built program with command lines that must end before any window or settings access, and as root with
// what a user who started it may hand it.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endsBeforeStart_data();
    void endsBeforeStart();
    void rootTakesNoOrders_data();
    void rootTakesNoOrders();
    void usersKeepTheirOwnSettings();
    void usersReachTheirOwnDisplays();

private:
    QString m_plugin;
};

void TestCommandLine::initTestCase()
{
    m_plugin = QStringLiteral(MARKER_PLUGIN_PATH);
    QVERIFY(QFileInfo::exists(m_plugin));
}

void TestCommandLine::endsBeforeStart_data()
{
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("inStdout");
    QTest::addColumn<QStringList>("inStderr");
    QTest::addColumn<bool>("otherUser");

    struct Case
    {
        const char *name;
        QStringList arguments;
        int exitCode;
        QStringList inStdout;
        QStringList inStderr;
    };

    const QStringList version{QStringLiteral("Lumenbridge 1.0.0\n")};
    const QStringList help{QStringLiteral("helper"),
                           QStringLiteral("-g, --debug-level <4>"),
                           QStringLiteral("Debug level"),
                           QStringLiteral("-m, --debug-module <all>"),
                           QStringLiteral("Debug module"),
                           QStringLiteral("--version"),
                           QStringLiteral("--help")};
    const QList<Case> cases{
        {"--version", {QStringLiteral("--version")}, 0, version, {}},
        {"-v", {QStringLiteral("-v")}, 0, version, {}},
        {"--help", {QStringLiteral("--help")}, 0, help, {}},
        // Qt's own --help-all would list options of Qt's that the program refuses.
        {"--help-all",
         {QStringLiteral("--help-all")},
         0,
         help + QStringList{QStringLiteral("--platform <name>"), QStringLiteral("--display <name>")},
         {}},
        {"-h with other options", {QStringLiteral("-g"), QStringLiteral("2"), QStringLiteral("-h")}, 0, help, {}},
        {"unknown option", {QStringLiteral("--bogus")}, 1, {}, {QStringLiteral("Unknown option 'bogus'.")}},
        {"-g without value", {QStringLiteral("-g")}, 1, {}, {QStringLiteral("Missing value after '-g'.")}},
        {"--debug-module without value",
         {QStringLiteral("--debug-module")},
         1,
         {},
         {QStringLiteral("Missing value after '--debug-module'.")}},
    };
    // The parser answers the same whether or not a window could be opened (an SSH session has no display, a
    // forwarded one may be gone).
    const QStringList offscreen{QStringLiteral("QT_QPA_PLATFORM=offscreen")};
    const QStringList unreachable{QStringLiteral("DISPLAY=:97")};
    for (const QStringList &changes : {offscreen, QStringList(), unreachable}) {
        for (const Case &c : cases) {
            QTest::addRow("%s: %s", changes.isEmpty() ? "no display" : qPrintable(changes.first()), c.name)
                << changes << c.arguments << c.exitCode << c.inStdout << c.inStderr << false;
        }
    }
    QTest::newRow("no display: platform chosen on the command line")
        << QStringList() << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), "--version"} << 0
        << version << QStringList() << false;
    QTest::newRow("no display: a plain start says so instead of aborting")
        << QStringList() << QStringList() << 1 << QStringList() << QStringList{QStringLiteral("no display")} << false;
    QTest::newRow("no display: level and module given")
        << QStringList() << QStringList{QStringLiteral("-g"), QStringLiteral("2"), QStringLiteral("-m"), "all"} << 1
        << QStringList() << QStringList{QStringLiteral("no display")} << false;
    QTest::newRow("unreachable display: a plain start says so instead of aborting")
        << unreachable << QStringList() << 1 << QStringList() << QStringList{QStringLiteral("display :97")} << false;
    QTest::newRow("unreachable X display chosen on the command line")
        << unreachable << QStringList{QStringLiteral("-platform"), QStringLiteral("xcb")} << 1 << QStringList()
        << QStringList{QStringLiteral("display :97")} << false;
    // Started through sudo: no runtime folder. Qt's fallback would warn and make one.
    QTest::newRow("no runtime folder: --version")
        << QStringList{QStringLiteral("XDG_RUNTIME_DIR")} << QStringList{QStringLiteral("--version")} << 0 << version
        << QStringList() << false;
    QTest::newRow("no runtime folder: --help")
        << QStringList{QStringLiteral("XDG_RUNTIME_DIR")} << QStringList{QStringLiteral("--help")} << 0 << help
        << QStringList() << false;
    // The tunnel needs root: another user is told how to start it, and is still answered help and version.
    QTest::newRow("another user: a plain start is refused")
        << offscreen << QStringList() << 1 << QStringList()
        << QStringList{QStringLiteral("needs root: start it with sudo " LUMENBRIDGE_PATH " (or pkexec ")} << true;
    QTest::newRow("another user: --version")
        << offscreen << QStringList{QStringLiteral("--version")} << 0 << version << QStringList() << true;
    QTest::newRow("another user: --help-all")
        << QStringList() << QStringList{QStringLiteral("--help-all")} << 0 << help << QStringList() << true;
    QTest::newRow("no display: only a Wayland one")
        << QStringList{QStringLiteral("WAYLAND_DISPLAY=wayland-0")} << QStringList() << 1 << QStringList()
        << QStringList{QStringLiteral("DISPLAY is unset, and the Wayland display wayland-0 is not used")} << false;
    QTest::newRow("unknown option with control characters")
        << QStringList() << QStringList{QStringLiteral("--x\x1b[2J\nlumenbridge: forged")} << 1 << QStringList()
        << QStringList{QStringLiteral("Unknown option 'x\\x1B[2J\\x0Alumenbridge: forged'.")} << false;
    // As root, help and version say nothing of their own, whatever the environment holds: the names the elevation
    // tools set on every start, or names the program drops.
    if (geteuid() == 0) {
        QTest::newRow("as root: what sudo sets on every start")
            << QStringList{QStringLiteral("TERM=xterm"),
                           "MAIL=/var/mail/nobody",
                           "SHELL=/bin/sh",
                           "SUDO_COMMAND=/usr/bin/lumenbridge",
                           "SUDO_USER=nobody",
                           "SUDO_UID=65534",
                           "SUDO_GID=65534"}
            << QStringList{QStringLiteral("--help")} << 0 << help << QStringList() << false;
        QTest::newRow("as root: engine flags")
            << QStringList{QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS=--renderer-cmd-prefix=/bin/false")}
            << QStringList{QStringLiteral("--version")} << 0 << version << QStringList() << false;
        QTest::newRow("as root: a name with control characters")
            << QStringList{QStringLiteral("X\x1b[2J\nlumenbridge: forged=1")}
            << QStringList{QStringLiteral("--version")} << 0 << version << QStringList() << false;
    }
}

void TestCommandLine::endsBeforeStart()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, inStdout);
    QFETCH(QStringList, inStderr);
    QFETCH(bool, otherUser);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    QProcessEnvironment environment = baseEnvironment(home.path());
    applyChanges(environment, changes, home.path());

    QProcess program;
    program.setProcessEnvironment(environment);
    if (otherUser) {
        if (geteuid() != 0) {
            QSKIP("needs root to start the program as another user");
        }
        const QString uid = QString::number(HostileFolder::foreignUid());
        program.start(QStringLiteral("setpriv"),
                      QStringList{QStringLiteral("--reuid=") + uid,
                                  QStringLiteral("--regid=") + uid,
                                  QStringLiteral("--clear-groups"),
                                  QStringLiteral("--"),
                                  QStringLiteral(LUMENBRIDGE_PATH)}
                          + arguments);
    } else {
        program.start(QStringLiteral(LUMENBRIDGE_PATH), arguments);
    }
    QVERIFY(program.waitForStarted(10000));
    // Ending by itself proves no window and no event loop were started.
    QVERIFY2(program.waitForFinished(20000), "the program kept running");
    const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QByteArray errBytes = program.readAllStandardError();
    const QString err = QString::fromLocal8Bit(errBytes);
    QVERIFY2(program.exitStatus() == QProcess::NormalExit, qPrintable(err));
    // What the user handed in is shown, never played to the terminal: printable ASCII and line ends only.
    QVERIFY2(
        std::all_of(errBytes.cbegin(), errBytes.cend(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7f); }),
        errBytes.toPercentEncoding(" \n:'()").constData());
    QCOMPARE(program.exitCode(), exitCode);

    for (const QString &text : inStdout) {
        QVERIFY2(out.contains(text), qPrintable(QStringLiteral("missing '%1' in: %2").arg(text, out)));
    }
    for (const QString &text : inStderr) {
        QVERIFY2(err.contains(text), qPrintable(QStringLiteral("missing '%1' in: %2").arg(text, err)));
    }
    if (exitCode != 0) {
        QVERIFY(out.isEmpty());
        QVERIFY2(err.count(QLatin1Char('\n')) == 1, qPrintable(err));
    } else {
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }
    QVERIFY2(!err.contains(QStringLiteral("QStandardPaths")), qPrintable(err));

    // Neither settings nor web-engine data were written anywhere under the home folder.
    QStringList written;
    QDirIterator files(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        written.append(files.next());
    }
    QVERIFY2(written.isEmpty(), qPrintable(written.join(QLatin1Char(' '))));
}

void TestCommandLine::rootTakesNoOrders_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("changes");
    // 0: the program runs its page as usual; else the exit code it must end with at once.
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");
    // Names that must not be in the environment the program runs with.
    QTest::addColumn<QStringList>("dropped");

    // @ is the user's folder (a script, a plug-in, a vendor file); # a free loopback port.
    const QString unknown = QStringLiteral("Unknown option");
    QTest::newRow("-g swallows an engine switch")
        << QStringList{QStringLiteral("-g"), QStringLiteral("--renderer-cmd-prefix=@/run.sh")} << QStringList() << 0
        << QString() << QStringList();
    QTest::newRow("-g swallows the debugging switch")
        << QStringList{QStringLiteral("-g"), QStringLiteral("--remote-debugging-port=#")} << QStringList() << 0
        << QString() << QStringList();
    QTest::newRow("platform plug-in folder on the command line")
        << QStringList{QStringLiteral("-platformpluginpath"), QStringLiteral("@/platforms")} << QStringList() << 1
        << unknown << QStringList();
    QTest::newRow("platform with a plug-in's arguments")
        << QStringList{QStringLiteral("-platform"), QStringLiteral("vnc:port=#")} << QStringList() << 1 << unknown
        << QStringList();
    QTest::newRow("generic plug-in") << QStringList{QStringLiteral("-plugin"), QStringLiteral("tuiotouch")}
                                     << QStringList() << 1 << unknown << QStringList();
    QTest::newRow("engine program") << QStringList() << QStringList{QStringLiteral("QTWEBENGINEPROCESS_PATH=@/run.sh")}
                                    << 0 << ignored << QStringList{QStringLiteral("QTWEBENGINEPROCESS_PATH")};
    QTest::newRow("engine flags") << QStringList()
                                  << QStringList{QStringLiteral(
                                         "QTWEBENGINE_CHROMIUM_FLAGS=--renderer-cmd-prefix=@/run.sh")}
                                  << 0 << ignored << QStringList{QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS")};
    QTest::newRow("plug-in folders") << QStringList()
                                     << QStringList{QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH=@/platforms"),
                                                    "QT_PLUGIN_PATH=@"}
                                     << 0 << ignored
                                     << QStringList{QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"), "QT_PLUGIN_PATH"};
    QTest::newRow("GL drivers and EGL vendors")
        << QStringList()
        << QStringList{QStringLiteral("LIBGL_DRIVERS_PATH=@/platforms"),
                       "QT_XCB_GL_INTEGRATION=xcb_egl",
                       "__EGL_VENDOR_LIBRARY_FILENAMES=@/vendor.json"}
        << 0 << ignored
        << QStringList{QStringLiteral("LIBGL_DRIVERS_PATH"), "QT_XCB_GL_INTEGRATION", "__EGL_VENDOR_LIBRARY_FILENAMES"};
    QTest::newRow("character set modules and locale data")
        << QStringList() << QStringList{QStringLiteral("GCONV_PATH=@"), "LOCPATH=@", "LANG=@/xx_XX.MARK", "LC_ALL=../x"}
        << 0 << ignored << QStringList{QStringLiteral("GCONV_PATH"), "LOCPATH", "LANG", "LC_ALL"};
    QTest::newRow("zone file") << QStringList() << QStringList{QStringLiteral("TZ=:@/zone")} << 0 << ignored
                               << QStringList{QStringLiteral("TZ")};
    QTest::newRow("proxy, shader cache and loader")
        << QStringList()
        << QStringList{QStringLiteral("https_proxy=http://127.0.0.1:9"),
                       "MESA_SHADER_CACHE_DIR=@",
                       "LD_LIBRARY_PATH=@/platforms",
                       "QT_QUICK_BACKEND=openvg"}
        << 0 << ignored
        << QStringList{QStringLiteral("https_proxy"), "MESA_SHADER_CACHE_DIR", "LD_LIBRARY_PATH", "QT_QUICK_BACKEND"};
    QTest::newRow("the user's home and folders")
        << QStringList() << QStringList{QStringLiteral("HOME=@"), "XDG_DATA_HOME=@", "XDG_CACHE_HOME=@"} << 0 << ignored
        << QStringList{QStringLiteral("XDG_DATA_HOME"), "XDG_CACHE_HOME"};
    QTest::newRow("a runtime folder everyone may write")
        << QStringList() << QStringList{QStringLiteral("XDG_RUNTIME_DIR=/tmp")} << 0 << ignored
        << QStringList{QStringLiteral("XDG_RUNTIME_DIR")};
    QTest::newRow("page debugging in the system's network")
        << QStringList() << QStringList{QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:#")} << 0 << ignored
        << QStringList{QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING")};
    // Root reads no file for the user that the user could not read: one of root's alone, or one its group may read.
    QTest::newRow("display authority the user cannot read")
        << QStringList() << QStringList{QStringLiteral("SUDO_UID=65534"), "XAUTHORITY=@/root-only"} << 0
        << QStringLiteral("XAUTHORITY ignored: ") << QStringList{QStringLiteral("XAUTHORITY")};
    QTest::newRow("display authority only root's group may read")
        << QStringList() << QStringList{QStringLiteral("SUDO_UID=65534"), "XAUTHORITY=@/root-group"} << 0
        << QStringLiteral("XAUTHORITY ignored: ") << QStringList{QStringLiteral("XAUTHORITY")};
    // For a user, root's folders are fixed ones of root's own: folders of root's that the user names get nothing.
    QTest::newRow("root's folders named by the user")
        << QStringList() << QStringList{QStringLiteral("SUDO_UID=65534")} << 0 << ignored
        << QStringList{QStringLiteral("XDG_CONFIG_HOME"), "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};
    QTest::newRow("a runtime folder of root's that a list opens to the user")
        << QStringList() << QStringList{QStringLiteral("XDG_RUNTIME_DIR=%")} << 0 << ignored
        << QStringList{QStringLiteral("XDG_RUNTIME_DIR")};
    // Names the elevation tools set on every start are dropped without a word.
    QTest::newRow("what sudo sets on every start")
        << QStringList()
        << QStringList{QStringLiteral("TERM=xterm"),
                       "MAIL=/var/mail/nobody",
                       "SHELL=/bin/sh",
                       "SUDO_COMMAND=/usr/bin/lumenbridge",
                       "SUDO_USER=nobody",
                       "SUDO_UID=65534",
                       "SUDO_GID=65534",
                       "XDG_CONFIG_HOME",
                       "XDG_DATA_HOME",
                       "XDG_CACHE_HOME",
                       "XDG_RUNTIME_DIR"}
        << 0 << QString() << QStringList{QStringLiteral("TERM"), "MAIL", "SHELL", "SUDO_COMMAND"};
    // Numbers Qt would take as given, and then scale the window to nothing or to billions of pixels.
    QTest::newRow("scale factors out of any sane range")
        << QStringList()
        << QStringList{QStringLiteral("QT_SCALE_FACTOR=1e308"),
                       "QT_FONT_DPI=2147483647",
                       "QT_SCREEN_SCALE_FACTORS=DP-1=inf"}
        << 0 << ignored << QStringList{QStringLiteral("QT_SCALE_FACTOR"), "QT_FONT_DPI", "QT_SCREEN_SCALE_FACTORS"};
    QTest::newRow("a name with control characters")
        << QStringList() << QStringList{QStringLiteral("X\x1b[2J\nlumenbridge: forged=1")} << 0
        << QStringLiteral("ignored from the environment: X\\x1B[2J\\x0Alumenbridge: forged\n") << QStringList();
    QTest::newRow("platform from the environment with a plug-in's arguments")
        << QStringList() << QStringList{QStringLiteral("QT_QPA_PLATFORM=vnc:port=#")} << 1 << ignored << QStringList();
}

// As root for a user, whatever that user puts on the command line or in the environment is data: it runs nothing of
// theirs, loads nothing of theirs, writes nothing into their folders and opens no port to them.
void TestCommandLine::rootTakesNoOrders()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, changes);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    QFETCH(QStringList, dropped);
    if (geteuid() != 0) {
        QSKIP("the program runs as root");
    }

    QTemporaryDir home;
    QTemporaryDir user;
    QVERIFY(home.isValid() && user.isValid());
    // What the user leaves where root may look: a script that marks its run, a plug-in that marks its load.
    const QString engine = QLibraryInfo::location(QLibraryInfo::LibraryExecutablesPath) + "/QtWebEngineProcess";
    QFile script(user.filePath(QStringLiteral("run.sh")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\ntouch '%1/ran'\ncase \"$1\" in /*) exec \"$@\" ;; esac\nexec '%2' \"$@\"\n")
                     .arg(user.path(), engine)
                     .toUtf8());
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
    QVERIFY(QDir(user.path()).mkpath(QStringLiteral("platforms")));
    QVERIFY(QFile::copy(m_plugin, user.filePath(QStringLiteral("platforms/libmarker.so"))));
    QFile vendor(user.filePath(QStringLiteral("vendor.json")));
    QVERIFY(vendor.open(QIODevice::WriteOnly));
    vendor.write(QStringLiteral("{\"file_format_version\": \"1.0.0\", \"ICD\": {\"library_path\": \"%1\"}}")
                     .arg(user.filePath(QStringLiteral("platforms/libmarker.so")))
                     .toUtf8());
    vendor.close();
    QCOMPARE(QProcess::execute(QStringLiteral("chown"),
                               {QStringLiteral("-R"), QString::number(HostileFolder::foreignUid()), user.path()}),
             0);
    for (const QString &name : {QStringLiteral("root-only"), QStringLiteral("root-group")}) {
        QFile secret(user.filePath(name));
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("root's cookie") > 0);
        secret.close();
        QVERIFY(
            secret.setPermissions(QFile::ReadOwner | QFile::WriteOwner
                                  | (name == QLatin1String("root-group") ? QFile::ReadGroup : QFile::Permissions())));
        QCOMPARE(chown(QFile::encodeName(secret.fileName()).constData(), 0, 0), 0);
    }
    const QStringList planted = filesUnder(user.path());
    // % is a folder of root's that an access list opens to the other user.
    const QString listed = home.filePath(QStringLiteral("listed"));
    QVERIFY(QDir().mkpath(listed));
    QVERIFY(QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("0700"), listed}) == 0);
    const char acl[] = {2,          0,          0,          0,          1,  0, 7, 0,
                        char(0xff), char(0xff), char(0xff), char(0xff), 2,  0, 5, 0,
                        char(0xfe), char(0xff), 0,          0,          4,  0, 0, 0,
                        char(0xff), char(0xff), char(0xff), char(0xff), 16, 0, 5, 0,
                        char(0xff), char(0xff), char(0xff), char(0xff), 32, 0, 0, 0,
                        char(0xff), char(0xff), char(0xff), char(0xff)};
    QCOMPARE(setxattr(QFile::encodeName(listed).constData(), "system.posix_acl_access", acl, sizeof acl, 0), 0);

    const QString port = QString::number(freePort());
    for (QString &argument : arguments) {
        argument.replace(QLatin1Char('@'), user.path()).replace(QLatin1Char('#'), port);
    }
    for (QString &change : changes) {
        change.replace(QLatin1Char('#'), port).replace(QLatin1Char('%'), listed);
    }
    QProcessEnvironment environment = baseEnvironment(home.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    applyChanges(environment, changes, user.path());
    const bool forUser = environment.contains(QStringLiteral("SUDO_UID"));

    // For a user the program writes into root's own folders: those of a sandbox. The sandbox's shell would drop a
    // name that is not a shell's, so root's own session starts the program directly.
    RootSandbox sandbox;
    QVERIFY(sandbox.isValid());
    ProgramRun program;
    program.setProcessEnvironment(environment);
    forUser ? program.startIn(sandbox, arguments) : program.start(QStringLiteral(LUMENBRIDGE_PATH), arguments);
    QVERIFY(program.waitForStarted(endTimeoutMs));
    if (exitCode == 0) {
        QVERIFY(program.waitForPage());
        // What the program started with after it started again, and what its render processes got from it.
        const QList<QByteArray> started = ProcessTable::environment(program.processId());
        const QList<QByteArray> renderer =
            ProcessTable::environment(ProcessTable::renderers(program.processId()).first());
        QVERIFY(started.contains("HOME=/root"));
        for (const QString &name : dropped) {
            const QByteArray given = (name + QLatin1Char('=') + environment.value(name)).toLocal8Bit();
            QVERIFY2(!renderer.contains(given), given.constData());
            for (const QByteArray &entry : line == ignored || line.isEmpty() ? started : QList<QByteArray>()) {
                QVERIFY2(!entry.startsWith(name.toLatin1() + '='), entry.constData());
            }
        }
        if (arguments.join(' ').contains(port) || changes.join(' ').contains(port)) {
            QVERIFY2(!otherUserConnects(port.toUShort()), "the page's debugging port is open to another user");
        }
        QVERIFY(program.terminateAndWait());
    } else {
        QVERIFY(program.waitForFinished(endTimeoutMs));
    }
    const QByteArray errBytes = program.readAllStandardError();
    const QString err = QString::fromLocal8Bit(errBytes);
    QCOMPARE(program.exitCode(), exitCode);
    QVERIFY2(err.contains(line), qPrintable(err));
    QVERIFY2(!line.isEmpty() || !err.contains(ignored), qPrintable(err));
    QVERIFY2(
        std::all_of(errBytes.cbegin(), errBytes.cend(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7f); }),
        errBytes.toPercentEncoding(" \n:'()").constData());
    for (const QString &name : dropped) {
        QVERIFY2(err.contains(QLatin1Char(' ') + name) == !line.isEmpty(), qPrintable(err));
    }
    // Nothing of the user's ran or was loaded, and root wrote nothing into the user's folders, into root's folders
    // that the user named, or into a folder that others may enter.
    QCOMPARE(filesUnder(user.path()), planted);
    QVERIFY(filesUnder(listed).isEmpty());
    if (forUser) {
        QCOMPARE(filesUnder(home.path()), QStringList());
        QVERIFY(QFileInfo(sandbox.rootHome() + QStringLiteral("/.config/lumenbridge-users/65534")).isDir());
    }
}

// Two users who start the program one after the other: the second sees nothing the first left, the first's login
// least of all.
void TestCommandLine::usersKeepTheirOwnSettings()
{
    if (geteuid() != 0) {
        QSKIP("the program runs as root");
    }
    TestEnvironment environment;
    RootSandbox sandbox;
    QVERIFY(sandbox.isValid());
    const uid_t users[] = {HostileFolder::foreignUid(), 1};
    const auto settingsOf = [&sandbox](uid_t uid) {
        return sandbox.rootHome() + QStringLiteral("/.config/lumenbridge-users/") + QString::number(uid);
    };
    const QByteArray configuration = qgetenv("XDG_CONFIG_HOME");
    // The first user's earlier login, where the program keeps that user's settings.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsOf(users[0])));
    StoredSettings::setValue(QStringLiteral("portal/base_address"), QStringLiteral("https://127.0.0.1:9"));
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    qputenv("XDG_CONFIG_HOME", configuration);

    QStringList outputs;
    for (const uid_t uid : users) {
        QProcessEnvironment variables;
        variables.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        variables.insert(QStringLiteral("SUDO_UID"), QString::number(uid));
        ProgramRun program;
        program.setProcessEnvironment(variables);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.startIn(sandbox, QStringList());
        QVERIFY(program.waitForStarted(endTimeoutMs));
        QVERIFY(program.waitForPage());
        QVERIFY(program.terminateAndWait());
        QCOMPARE(program.exitCode(), 0);
        outputs.append(QString::fromLocal8Bit(program.readAll()));
    }
    // The stored login starts the key request before the window exists, so long before the page runs.
    const QString keyRequest = QStringLiteral("/api/v2/api_key");
    QVERIFY2(outputs.at(0).contains(keyRequest), qPrintable(outputs.at(0)));
    QVERIFY2(!outputs.at(1).contains(keyRequest), qPrintable(outputs.at(1)));
    // The second user's own file took the window's place; it holds no login.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsOf(users[1])));
    QVERIFY(StoredSettings::contains(QStringLiteral("window/size")));
    QVERIFY(!StoredSettings::contains(QStringLiteral("auth/username")));
    QVERIFY(!StoredSettings::contains(QStringLiteral("auth/password")));
    qputenv("XDG_CONFIG_HOME", configuration);
    QVERIFY(!QFileInfo::exists(environment.settingsFilePath()));
}

// Two users who start the program at the same moment, each on a display of their own that asks for a cookie: each
// start reads its user's file into a copy of its own, so each reaches its own display every time, and no copy stays.
void TestCommandLine::usersReachTheirOwnDisplays()
{
    if (geteuid() != 0) {
        QSKIP("the program runs as root");
    }
    constexpr int rounds = 10;
    RootSandbox sandbox;
    QTemporaryDir servers;
    QVERIFY(sandbox.isValid() && servers.isValid());

    struct Seat
    {
        uid_t uid = 0;
        QTemporaryDir home;
        QProcess server;
        QString display;
        QString authority;
    };

    Seat seats[2];
    seats[0].uid = HostileFolder::foreignUid();
    seats[1].uid = 1;
    for (Seat &seat : seats) {
        const QString cookie = QString::fromLatin1(QUuid::createUuid().toRfc4122().toHex());
        const QString serverFile = servers.filePath(QString::number(seat.uid));
        QCOMPARE(QProcess::execute(QStringLiteral("xauth"),
                                   {QStringLiteral("-q"), "-f", serverFile, "add", ":0", ".", cookie}),
                 0);
        seat.server.start(QStringLiteral("sh"),
                          {QStringLiteral("-c"),
                           QStringLiteral("exec Xvfb -displayfd 1 -auth \"$1\" -nolisten tcp -screen 0 800x600x24 "
                                          "2>/dev/null"),
                           QStringLiteral("sh"),
                           serverFile});
        QVERIFY(seat.server.waitForReadyRead(endTimeoutMs));
        seat.display = QLatin1Char(':') + QString::fromLatin1(seat.server.readAllStandardOutput().trimmed());
        seat.authority = seat.home.filePath(QStringLiteral("xauthority"));
        QCOMPARE(QProcess::execute(QStringLiteral("xauth"),
                                   {QStringLiteral("-q"), "-f", seat.authority, "add", seat.display, ".", cookie}),
                 0);
        for (const QString &path : {seat.home.path(), seat.authority}) {
            QCOMPARE(chown(QFile::encodeName(path).constData(), seat.uid, uid_t(-1)), 0);
        }
    }
    for (int round = 0; round < rounds; ++round) {
        ProgramRun programs[2];
        for (int i = 0; i < 2; ++i) {
            QProcessEnvironment variables;
            variables.insert(QStringLiteral("DISPLAY"), seats[i].display);
            variables.insert(QStringLiteral("XAUTHORITY"), seats[i].authority);
            variables.insert(QStringLiteral("SUDO_UID"), QString::number(seats[i].uid));
            programs[i].setProcessEnvironment(variables);
            programs[i].startIn(sandbox, QStringList());
        }
        for (ProgramRun &program : programs) {
            QVERIFY2(program.waitForPage(), program.readAllStandardError().constData());
        }
        for (ProgramRun &program : programs) {
            QVERIFY(program.terminateAndWait());
            QCOMPARE(program.exitCode(), 0);
        }
        for (const Seat &seat : seats) {
            const QString runtime = sandbox.run() + QStringLiteral("/lumenbridge-runtime/") + QString::number(seat.uid);
            QCOMPARE(QDir(runtime).entryList({QStringLiteral("xauthority*")}, QDir::Files), QStringList());
        }
    }
    // Without the user's cookie the display refuses: one line says so, and how to hand the cookie over.
    ProgramRun refused;
    QProcessEnvironment variables;
    variables.insert(QStringLiteral("DISPLAY"), seats[0].display);
    variables.insert(QStringLiteral("SUDO_UID"), QString::number(seats[0].uid));
    refused.setProcessEnvironment(variables);
    refused.startIn(sandbox, QStringList());
    QVERIFY(refused.waitForFinished(endTimeoutMs));
    const QString err = QString::fromLocal8Bit(refused.readAllStandardError());
    QCOMPARE(refused.exitCode(), 1);
    QVERIFY2(err.count(QLatin1Char('\n')) == 1 && err.contains(QStringLiteral("refused the connection"))
                 && err.contains(QStringLiteral("XAUTHORITY=$HOME/.Xauthority sudo " LUMENBRIDGE_PATH)),
             qPrintable(err));
    for (Seat &seat : seats) {
        seat.server.terminate();
        QVERIFY(seat.server.waitForFinished(endTimeoutMs));
    }
}

QTEST_GUILESS_MAIN(TestCommandLine)

#include "TestCommandLine.moc"

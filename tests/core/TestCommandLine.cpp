#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// Runs the built program with command lines that must end before any window or settings access.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void endsBeforeStart_data();
    void endsBeforeStart();
};

void TestCommandLine::endsBeforeStart_data()
{
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("inStdout");
    QTest::addColumn<QStringList>("inStderr");

    struct Case
    {
        const char *name;
        QStringList arguments;
        int exitCode;
        QStringList inStdout;
        QStringList inStderr;
    };

    const QStringList version{QStringLiteral("Lumenbridge " LUMENBRIDGE_VERSION "\n")};
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
                << changes << c.arguments << c.exitCode << c.inStdout << c.inStderr;
        }
    }
    QTest::newRow("no display: platform chosen on the command line")
        << QStringList() << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"), "--version"} << 0
        << version << QStringList();
    QTest::newRow("no display: a plain start says so instead of aborting")
        << QStringList() << QStringList() << 1 << QStringList() << QStringList{QStringLiteral("no display")};
    QTest::newRow("no display: level and module given")
        << QStringList() << QStringList{QStringLiteral("-g"), QStringLiteral("2"), QStringLiteral("-m"), "all"} << 1
        << QStringList() << QStringList{QStringLiteral("no display")};
    QTest::newRow("unreachable display: a plain start says so instead of aborting")
        << unreachable << QStringList() << 1 << QStringList() << QStringList{QStringLiteral("display :97")};
    QTest::newRow("unreachable X display chosen on the command line")
        << unreachable << QStringList{QStringLiteral("-platform"), QStringLiteral("xcb")} << 1 << QStringList()
        << QStringList{QStringLiteral("display :97")};
    // Started through sudo: no runtime folder. Qt's fallback would warn and make one.
    QTest::newRow("no runtime folder: --version")
        << QStringList{QStringLiteral("XDG_RUNTIME_DIR")} << QStringList{QStringLiteral("--version")} << 0 << version
        << QStringList();
    QTest::newRow("no runtime folder: --help") << QStringList{QStringLiteral("XDG_RUNTIME_DIR")}
                                               << QStringList{QStringLiteral("--help")} << 0 << help << QStringList();
    // As root, what the environment says cannot have the engine run a program or open the page to others.
    if (geteuid() == 0) {
        QTest::newRow("as root: engine flags ignored")
            << QStringList{QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS=--renderer-cmd-prefix=/bin/false")}
            << QStringList{QStringLiteral("--version")} << 0 << version
            << QStringList{QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS ignored")};
        QTest::newRow("as root: remote debugging off loopback ignored")
            << QStringList{QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING=0.0.0.0:9222")}
            << QStringList{QStringLiteral("--version")} << 0 << version
            << QStringList{QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING ignored")};
    }
}

void TestCommandLine::endsBeforeStart()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, inStdout);
    QFETCH(QStringList, inStderr);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        environment.remove(QLatin1String(variable));
    }
    // Qt's fallback runtime folder would land here.
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    environment.insert(QStringLiteral("HOME"), home.path());
    for (const char *variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString folder = home.path() + QLatin1Char('/') + QLatin1String(variable);
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        environment.insert(QLatin1String(variable), folder);
    }
    // NAME=value sets a variable, NAME alone removes it.
    for (const QString &change : changes) {
        const int equals = change.indexOf(QLatin1Char('='));
        equals < 0 ? environment.remove(change) : environment.insert(change.left(equals), change.mid(equals + 1));
    }

    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(LUMENBRIDGE_PATH), arguments);
    QVERIFY(program.waitForStarted(10000));
    // Ending by itself proves no window and no event loop were started.
    QVERIFY2(program.waitForFinished(20000), "the program kept running");
    const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(program.exitStatus() == QProcess::NormalExit, qPrintable(err));
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
    }
    QVERIFY2(!err.contains(QStringLiteral("QStandardPaths")), qPrintable(err));
    QCOMPARE(QDir(home.path()).entryList({QStringLiteral("runtime-*")}, QDir::Dirs), QStringList());

    // Neither settings nor web-engine data were written anywhere under the home folder.
    QStringList written;
    QDirIterator files(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        written.append(files.next());
    }
    QVERIFY2(written.isEmpty(), qPrintable(written.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(TestCommandLine)

#include "TestCommandLine.moc"

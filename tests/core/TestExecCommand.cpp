#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include "core/ExecCommand.h"
#include "core/Log.h"
#include "tests/support/LogCapture.h"

class TestExecCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void secondStartIsRefused();
    void outputCollectedInOrderAndReset();
    void missingProgram();
    void exitCode();
    void killDeliversFinishedSynchronously();
    void detachedStartKeepsRefusing();
    void inheritsOnlyStandardDescriptors_data();
    void inheritsOnlyStandardDescriptors();
};

namespace
{
bool runToEnd(ExecCommand &command)
{
    return command.start() && command.waitForStarted() && command.waitForFinished();
}
} // namespace

void TestExecCommand::initTestCase()
{
    installConnectionWarningCheck();
}

void TestExecCommand::secondStartIsRefused()
{
    ExecCommand command;
    command.setProgram(QStringLiteral("sleep"));
    command.setArguments({QStringLiteral("5")});
    LogCapture log;
    QVERIFY(command.start());
    QVERIFY(command.waitForStarted());
    QVERIFY(!command.start());
    QVERIFY(log.contains(QStringLiteral("start(): \"sleep already running\"")));
    QVERIFY(command.isRunning());
    command.kill();
    QVERIFY(!command.isRunning());
}

void TestExecCommand::outputCollectedInOrderAndReset()
{
    ExecCommand command;
    command.setProgram(QStringLiteral("sh"));
    command.setArguments(
        {QStringLiteral("-c"), QStringLiteral("printf one; sleep 0.2; printf ' two'; sleep 0.2; printf ' three'")});
    QVERIFY(runToEnd(command));
    QCOMPARE(command.output, QStringLiteral("one two three"));

    command.setArguments({QStringLiteral("-c"), QStringLiteral("printf again")});
    QVERIFY(runToEnd(command));
    QCOMPARE(command.output, QStringLiteral("again"));
}

void TestExecCommand::missingProgram()
{
    ExecCommand command;
    QSignalSpy finished(&command, &ExecCommand::finished);
    command.setProgram(QStringLiteral("/nonexistent/program"));
    LogCapture log;
    QVERIFY(command.start());
    QVERIFY(!command.waitForStarted());
    QVERIFY(!command.isRunning());
    QVERIFY(log.contains(QStringLiteral("onErrorOccurred(): \"/nonexistent/program error: 0\"")));
    // A later start on the same runner works and its end is the only finished().
    command.setProgram(QStringLiteral("true"));
    QVERIFY(runToEnd(command));
    QCOMPARE(finished.count(), 1);
}

void TestExecCommand::exitCode()
{
    ExecCommand command;
    QSignalSpy finished(&command, &ExecCommand::finished);
    command.setProgram(QStringLiteral("sh"));
    command.setArguments({QStringLiteral("-c"), QStringLiteral("exit 3")});
    LogCapture log;
    QVERIFY(runToEnd(command));
    QCOMPARE(command.exitCode(), 3);
    QCOMPARE(finished.count(), 1);
    QVERIFY(log.contains(QStringLiteral("onFinished(): \"sh exitCode: 3\"")));
}

void TestExecCommand::killDeliversFinishedSynchronously()
{
    ExecCommand command;
    QSignalSpy finished(&command, &ExecCommand::finished);
    command.setProgram(QStringLiteral("sleep"));
    command.setArguments({QStringLiteral("30")});
    QVERIFY(command.start());
    QVERIFY(command.waitForStarted());
    command.kill();
    QVERIFY(!command.isRunning());
    QCOMPARE(finished.count(), 1);
    command.kill(); // idle: nothing happens
    QCOMPARE(finished.count(), 1);
}

void TestExecCommand::detachedStartKeepsRefusing()
{
    ExecCommand command;
    command.setProgram(QStringLiteral("true"));
    QVERIFY(command.startDetached());
    QVERIFY(command.isRunning());
    LogCapture log;
    QVERIFY(!command.start());
    QVERIFY(!command.startDetached());
    QVERIFY(log.contains(QStringLiteral("startDetached(): \"true already running\"")));

    ExecCommand failing;
    failing.setProgram(QStringLiteral("/nonexistent/program"));
    QVERIFY(!failing.startDetached());
    QVERIFY(failing.isRunning());
}

void TestExecCommand::inheritsOnlyStandardDescriptors_data()
{
    QTest::addColumn<bool>("detached");
    QTest::addColumn<QByteArray>("input");
    // For a started program: the variables of ours it is to get besides PATH, and the names it must find.
    QTest::addColumn<QStringList>("inherited");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("started") << false << QByteArray() << QStringList() << QStringList{QStringLiteral("PATH")};
    QTest::newRow("started with the variables it needs")
        << false << QByteArray() << QStringList{QStringLiteral("SUDO_UID"), "XDG_RUNTIME_DIR", "UNSET_HERE"}
        << QStringList{QStringLiteral("PATH"), "SUDO_UID", "XDG_RUNTIME_DIR"};
    QTest::newRow("detached") << true << QByteArray() << QStringList() << QStringList();
    QTest::newRow("detached with input held in memory")
        << true << QByteArray("secret\n") << QStringList() << QStringList();
}

// What the program holds open without close-on-exec (as a library may leave a descriptor) stays the program's, and
// a started program sees of the program's environment (the display, the folders, the engine's settings) only what
// it was given.
void TestExecCommand::inheritsOnlyStandardDescriptors()
{
    QFETCH(bool, detached);
    QFETCH(QByteArray, input);
    QFETCH(QStringList, inherited);
    QFETCH(QStringList, names);
    for (const char *name : {"DISPLAY", "HOME", "QTWEBENGINE_DISABLE_SANDBOX", "SUDO_UID", "XDG_RUNTIME_DIR"}) {
        qputenv(name, "/ours");
    }
    const int leaked = open("/dev/null", O_RDONLY);
    QVERIFY(leaked > 2);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString report = folder.filePath(QStringLiteral("report"));
    ExecCommand command;
    command.setProgram(QStringLiteral("sh"));
    command.setArguments({QStringLiteral("-c"),
                          // ls holds what the shell inherited, and its own listing as 3.
                          QStringLiteral("head -c %2 > %1.input; env > %1.env; ls /proc/self/fd > %1.part; "
                                         "mv %1.part %1")
                              .arg(report)
                              .arg(input.size())});
    command.setStandardInput(input);
    command.setInheritedVariables(inherited);
    QVERIFY(detached ? command.startDetached() : runToEnd(command));
    QFile file(report);
    QTRY_VERIFY_WITH_TIMEOUT(file.exists(), 10000);
    close(leaked);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("0\n1\n2\n3\n"));
    QFile received(report + QStringLiteral(".input"));
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(), input);
    QFile environment(report + QStringLiteral(".env"));
    QVERIFY(environment.open(QIODevice::ReadOnly));
    QStringList seen;
    for (const QByteArray &line : environment.readAll().split('\n')) {
        // The shell's own.
        const QString name = QString::fromLatin1(line.left(line.indexOf('=')));
        if (!name.isEmpty() && name != QLatin1String("PWD")) {
            seen.append(name);
        }
    }
    std::sort(seen.begin(), seen.end());
    QCOMPARE(seen.contains(QStringLiteral("DISPLAY")), detached);
    if (!detached) {
        QCOMPARE(seen, names);
    }
}

QTEST_GUILESS_MAIN(TestExecCommand)
#include "TestExecCommand.moc"

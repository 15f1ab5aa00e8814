#include <algorithm>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

#include "tests/support/LogCapture.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "window/MainWindow.h"
#include "window/WebengineSupervisor.h"

Q_DECLARE_METATYPE(QWebEnginePage::RenderProcessTerminationStatus)

namespace
{
const QString crashLine = QStringLiteral("XXXXXXXXXXXXXXXXXXXXXXCRASH");

enum class Ending
{
    Killed,
    Crashed,
    Normal,
};

// Ends the window's render process the way the row asks. A normal exit cannot be provoked from outside,
// so that row delivers the web view's own signal with the normal status.
void endRenderProcess(MainWindow *window, Ending ending)
{
    switch (ending) {
    case Ending::Killed:
        QVERIFY(window->page()->renderProcessPid() > 0);
        QCOMPARE(::kill(static_cast<pid_t>(window->page()->renderProcessPid()), SIGKILL), 0);
        break;
    case Ending::Crashed:
        // The page may not leave the resources (so no "chrome://crash"): a segmentation fault instead.
        QCOMPARE(::kill(static_cast<pid_t>(window->page()->renderProcessPid()), SIGSEGV), 0);
        break;
    case Ending::Normal:
        emit window->renderProcessTerminated(QWebEnginePage::NormalTerminationStatus, 0);
        break;
    }
}

// The environment the program runs in for a test: headless, its folders in home, the page's console shown.
// Empty when a folder cannot be made.
QProcessEnvironment programEnvironment(const QString &home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    // As root the program must switch the sandbox off by itself; otherwise the container may lack one.
    environment.remove(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"));
    if (geteuid() != 0) {
        environment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    }
    environment.insert(QStringLiteral("HOME"), home);
    for (const char *variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString folder = home + QLatin1Char('/') + QLatin1String(variable);
        if (!QDir().mkpath(folder)
            || !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            return QProcessEnvironment();
        }
        environment.insert(QLatin1String(variable), folder);
    }
    return environment;
}
} // namespace

Q_DECLARE_METATYPE(Ending)

class TestWebengineSupervisor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recovers_data();
    void recovers();
    void recoversAgainAfterSecondCrash();
    void ignoresReplacedWindow();
    void programKeepsRunningAfterRecovery();
    void recoveryDelay_data();
    void recoveryDelay();
    void renderProcessThatCannotStartIsRetriedSlower();
    // Runs and ends the application's event loop: keep it last.
    void releasesReplacementsWhenApplicationQuits();
};

void TestWebengineSupervisor::initTestCase()
{
    installConnectionWarningCheck();
    qRegisterMetaType<QWebEnginePage::RenderProcessTerminationStatus>();
}

void TestWebengineSupervisor::recovers_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QWebEnginePage::RenderProcessTerminationStatus>("status");
    QTest::newRow("killed") << Ending::Killed << QWebEnginePage::KilledTerminationStatus;
    QTest::newRow("crashed") << Ending::Crashed << QWebEnginePage::CrashedTerminationStatus;
    QTest::newRow("normal termination") << Ending::Normal << QWebEnginePage::NormalTerminationStatus;
}

void TestWebengineSupervisor::recovers()
{
    QFETCH(Ending, ending);
    QFETCH(QWebEnginePage::RenderProcessTerminationStatus, status);
    TestEnvironment environment;
    LogCapture log;
    WindowDriver first;
    QVERIFY(first.open());
    QVERIFY(first.waitForStart());
    MainWindow *old = first.window();
    old->resize(930, 710);
    old->move(21, 13);
    QTRY_COMPARE(old->size(), QSize(930, 710));
    const QPoint closedAt = old->pos();

    WebengineSupervisor supervisor;
    supervisor.setApplication(qApp);
    supervisor.setMainWindow(old);
    QCOMPARE(supervisor.window, old);
    QSignalSpy terminated(old, &QWebEngineView::renderProcessTerminated);

    endRenderProcess(old, ending);
    QTRY_COMPARE_WITH_TIMEOUT(terminated.count(), 1, 20000);
    QCOMPARE(terminated.first().at(0).value<QWebEnginePage::RenderProcessTerminationStatus>(), status);

    MainWindow *replacement = supervisor.window;
    QVERIFY(replacement != old);
    QVERIFY(!old->isVisible());
    QVERIFY(replacement->isVisible());
    QCOMPARE(replacement->app, qApp);
    QVERIFY(replacement->orv != old->orv);
    QCOMPARE(replacement->url(), QUrl(QStringLiteral("qrc:/index.html")));
    QCOMPARE(replacement->size(), QSize(930, 710));
    QCOMPARE(replacement->pos(), closedAt);

    // The new page starts from the beginning: its login screen comes up.
    WindowDriver second;
    QVERIFY(second.adopt(replacement));
    QVERIFY(second.waitForStart());
    QVERIFY(second.waitFor(QStringLiteral("location.pathname === '/login'")));
    QCOMPARE(log.count(crashLine), 1);
    QCOMPARE(log.lines().at(log.texts().indexOf(crashLine)).type, QtDebugMsg);
}

void TestWebengineSupervisor::recoversAgainAfterSecondCrash()
{
    TestEnvironment environment;
    LogCapture log;
    WindowDriver first;
    QVERIFY(first.open());
    WebengineSupervisor supervisor;
    supervisor.setApplication(qApp);
    supervisor.setMainWindow(first.window());

    endRenderProcess(first.window(), Ending::Killed);
    QTRY_VERIFY_WITH_TIMEOUT(supervisor.window != first.window(), 20000);
    MainWindow *second = supervisor.window;
    WindowDriver secondDriver;
    QVERIFY(secondDriver.adopt(second));
    QVERIFY(secondDriver.waitForStart());

    // The second page ended soon after its start: the third window waits a second.
    QSignalSpy secondTerminated(second, &QWebEngineView::renderProcessTerminated);
    endRenderProcess(second, Ending::Killed);
    QTRY_COMPARE_WITH_TIMEOUT(secondTerminated.count(), 1, 20000);
    QCOMPARE(supervisor.window, second);
    QVERIFY(!second->isVisible());
    const QStringList lines = log.texts();
    QVERIFY(std::any_of(lines.cbegin(), lines.cend(), [](const QString &line) {
        return line.startsWith(QLatin1String("WebengineSupervisor::onMainWindowCrash(): \"Render process ended"))
               && line.endsWith(QLatin1String("2 times in a row: next window in 1000 ms\""));
    }));
    QTRY_VERIFY_WITH_TIMEOUT(supervisor.window != second, 20000);
    MainWindow *third = supervisor.window;
    QVERIFY(!second->isVisible());
    QVERIFY(third->isVisible());
    WindowDriver thirdDriver;
    QVERIFY(thirdDriver.adopt(third));
    QVERIFY(thirdDriver.waitForStart());
    QCOMPARE(log.count(crashLine), 2);
}

void TestWebengineSupervisor::ignoresReplacedWindow()
{
    TestEnvironment environment;
    LogCapture log;
    WindowDriver first;
    QVERIFY(first.open());
    MainWindow *old = first.window();
    WebengineSupervisor supervisor;
    supervisor.setMainWindow(old);
    endRenderProcess(old, Ending::Killed);
    QTRY_VERIFY_WITH_TIMEOUT(supervisor.window != old, 20000);
    MainWindow *current = supervisor.window;
    WindowDriver currentDriver;
    QVERIFY(currentDriver.adopt(current));
    QVERIFY(currentDriver.waitForStart());

    // The replaced window still carries its connection; a later end of its page must not close the
    // window in use.
    QSignalSpy oldTerminated(old, &QWebEngineView::renderProcessTerminated);
    emit old->renderProcessTerminated(QWebEnginePage::CrashedTerminationStatus, 11);
    QCOMPARE(oldTerminated.count(), 1);
    QCOMPARE(supervisor.window, current);
    QVERIFY(current->isVisible());
    QCOMPARE(log.count(crashLine), 1);
}

void TestWebengineSupervisor::programKeepsRunningAfterRecovery()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QProcessEnvironment environment = programEnvironment(home.path());
    QVERIFY(!environment.isEmpty());

    QProcess program;
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.setWorkingDirectory(home.path());
    QByteArray output;
    connect(&program, &QProcess::readyRead, this, [&] { output += program.readAll(); });
    program.start(QStringLiteral(LUMENBRIDGE_PATH), QStringList());
    QVERIFY(program.waitForStarted(10000));
    const auto stopProgram = qScopeGuard([&program] {
        program.kill();
        program.waitForFinished(10000);
    });

    QTRY_COMPARE_WITH_TIMEOUT(ProcessTable::renderers(program.processId()).size(), 1, 30000);
    const QList<qint64> before = ProcessTable::renderers(program.processId());
    QCOMPARE(::kill(static_cast<pid_t>(before.first()), SIGKILL), 0);

    QTRY_VERIFY_WITH_TIMEOUT(output.contains(crashLine.toLatin1()), 20000);
    // The new window's page runs in a render process of its own. The kill comes as soon as the first render
    // process exists, often before the page has loaded: the closed window must not finish that load in a
    // second one.
    QTRY_VERIFY_WITH_TIMEOUT(ProcessTable::renderers(program.processId()).size() == 1
                                 && !ProcessTable::renderers(program.processId()).contains(before.first()),
                             30000);
    QCOMPARE(program.state(), QProcess::Running);
    QCOMPARE(output.count(crashLine.toLatin1()), 1);
}

void TestWebengineSupervisor::recoveryDelay_data()
{
    QTest::addColumn<int>("previousQuickEnds");
    QTest::addColumn<qint64>("ranForMs");
    QTest::addColumn<int>("quickEnds");
    QTest::addColumn<int>("delayMs");

    QTest::newRow("a single end is replaced at once") << 0 << qint64(200) << 1 << 0;
    QTest::newRow("the second quick end waits a second") << 1 << qint64(200) << 2 << 1000;
    QTest::newRow("just inside the few seconds") << 1 << qint64(4999) << 2 << 1000;
    QTest::newRow("the wait doubles") << 2 << qint64(200) << 3 << 2000;
    QTest::newRow("sixteen seconds before the cap") << 5 << qint64(200) << 6 << 16000;
    QTest::newRow("capped at thirty seconds") << 6 << qint64(200) << 7 << 30000;
    QTest::newRow("the count stops growing, the cap holds") << 100 << qint64(200) << 100 << 30000;
    QTest::newRow("a page that ran a while starts the count afresh") << 6 << qint64(5000) << 0 << 0;
}

void TestWebengineSupervisor::recoveryDelay()
{
    QFETCH(int, previousQuickEnds);
    QFETCH(qint64, ranForMs);
    QFETCH(int, quickEnds);
    QFETCH(int, delayMs);
    QCOMPARE(WebengineSupervisor::quickEndsAfter(previousQuickEnds, ranForMs), quickEnds);
    QCOMPARE(WebengineSupervisor::recoveryDelayMs(quickEnds), delayMs);
}

// A render process that cannot start at all used to be replaced about eight times a second for ever.
void TestWebengineSupervisor::renderProcessThatCannotStartIsRetriedSlower()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QProcessEnvironment environment = programEnvironment(home.path());
    QVERIFY(!environment.isEmpty());
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.setWorkingDirectory(home.path());
    QStringList lines;
    QList<qint64> arrivals;
    QElapsedTimer clock;
    clock.start();
    QByteArray partial;
    connect(&program, &QProcess::readyRead, this, [&] {
        partial += program.readAll();
        int end;
        while ((end = partial.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(partial.left(end));
            arrivals << clock.elapsed();
            partial.remove(0, end + 1);
        }
    });
    program.start(QStringLiteral(LUMENBRIDGE_PATH), QStringList());
    QVERIFY(program.waitForStarted(10000));
    const auto stopProgram = qScopeGuard([&program] {
        program.kill();
        program.waitForFinished(10000);
    });
    // Every render process ends as soon as it is there, as one that cannot start does.
    QTimer ender;
    connect(&ender, &QTimer::timeout, this, [&program] {
        for (const qint64 renderer : ProcessTable::renderers(program.processId())) {
            ::kill(static_cast<pid_t>(renderer), SIGKILL);
        }
    });
    ender.start(20);

    const auto waitLine = [&lines](int delayMs) {
        const QString ending = QStringLiteral("next window in %1 ms\"").arg(delayMs);
        return std::find_if(
                   lines.cbegin(), lines.cend(), [&ending](const QString &line) { return line.endsWith(ending); })
               - lines.cbegin();
    };
    QTRY_VERIFY_WITH_TIMEOUT(waitLine(2000) < lines.size(), 60000);
    QCOMPARE(program.state(), QProcess::Running);

    // Ended, replaced at once; ended, a second's wait; ended, two seconds' wait: three windows so far.
    const int first = waitLine(1000);
    const int second = waitLine(2000);
    QVERIFY(first < second);
    QCOMPARE(lines.mid(0, second).count(crashLine), 3);
    QCOMPARE(lines.mid(0, first).count(crashLine), 2);
    QVERIFY(lines.at(first).contains(QLatin1String("2 times in a row")));
    QVERIFY(lines.at(second).contains(QLatin1String("3 times in a row")));
    const int thirdCrash = static_cast<int>(lines.indexOf(crashLine, first));
    QVERIFY(thirdCrash > first && thirdCrash < second);
    QVERIFY2(arrivals.at(thirdCrash) - arrivals.at(first) >= 900,
             qPrintable(QString::number(arrivals.at(thirdCrash) - arrivals.at(first))));

    // The program waits with no window shown, and goes on afterwards.
    QTRY_VERIFY_WITH_TIMEOUT(lines.count(crashLine) == 4, 20000);
    QCOMPARE(program.state(), QProcess::Running);
}

void TestWebengineSupervisor::releasesReplacementsWhenApplicationQuits()
{
    TestEnvironment environment;
    WindowDriver first;
    QVERIFY(first.open());
    WebengineSupervisor supervisor;
    supervisor.setApplication(qApp);
    supervisor.setMainWindow(first.window());
    endRenderProcess(first.window(), Ending::Killed);
    QTRY_VERIFY_WITH_TIMEOUT(supervisor.window != first.window(), 20000);
    const QPointer<MainWindow> replacement = supervisor.window;
    WindowDriver replacementDriver;
    QVERIFY(replacementDriver.adopt(replacement));

    // A page left alive past the application object crashes the process at exit.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(replacement.isNull());
    QVERIFY(supervisor.window == nullptr);
    // The first window belongs to whoever made it (main's stack in the program).
    QVERIFY(first.window() != nullptr);
    QVERIFY(!first.window()->isVisible());
    // A late signal of the first window after the release changes nothing.
    emit first.window()->renderProcessTerminated(QWebEnginePage::KilledTerminationStatus, 9);
    QVERIFY(supervisor.window == nullptr);
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestWebengineSupervisor test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestWebengineSupervisor.moc"

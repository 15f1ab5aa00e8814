#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

#include "controller/Orv.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "window/MainWindow.h"

namespace
{
const QString feedbackRed =
    QStringLiteral("document.querySelector('#rootContainer .form-row-feedback').classList.contains('bg-red')");
const QString overlayUp =
    QStringLiteral("!document.querySelector('#rootContainer .form-overlay').classList.contains('hidden')");

// A sudo first on the PATH that keeps its arguments and what it read, and runs nothing.
class StandInSudo
{
    Q_DISABLE_COPY_MOVE(StandInSudo)

public:
    StandInSudo()
        : m_path(qgetenv("PATH"))
    {
        QFile script(m_dir.path() + QStringLiteral("/sudo"));
        m_valid = m_dir.isValid() && script.open(QIODevice::WriteOnly)
                  && script.write("#!/bin/bash\n"
                                  "cat > \"$(dirname \"$0\")/stdin.tmp\"\n"
                                  "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.tmp\"\n"
                                  "mv \"$(dirname \"$0\")/stdin.tmp\" \"$(dirname \"$0\")/stdin\"\n"
                                  "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/args\"\n")
                         > 0;
        script.close();
        m_valid = m_valid && script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + m_path);
    }

    ~StandInSudo()
    {
        qputenv("PATH", m_path);
    }

    bool isValid() const
    {
        return m_valid;
    }

    bool ran() const
    {
        return QFile::exists(m_dir.path() + QStringLiteral("/args"));
    }

    QString read(const QString &name) const
    {
        QFile file(m_dir.path() + QLatin1Char('/') + name);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
    bool m_valid = false;
};

// Brings up the administrator screen the way the login route draws it for a program without its rights. The
// controller always reports them, so the page is told otherwise for these two questions only.
bool openAdministratorScreen(WindowDriver &driver, bool canObtainRights)
{
    return driver.open() && driver.waitForStart() && driver.waitForLoginScreen()
           && driver
                  .evaluate(QStringLiteral("ORV.checkRootPermissions = function(answer) { answer(false); };"
                                           " ORV.canObtainRootPermissions = function(answer) { answer(%1); };"
                                           " loginPage(); true")
                                .arg(canObtainRights ? QStringLiteral("true") : QStringLiteral("false")))
                  .toBool()
           && driver.waitFor(QStringLiteral("!!document.querySelector('#rootContainer')"));
}

// Submits the administrator screen as the user would: the button, or Enter in the focused field.
void submit(WindowDriver &driver, bool byEnter)
{
    if (byEnter) {
        driver.window()->activateWindow();
        QTest::keyClick(driver.window()->focusProxy(), Qt::Key_Return);
    } else {
        QVERIFY(driver.click(QStringLiteral("#rootContainer button.login")));
    }
}

enum class Answer
{
    None,
    Refused,
    Accepted,
};
} // namespace

Q_DECLARE_METATYPE(Answer)

// The administrator screen in both of its modes, on the real page and controller; the program's answers to
// the rights questions are the only ones the page is told.
class TestAdministratorScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void passwordForm_data();
    void passwordForm();
    void errorOnlyMode_data();
    void errorOnlyMode();

private:
    TestEnvironment *m_environment = nullptr;
};

void TestAdministratorScreen::initTestCase()
{
    installConnectionWarningCheck();
}

void TestAdministratorScreen::init()
{
    m_environment = new TestEnvironment;
}

void TestAdministratorScreen::cleanup()
{
    delete m_environment;
    m_environment = nullptr;
}

void TestAdministratorScreen::passwordForm_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("byEnter");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QString>("feedback");

    QTest::newRow("empty password") << QString() << false << Answer::None << "Password is empty";
    QTest::newRow("empty password, Enter") << QString() << true << Answer::None << "Password is empty";
    QTest::newRow("wrong password") << QStringLiteral("nope") << false << Answer::Refused << "Password is invalid";
    QTest::newRow("right password") << QStringLiteral("it's $HOME") << false << Answer::Accepted << "";
    QTest::newRow("right password, Enter") << QStringLiteral("s3cret") << true << Answer::Accepted << "";
}

void TestAdministratorScreen::passwordForm()
{
    QFETCH(QString, password);
    QFETCH(bool, byEnter);
    QFETCH(Answer, answer);
    QFETCH(QString, feedback);
    StandInSudo sudo;
    QVERIFY(sudo.isValid());
    WindowDriver driver;
    QVERIFY(openAdministratorScreen(driver, true));
    // The program's end is what the user sees of it; the test process itself must go on.
    QVERIFY(QObject::disconnect(driver.window()->orv, SIGNAL(onKill()), driver.window(), SLOT(onKill())));
    QSignalSpy kills(driver.window()->orv, &Orv::onKill);

    QVERIFY(driver.isShown(QStringLiteral("#rootContainer .root-permissions-form")));
    QVERIFY(!driver.isShown(QStringLiteral("#rootContainer .root-permissions-error-message")));
    QCOMPARE(driver.text(QStringLiteral("#rootContainer .form-title")), QStringLiteral("Administrator permissions"));
    QVERIFY(driver.waitFor(QStringLiteral("document.activeElement && document.activeElement.name === 'password'")));
    // What the page asks the program, and when; a refusal is the one answer the controller never gives.
    QVERIFY(driver
                .evaluate(QStringLiteral("window.asked = []; var real = ORV.checkRootPermissionsWithPassword;"
                                         " ORV.checkRootPermissionsWithPassword = function(password, answer) {"
                                         "  window.asked.push({password: password, at: performance.now()});"
                                         "  if (%1) { answer(false); } else { real(password, answer); } }; true")
                              .arg(answer == Answer::Refused ? QStringLiteral("true") : QStringLiteral("false")))
                .toBool());
    QVERIFY(driver.type(QStringLiteral("#rootContainer input[name=password]"), password));

    QVERIFY(driver.evaluate(QStringLiteral("window.submittedAt = performance.now(); true")).toBool());
    submit(driver, byEnter);
    if (answer == Answer::None) {
        QVERIFY(driver.waitFor(feedbackRed));
        QVERIFY(!driver.evaluate(overlayUp).toBool());
    } else {
        // A click acts at once; a key press reaches the page a little later.
        QVERIFY(byEnter ? driver.waitFor(overlayUp) : driver.evaluate(overlayUp).toBool());
        QVERIFY(driver.waitFor(QStringLiteral("window.asked.length === 1")));
        QCOMPARE(driver.evaluate(QStringLiteral("window.asked[0].password")).toString(), password);
        const double waited = driver.evaluate(QStringLiteral("window.asked[0].at - window.submittedAt")).toDouble();
        QVERIFY2(waited >= 490, qPrintable(QString::number(waited)));
    }

    if (answer == Answer::Accepted) {
        // The program restarts itself through sudo with the typed password, the overlay up until it ends.
        QTRY_VERIFY_WITH_TIMEOUT(sudo.ran(), 10000);
        QCOMPARE(sudo.read(QStringLiteral("stdin")), password + QLatin1Char('\n'));
        QCOMPARE(sudo.read(QStringLiteral("args")),
                 QStringLiteral("-k\n-S\n") + QCoreApplication::applicationFilePath() + QLatin1Char('\n'));
        QTRY_COMPARE_WITH_TIMEOUT(kills.count(), 1, 10000);
        QVERIFY(driver.evaluate(overlayUp).toBool());
        return;
    }
    QVERIFY(driver.waitFor(feedbackRed));
    QCOMPARE(driver.text(QStringLiteral("#rootContainer .form-row-feedback")), feedback);
    QVERIFY(!driver.evaluate(overlayUp).toBool());
    QVERIFY(driver.isShown(QStringLiteral("#rootContainer .root-permissions-form")));
    QVERIFY(driver.waitForProgram());
    QVERIFY(!sudo.ran());
    QCOMPARE(kills.count(), 0);
    QCOMPARE(driver.evaluate(QStringLiteral("window.asked.length")).toInt(), answer == Answer::None ? 0 : 1);

    // The red goes as soon as the form is sent again.
    QVERIFY(driver.type(QStringLiteral("#rootContainer input[name=password]"), QStringLiteral("again")));
    QCOMPARE(
        driver.evaluate(QStringLiteral("document.querySelector('#rootContainer button.login').click(); ") + feedbackRed)
            .toBool(),
        false);
}

void TestAdministratorScreen::errorOnlyMode_data()
{
    QTest::addColumn<bool>("byEnter");
    QTest::newRow("OK button") << false;
    QTest::newRow("Enter") << true;
}

void TestAdministratorScreen::errorOnlyMode()
{
    QFETCH(bool, byEnter);
    StandInSudo sudo;
    QVERIFY(sudo.isValid());
    WindowDriver driver;
    QVERIFY(openAdministratorScreen(driver, false));
    QVERIFY(QObject::disconnect(driver.window()->orv, SIGNAL(onKill()), driver.window(), SLOT(onKill())));
    QSignalSpy kills(driver.window()->orv, &Orv::onKill);

    QVERIFY(!driver.isShown(QStringLiteral("#rootContainer .root-permissions-form")));
    QVERIFY(driver.isShown(QStringLiteral("#rootContainer .root-permissions-error-message")));
    QCOMPARE(driver.text(QStringLiteral("#rootContainer .root-permissions-error-message")),
             QStringLiteral("Please launch Lumenbridge with root permissions"));
    QCOMPARE(driver.text(QStringLiteral("#rootContainer button.login")), QStringLiteral("OK"));
    // The screen covers the whole window, the navigation bar included.
    QVERIFY(
        driver
            .evaluate(QStringLiteral("document.elementFromPoint(innerWidth - 5, 5).closest('#rootContainer') !== null"))
            .toBool());

    QCOMPARE(kills.count(), 0);
    submit(driver, byEnter);
    QTRY_COMPARE_WITH_TIMEOUT(kills.count(), 1, 10000);
    QVERIFY(!sudo.ran());
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestAdministratorScreen test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestAdministratorScreen.moc"

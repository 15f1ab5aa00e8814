#include <QApplication>
#include <QtTest>

#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "window/MainWindow.h"

namespace
{
const QString loginShown =
    QStringLiteral("location.pathname === '/login' && !!document.querySelector('#loginContainer')");
const QString domainsShown =
    QStringLiteral("location.pathname === '/domains' && document.querySelectorAll('.domain-container').length > 0");
const QString feedbackRed = QStringLiteral("document.querySelector('.form-row-feedback').classList.contains('bg-red')");

QString displayOf(const QString &selector)
{
    return QStringLiteral("getComputedStyle(document.querySelector(%1)).display").arg(WindowDriver::quote(selector));
}
} // namespace

// The login screen against the real controller and a real portal on loopback.
class TestLoginFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startShowsLoginScreen();
    void formFeedback_data();
    void formFeedback();
    void retryAfterErrorClearsFeedback();
    void goodLoginMovesToDomains();
    void enterSubmits();
    void storedCredentialsLogInAtStart();
    void logoutReturnsToLogin();
};

void TestLoginFlow::initTestCase()
{
    installConnectionWarningCheck();
}

void TestLoginFlow::startShowsLoginScreen()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitForStart());
    QVERIFY(driver.waitFor(loginShown));
    QVERIFY(driver.waitFor(QStringLiteral("document.activeElement && document.activeElement.name === 'username'")));
    QVERIFY(driver.hasClass(QStringLiteral(".sidebar"), QStringLiteral("hn")));
    QCOMPARE(driver.evaluate(displayOf(QStringLiteral(".logout"))).toString(), QStringLiteral("none"));
    QVERIFY(!driver.evaluate(feedbackRed).toBool());
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QString());
    // Nothing was stored, so nothing was sent.
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 0);
    driver.saveScreenshot(QStringLiteral("login.png"));
}

void TestLoginFlow::formFeedback_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("loginRequests");

    QTest::newRow("empty user name") << QString() << QStringLiteral("secret") << QStringLiteral("Username is empty")
                                     << 0;
    QTest::newRow("empty password") << QStringLiteral("alice") << QString() << QStringLiteral("Password is empty") << 0;
    QTest::newRow("both empty: user name first") << QString() << QString() << QStringLiteral("Username is empty") << 0;
    QTest::newRow("wrong password") << QStringLiteral("alice") << QStringLiteral("wrong")
                                    << QStringLiteral("Username and password are invalid") << 1;
    QTest::newRow("blank user name is not empty and is sent")
        << QStringLiteral("   ") << QStringLiteral("secret") << QStringLiteral("Username and password are invalid")
        << 1;
}

void TestLoginFlow::formFeedback()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, message);
    QFETCH(int, loginRequests);
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(loginShown));

    QVERIFY(driver.type(QStringLiteral("input[name=username]"), username));
    QVERIFY(driver.type(QStringLiteral("input[name=password]"), password));
    QVERIFY(driver.click(QStringLiteral("#loginContainer .login")));
    QVERIFY(driver.waitFor(feedbackRed));
    QCOMPARE(driver.text(QStringLiteral(".form-row-feedback")), message);
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.form-overlay').classList.contains('hidden')")));
    // A call through the channel answers after any login the click sent: none may be in flight now.
    QVERIFY(driver
                .evaluate(QStringLiteral("window.tryLoginAnswer = undefined;"
                                         " ORV.auth.isTryLogin(function(v) { window.tryLoginAnswer = v; }); true"))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("window.tryLoginAnswer === false")));
    QCOMPARE(session.requestCount(TestPortal::Route::Login), loginRequests);
    QCOMPARE(driver.evaluate(QStringLiteral("location.pathname")).toString(), QStringLiteral("/login"));
}

void TestLoginFlow::retryAfterErrorClearsFeedback()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(loginShown));
    QVERIFY(driver.type(QStringLiteral("input[name=username]"), QStringLiteral("alice")));
    QVERIFY(driver.type(QStringLiteral("input[name=password]"), QStringLiteral("wrong")));
    QVERIFY(driver.click(QStringLiteral("#loginContainer .login")));
    QVERIFY(driver.waitFor(feedbackRed));

    // The red goes as soon as the button is clicked; the new values are sent.
    QVERIFY(driver.type(QStringLiteral("input[name=password]"), QStringLiteral("secret")));
    QCOMPARE(driver.evaluate(QStringLiteral("document.querySelector('#loginContainer .login').click(); ") + feedbackRed)
                 .toBool(),
             false);
    QVERIFY(driver.waitFor(domainsShown));
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 2);
}

void TestLoginFlow::goodLoginMovesToDomains()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(loginShown));
    QVERIFY(driver.type(QStringLiteral("input[name=username]"), QStringLiteral("alice")));
    QVERIFY(driver.type(QStringLiteral("input[name=password]"), QStringLiteral("secret")));
    QVERIFY(driver.click(QStringLiteral("#loginContainer .login")));
    // The overlay covers the form while the login is in flight.
    QVERIFY(driver.waitFor(domainsShown));
    QCOMPARE(driver.count(QStringLiteral(".domain-container")), 3);
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QStringLiteral("alice"));
    QVERIFY(!driver.hasClass(QStringLiteral(".sidebar"), QStringLiteral("hn")));
    QVERIFY(driver.evaluate(displayOf(QStringLiteral(".logout"))).toString() != QStringLiteral("none"));
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 1);
    QVERIFY(session.requestCount(TestPortal::Route::Domains) >= 1);
}

void TestLoginFlow::enterSubmits()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(loginShown));
    QVERIFY(driver.type(QStringLiteral("input[name=username]"), QStringLiteral("alice")));
    QVERIFY(driver.type(QStringLiteral("input[name=password]"), QStringLiteral("secret")));
    // A real key press in the focused password field.
    QVERIFY(driver.evaluate(QStringLiteral("document.querySelector('input[name=password]').focus(); true")).toBool());
    driver.window()->activateWindow();
    QTest::keyClick(driver.window()->focusProxy(), Qt::Key_Return);
    QVERIFY(driver.waitFor(domainsShown));
}

void TestLoginFlow::storedCredentialsLogInAtStart()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitForStart());
    // No typing and no click: the login from the settings carries the page to the domains screen.
    QVERIFY(driver.waitFor(domainsShown));
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QStringLiteral("alice"));
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 1);
}

void TestLoginFlow::logoutReturnsToLogin()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(domainsShown));

    QVERIFY(driver.click(QStringLiteral(".navbar .logout")));
    QVERIFY(driver.waitFor(loginShown));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.sidebar').classList.contains('hn')")));
    QVERIFY(driver
                .evaluate(QStringLiteral("window.authAnswer = undefined;"
                                         " ORV.auth.isAuthenticated(function(v) { window.authAnswer = v; }); true"))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("window.authAnswer === false")));
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QString());

    // The next start asks again: logout forgot the stored credentials.
    WindowDriver again;
    QVERIFY(again.open());
    QVERIFY(again.waitFor(loginShown));
    QVERIFY(again.waitForStart());
    QVERIFY(again
                .evaluate(QStringLiteral("window.authAnswer = undefined;"
                                         " ORV.auth.isTryLogin(function(v) { window.authAnswer = v; }); true"))
                .toBool());
    QVERIFY(again.waitFor(QStringLiteral("window.authAnswer === false")));
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 1);
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestLoginFlow test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestLoginFlow.moc"

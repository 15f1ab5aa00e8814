#include <QApplication>
#include <QtTest>

#include "portal/HttpRequest.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "window/MainWindow.h"

namespace
{
const QString feedbackRed = QStringLiteral("document.querySelector('.form-row-feedback').classList.contains('bg-red')");

QString displayOf(const QString &selector)
{
    return QStringLiteral("getComputedStyle(document.querySelector(%1)).display").arg(WindowDriver::quote(selector));
}

// How the portal fails a login.
enum class Failure
{
    WrongPassword,
    RefusedStatus,
    NothingListening,
    UntrustedCertificate,
    NoAnswerInTime,
    PortalError,
};

// What a user sees when the first list of domains could not be loaded, and how the screen got there.
const QString loadFailedShown =
    QStringLiteral("!!document.querySelector('#loginContainer .load-error:not(.hidden)')"
                   " && document.querySelector('#loginContainer .login-form').classList.contains('hidden')"
                   " && document.querySelector('#loginContainer .form-overlay').classList.contains('hidden')");
const QString formReady =
    QStringLiteral("!!document.querySelector('#loginContainer .login-form:not(.hidden)')"
                   " && document.querySelector('#loginContainer .load-error').classList.contains('hidden')"
                   " && document.querySelector('#loginContainer .form-overlay').classList.contains('hidden')");
} // namespace

Q_DECLARE_METATYPE(Failure)

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
    void loginFailureMessage_data();
    void loginFailureMessage();
    void failedFirstDomainLoad_data();
    void failedFirstDomainLoad();
    void logoutWhileStoredLoginPending();
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
    QVERIFY(driver.waitForLoginScreen());
    QVERIFY(driver.waitFor(QStringLiteral("document.activeElement && document.activeElement.name === 'username'")));
    QVERIFY(driver.hasClass(QStringLiteral(".sidebar"), QStringLiteral("hn")));
    QCOMPARE(driver.evaluate(displayOf(QStringLiteral(".logout"))).toString(), QStringLiteral("none"));
    QVERIFY(!driver.evaluate(feedbackRed).toBool());
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QString());
    // Nothing was stored, so nothing was sent.
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 0);
    QVERIFY(driver.saveScreenshot(QStringLiteral("login.png")));
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
    QVERIFY(driver.openOnLoginScreen());

    QVERIFY(driver.logInThroughForm(username, password));
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
    QVERIFY(driver.openOnLoginScreen());
    QVERIFY(driver.logInThroughForm(QStringLiteral("alice"), QStringLiteral("wrong")));
    QVERIFY(driver.waitFor(feedbackRed));

    // The red goes as soon as the button is clicked; the new values are sent.
    QVERIFY(driver.type(QStringLiteral("input[name=password]"), QStringLiteral("secret")));
    QCOMPARE(driver.evaluate(QStringLiteral("document.querySelector('#loginContainer .login').click(); ") + feedbackRed)
                 .toBool(),
             false);
    QVERIFY(driver.waitForDomainsScreen());
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 2);
}

void TestLoginFlow::goodLoginMovesToDomains()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnLoginScreen());
    QVERIFY(driver.logInThroughForm(QStringLiteral("alice"), QStringLiteral("secret")));
    // The overlay covers the form while the login is in flight.
    QVERIFY(driver.waitForDomainsScreen());
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
    QVERIFY(driver.openOnLoginScreen());
    QVERIFY(driver.type(QStringLiteral("input[name=username]"), QStringLiteral("alice")));
    QVERIFY(driver.type(QStringLiteral("input[name=password]"), QStringLiteral("secret")));
    // A real key press in the focused password field.
    QVERIFY(driver.evaluate(QStringLiteral("document.querySelector('input[name=password]').focus(); true")).toBool());
    driver.window()->activateWindow();
    QTest::keyClick(driver.window()->focusProxy(), Qt::Key_Return);
    QVERIFY(driver.waitForDomainsScreen());
}

void TestLoginFlow::storedCredentialsLogInAtStart()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitForStart());
    // No typing and no click: the login from the settings carries the page to the domains screen.
    QVERIFY(driver.waitForDomainsScreen());
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QStringLiteral("alice"));
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 1);
}

void TestLoginFlow::logoutReturnsToLogin()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());

    QVERIFY(driver.click(QStringLiteral(".navbar .logout")));
    QVERIFY(driver.waitForLoginScreen());
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.sidebar').classList.contains('hn')")));
    QVERIFY(driver
                .evaluate(QStringLiteral("window.authAnswer = undefined;"
                                         " ORV.auth.isAuthenticated(function(v) { window.authAnswer = v; }); true"))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("window.authAnswer === false")));
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QString());
    // The page keeps neither the list nor its rows, which a big account would hold in memory until the next login.
    QCOMPARE(driver
                 .evaluate(QStringLiteral("[domains.list.length, domains.rowIndex.size, domains.connectableRows.size,"
                                          " domains.indexedContainer === null].join(',')"))
                 .toString(),
             QStringLiteral("0,0,0,true"));

    // The next start asks again: logout forgot the stored credentials.
    WindowDriver again;
    QVERIFY(again.openOnLoginScreen());
    QVERIFY(again.waitForStart());
    QVERIFY(again
                .evaluate(QStringLiteral("window.authAnswer = undefined;"
                                         " ORV.auth.isTryLogin(function(v) { window.authAnswer = v; }); true"))
                .toBool());
    QVERIFY(again.waitFor(QStringLiteral("window.authAnswer === false")));
    QCOMPARE(session.requestCount(TestPortal::Route::Login), 1);
}

void TestLoginFlow::loginFailureMessage_data()
{
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("screenshot");

    const QString invalid = QStringLiteral("Username and password are invalid");
    const QString unreachable = QStringLiteral("The portal cannot be reached");
    QTest::newRow("wrong password") << Failure::WrongPassword << false << "en" << invalid << "";
    QTest::newRow("login refused with 403") << Failure::RefusedStatus << false << "en" << invalid << "";
    QTest::newRow("nothing listens on the portal's port")
        << Failure::NothingListening << false << "en" << unreachable << "login-unreachable.png";
    QTest::newRow("certificate not trusted") << Failure::UntrustedCertificate << false << "en" << unreachable << "";
    QTest::newRow("no answer in time") << Failure::NoAnswerInTime << false << "en" << unreachable << "";
    QTest::newRow("portal failing on its side") << Failure::PortalError << false << "en" << unreachable << "";
    QTest::newRow("stored credentials, portal down") << Failure::NothingListening << true << "en" << unreachable << "";
    QTest::newRow("italian, portal down")
        << Failure::NothingListening << false << "it" << QStringLiteral("Il portale non è raggiungibile") << "";
    QTest::newRow("italian, wrong password")
        << Failure::WrongPassword << false << "it" << QStringLiteral("Username e password sono sbagliate") << "";
}

void TestLoginFlow::loginFailureMessage()
{
    QFETCH(Failure, failure);
    QFETCH(bool, stored);
    QFETCH(QString, language);
    QFETCH(QString, message);
    QFETCH(QString, screenshot);
    TestEnvironment environment;
    StoredSettings::setValue(QStringLiteral("orv/language"), language);
    PortalSession session;
    if (failure == Failure::UntrustedCertificate) {
        // A certificate no authority we trust has signed: the TLS handshake fails.
        QVERIFY(session.portal().setCertificate(TestPortal::deviceCertificatePath(), TestPortal::deviceKeyPath()));
    }
    QVERIFY(session.start(PortalSession::sampleData()));
    TestPortal::Behaviour behaviour;
    if (failure == Failure::RefusedStatus) {
        behaviour.status = 403;
    } else if (failure == Failure::PortalError) {
        behaviour.status = 503;
    } else if (failure == Failure::NoAnswerInTime) {
        behaviour.neverAnswer = true;
        HttpRequest::setTimeoutMsForTests(1500);
    }
    const auto restoreTimeout = qScopeGuard([] { HttpRequest::setTimeoutMsForTests(0); });
    session.portal().setBehaviour(TestPortal::Route::Login, behaviour);
    if (failure == Failure::NothingListening) {
        // The address stays in the settings; the port is closed.
        session.portal().stop();
    }
    if (stored) {
        PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    }

    WindowDriver driver;
    QVERIFY(driver.openOnLoginScreen());
    if (!stored) {
        QVERIFY(driver.logInThroughForm(QStringLiteral("alice"),
                                        failure == Failure::WrongPassword ? QStringLiteral("wrong")
                                                                          : QStringLiteral("secret")));
    }
    QVERIFY(driver.waitFor(feedbackRed, 30000));
    QCOMPARE(driver.text(QStringLiteral(".form-row-feedback")), message);
    QVERIFY(driver.hasClass(QStringLiteral("#loginContainer .form-overlay"), QStringLiteral("hidden")));
    QCOMPARE(driver.evaluate(QStringLiteral("location.pathname")).toString(), QStringLiteral("/login"));
    if (!screenshot.isEmpty()) {
        QVERIFY(driver.saveScreenshot(screenshot));
    }
}

void TestLoginFlow::failedFirstDomainLoad_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<bool>("retry");

    QTest::newRow("entered logged in, then a retry") << true << true;
    QTest::newRow("entered logged in, then a logout") << true << false;
    QTest::newRow("login from the form, then a retry") << false << true;
    QTest::newRow("login from the form, then a logout") << false << false;
}

void TestLoginFlow::failedFirstDomainLoad()
{
    QFETCH(bool, stored);
    QFETCH(bool, retry);
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    TestPortal::Behaviour failing;
    failing.status = 500;
    session.portal().setBehaviour(TestPortal::Route::Domains, failing);
    if (stored) {
        PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    }
    WindowDriver driver;
    QVERIFY(driver.openOnLoginScreen());
    if (!stored) {
        QVERIFY(driver.logInThroughForm(QStringLiteral("alice"), QStringLiteral("secret")));
    }

    // No spinner left turning: the user reads why, and may retry or log out.
    QVERIFY(driver.waitFor(loadFailedShown, 30000));
    QCOMPARE(driver.text(QStringLiteral("#loginContainer .load-error-message")),
             QStringLiteral("The list of domains could not be loaded"));
    QVERIFY(driver.isShown(QStringLiteral("#loginContainer .load-retry")));
    QVERIFY(driver.isShown(QStringLiteral("#loginContainer .load-logout")));
    QCOMPARE(driver.text(QStringLiteral("#loginContainer .load-retry")), QStringLiteral("Retry"));
    QCOMPARE(driver.text(QStringLiteral("#loginContainer .load-logout")), QStringLiteral("Logout"));
    QVERIFY(driver.isShown(QStringLiteral(".navbar .logout")));

    if (retry) {
        // A retry that fails again comes back to the same screen.
        const int loads = session.requestCount(TestPortal::Route::Domains);
        QVERIFY(driver.click(QStringLiteral("#loginContainer .load-retry")));
        QVERIFY(!driver.hasClass(QStringLiteral("#loginContainer .form-overlay"), QStringLiteral("hidden")));
        QVERIFY(driver.waitFor(loadFailedShown));
        QTRY_COMPARE(session.requestCount(TestPortal::Route::Domains), loads + 1);
        session.portal().resetBehaviours();
        QVERIFY(driver.click(QStringLiteral("#loginContainer .load-retry")));
        QVERIFY(driver.waitForDomainsScreen());
        QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QStringLiteral("alice"));
        return;
    }

    QVERIFY(driver.click(QStringLiteral("#loginContainer .load-logout")));
    QVERIFY(driver.waitFor(formReady));
    QVERIFY(driver.waitFor(QStringLiteral("getComputedStyle(document.querySelector('.navbar .logout')).display"
                                          " === 'none'")));
    QCOMPARE(driver.evaluate(QStringLiteral("document.querySelector('input[name=password]').value")).toString(),
             QString());
    QVERIFY(driver
                .evaluate(QStringLiteral("window.authAnswer = undefined;"
                                         " ORV.auth.isAuthenticated(function(v) { window.authAnswer = v; }); true"))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("window.authAnswer === false")));
    // The form works again: a new login reaches the list once the portal serves it.
    session.portal().resetBehaviours();
    QVERIFY(driver.logInThroughForm(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(driver.waitForDomainsScreen());
}

// The portal never answers the login from the stored credentials: the user gives up with the logout icon.
void TestLoginFlow::logoutWhileStoredLoginPending()
{
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    TestPortal::Behaviour silent;
    silent.neverAnswer = true;
    session.portal().setBehaviour(TestPortal::Route::Login, silent);
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    WindowDriver driver;
    QVERIFY(driver.openOnLoginScreen());
    QVERIFY(driver.waitFor(
        QStringLiteral("!document.querySelector('#loginContainer .form-overlay').classList.contains('hidden')")));
    QVERIFY(driver.waitFor(QStringLiteral("getComputedStyle(document.querySelector('.navbar .logout')).display"
                                          " !== 'none'")));

    QVERIFY(driver.click(QStringLiteral(".navbar .logout")));
    QVERIFY(driver.waitFor(formReady));
    QVERIFY(!driver.isShown(QStringLiteral(".navbar .logout")));
    session.portal().resetBehaviours();
    QVERIFY(driver.logInThroughForm(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(driver.waitForDomainsScreen());
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestLoginFlow test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestLoginFlow.moc"

#include <QTimer>
#include <QtTest>

#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "portal/Api.h"
#include "portal/Auth.h"
#include "tests/support/FileRewriteCounter.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"

class TestAuth : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void loginSuccess();
    void loginFailure_data();
    void loginFailure();
    void renewal_data();
    void renewal();
    void logoutKeepsLastUser();
    void changeOfUser_data();
    void changeOfUser();
    void automaticLogin_data();
    void automaticLogin();
    void staleAnswers_data();
    void staleAnswers();

private:
    // Each test function's own settings, and the portal they point at: users alice and bob, no domains.
    QScopedPointer<TestEnvironment> m_environment;
    QScopedPointer<PortalSession> m_session;
};

namespace
{
QJsonObject user(const QString &name, const QString &password)
{
    return QJsonObject{{QStringLiteral("username"), name}, {QStringLiteral("password"), password}};
}

QJsonObject portalData()
{
    return QJsonObject{{QStringLiteral("users"),
                        QJsonArray{user(QStringLiteral("alice"), QStringLiteral("s3cret")),
                                   user(QStringLiteral("bob"), QStringLiteral("hunter2"))}},
                       {QStringLiteral("domains"), QJsonArray()}};
}

QTimer *checkTimer(Auth &auth)
{
    return auth.findChild<QTimer *>();
}

// The portal has had requestCount requests, every answer it sent has been read by the client (it closes after reading),
// and one more round trip through the event loop has ended: an answer still on its way would have been handled by now.
bool settle(TestPortal &portal, int requestCount)
{
    const bool allClosed = QTest::qWaitFor(
        [&portal, requestCount] {
            if (portal.requests().size() < requestCount) {
                return false;
            }
            for (const TestPortal::Request &request : portal.requests()) {
                if (!request.closed) {
                    return false;
                }
            }
            return true;
        },
        10000);
    Api probe;
    QSignalSpy answered(&probe, &Api::onGetDomainsError);
    probe.getDomains(QStringLiteral("no-such-key"));
    return allClosed && answered.wait(10000);
}

struct AuthSpies
{
    explicit AuthSpies(Auth &auth)
        : loginSuccess(&auth, &Auth::onLoginSuccess)
        , loginError(&auth, &Auth::onLoginError)
        , logout(&auth, &Auth::onLogout)
        , apiKeySuccess(&auth, &Auth::onGetApiKeySuccess)
        , usernameChanged(&auth, &Auth::usernameChanged)
    {}

    QSignalSpy loginSuccess;
    QSignalSpy loginError;
    QSignalSpy logout;
    QSignalSpy apiKeySuccess;
    QSignalSpy usernameChanged;
};

// A text value's record in the serialised settings map: the key, the variant type QString (10) and its null flag,
// then the text's length in bytes and its UTF-16 code units, big-endian. A null text has the length 0xFFFFFFFF.
QByteArray textRecord(const QString &key, const QByteArray &lengthAndText)
{
    QByteArray record;
    QDataStream stream(&record, QIODevice::WriteOnly);
    stream << key;
    return record + QByteArray("\0\0\0\x0a\0", 5) + lengthAndText;
}

bool logIn(Auth &auth, const QString &name, const QString &password)
{
    QSignalSpy done(&auth, &Auth::onGetApiKeySuccess);
    auth.login(name, password);
    return done.wait(10000);
}
} // namespace

void TestAuth::initTestCase()
{
    installConnectionWarningCheck();
    QVERIFY(TestPortal::trustTestCertificateAuthority());
}

void TestAuth::init()
{
    m_environment.reset(new TestEnvironment);
    m_session.reset(new PortalSession);
    QVERIFY(m_session->start(portalData()));
}

void TestAuth::cleanup()
{
    m_session.reset();
    m_environment.reset();
}

void TestAuth::loginSuccess()
{
    TestPortal &portal = m_session->portal();
    Auth auth;
    AuthSpies spies(auth);
    QStringList order;
    connect(&auth, &Auth::onLoginSuccess, this, [&] { order << QStringLiteral("login"); });
    connect(&auth, &Auth::onGetApiKeySuccess, this, [&] { order << QStringLiteral("key"); });

    auth.login(QStringLiteral("alice"), QStringLiteral("s3cret"));
    QCOMPARE(spies.usernameChanged.count(), 1);
    QCOMPARE(auth.property("username").toString(), QStringLiteral("alice"));
    QVERIFY(auth.isTryLogin());
    QVERIFY(!auth.isAuthenticated());
    QVERIFY(spies.apiKeySuccess.wait(10000));

    QCOMPARE(order, (QStringList{QStringLiteral("login"), QStringLiteral("key")}));
    QVERIFY(auth.isAuthenticated());
    QVERIFY(!auth.isTryLogin());
    QCOMPARE(auth.apiKey, portal.lastIssuedKey());
    QCOMPARE(portal.keyOwner(auth.apiKey), QStringLiteral("alice"));
    QCOMPARE(spies.loginError.count(), 0);
    QVERIFY(checkTimer(auth)->isActive());
    QCOMPARE(checkTimer(auth)->interval(), 30000);
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/username")).toString(), QStringLiteral("alice"));
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/password")).toString(), QStringLiteral("s3cret"));
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/last_username")).toString(), QStringLiteral("alice"));
}

void TestAuth::loginFailure_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<qint64>("lifetime");

    const QByteArray farFuture = "{\"authentication\":{\"api_key\":\"k\",\"expire\":2000000000,\"type\":1}}";
    QTest::newRow("wrong credentials") << 0 << QByteArray() << true << qint64(3600);
    QTest::newRow("key already expired") << 0 << QByteArray() << false << qint64(-5);
    QTest::newRow("key expiring this second") << 0 << QByteArray() << false << qint64(0);
    QTest::newRow("malformed body") << 200 << QByteArray("{\"authentication\": {") << false << qint64(3600);
    QTest::newRow("array body") << 200 << QByteArray("[1, 2]") << false << qint64(3600);
    QTest::newRow("object without authentication") << 200 << QByteArray("{\"api_key\":\"k\"}") << false << qint64(3600);
    QTest::newRow("authentication not an object")
        << 200 << QByteArray("{\"authentication\":5}") << false << qint64(3600);
    QTest::newRow("no expire") << 200 << QByteArray("{\"authentication\":{\"api_key\":\"k\",\"type\":1}}") << false
                               << qint64(3600);
    QTest::newRow("empty key") << 200 << QByteArray("{\"authentication\":{\"api_key\":\"\",\"expire\":2000000000}}")
                               << false << qint64(3600);
    QTest::newRow("2xx other than 200") << 201 << farFuture << false << qint64(3600);
    QTest::newRow("server error") << 500 << farFuture << false << qint64(3600);
}

void TestAuth::loginFailure()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, refuse);
    QFETCH(qint64, lifetime);

    TestPortal &portal = m_session->portal();
    portal.setRefuseCredentials(refuse);
    portal.setKeyLifetimeSeconds(lifetime);
    TestPortal::Behaviour behaviour;
    behaviour.status = status;
    behaviour.body = body;
    portal.setBehaviour(TestPortal::Route::Login, behaviour);

    Auth auth;
    AuthSpies spies(auth);
    auth.login(QStringLiteral("alice"), QStringLiteral("s3cret"));
    QVERIFY(spies.loginError.wait(10000));
    QCOMPARE(spies.loginError.count(), 1);
    QCOMPARE(spies.loginSuccess.count(), 0);
    QCOMPARE(spies.apiKeySuccess.count(), 0);
    QVERIFY(!auth.isAuthenticated());
    QVERIFY(!auth.isTryLogin());
    QCOMPARE(auth.apiKey, QString());
    QVERIFY(!checkTimer(auth)->isActive());
    // The page still shows who tried; nothing was stored.
    QCOMPARE(auth.property("username").toString(), QStringLiteral("alice"));
    QVERIFY(!StoredSettings::value(QStringLiteral("auth/username")).isValid());
    QVERIFY(!StoredSettings::value(QStringLiteral("auth/password")).isValid());
}

void TestAuth::renewal_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("renewed");
    QTest::newRow("renewed") << 0 << QByteArray() << true;
    QTest::newRow("401 leaves it unauthenticated") << 401 << QByteArray("{}") << false;
    QTest::newRow("malformed renewal") << 200 << QByteArray("{\"authentication\"") << false;
    QTest::newRow("expired renewal") << 200 << QByteArray("{\"authentication\":{\"api_key\":\"n\",\"expire\":1}}")
                                     << false;
}

void TestAuth::renewal()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, renewed);

    TestPortal &portal = m_session->portal();
    portal.setKeyLifetimeSeconds(25);
    Auth auth;
    QVERIFY(logIn(auth, QStringLiteral("alice"), QStringLiteral("s3cret")));
    const QString firstKey = auth.apiKey;
    QVERIFY(auth.isAuthenticated());
    QVERIFY(checkTimer(auth)->isActive());

    TestPortal::Behaviour behaviour;
    behaviour.status = status;
    behaviour.body = body;
    portal.setBehaviour(TestPortal::Route::Renew, behaviour);
    portal.setKeyLifetimeSeconds(3600);
    AuthSpies spies(auth);
    QSignalSpy answered(&portal, &TestPortal::requestAnswered);

    // A key with 25 seconds left is due at the first check.
    QVERIFY(QMetaObject::invokeMethod(&auth, "checkApiKey"));
    QVERIFY(!checkTimer(auth)->isActive());
    QVERIFY(answered.wait(10000));
    QCOMPARE(portal.requests().last().route, TestPortal::Route::Renew);
    QCOMPARE(portal.requests().last().header("x-access-token"), firstKey.toLatin1());

    if (renewed) {
        QTRY_VERIFY_WITH_TIMEOUT(checkTimer(auth)->isActive(), 10000);
        QVERIFY(auth.isAuthenticated());
        QVERIFY(auth.apiKey != firstKey);
        QCOMPARE(auth.apiKey, portal.lastIssuedKey());
        QCOMPARE(portal.keyOwner(auth.apiKey), QStringLiteral("alice"));
        // The fresh key has an hour left: the next check asks for nothing.
        QVERIFY(QMetaObject::invokeMethod(&auth, "checkApiKey"));
        QVERIFY(checkTimer(auth)->isActive());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!auth.isAuthenticated(), 10000);
        QCOMPARE(auth.apiKey, QString());
        QVERIFY(!checkTimer(auth)->isActive());
        QCOMPARE(auth.property("username").toString(), QStringLiteral("alice"));
    }
    // A renewal is silent either way.
    QCOMPARE(spies.loginSuccess.count() + spies.loginError.count() + spies.apiKeySuccess.count() + spies.logout.count()
                 + spies.usernameChanged.count(),
             0);
    QCOMPARE(m_session->requestCount(TestPortal::Route::Renew), 1);
}

void TestAuth::logoutKeepsLastUser()
{
    Auth auth;
    QVERIFY(logIn(auth, QStringLiteral("alice"), QStringLiteral("s3cret")));
    AuthSpies spies(auth);
    QStringList order;
    connect(&auth, &Auth::usernameChanged, this, [&] { order << QStringLiteral("username"); });
    connect(&auth, &Auth::onLogout, this, [&] { order << QStringLiteral("logout"); });

    FileRewriteCounter rewrites(m_environment->settingsFilePath());
    QVERIFY(rewrites.isValid());
    auth.logout();
    QCOMPARE(rewrites.count(), 1);
    QCOMPARE(order, (QStringList{QStringLiteral("username"), QStringLiteral("logout")}));
    QVERIFY(!auth.isAuthenticated());
    QVERIFY(!auth.isTryLogin());
    QCOMPARE(auth.apiKey, QString());
    QCOMPARE(auth.property("username").toString(), QString());
    QVERIFY(!checkTimer(auth)->isActive());
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/username")).toString(), QString());
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/password")).toString(), QString());
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/last_username")).toString(), QStringLiteral("alice"));
    // Stored as empty texts, as every build of the program writes them, not as null ones.
    const QByteArray clearText = StoredSettings::clearText(m_environment->settingsFilePath());
    const QByteArray emptyText("\0\0\0\0", 4);
    const QByteArray nullText("\xff\xff\xff\xff", 4);
    for (const QString &key : {QStringLiteral("auth/username"), QStringLiteral("auth/password")}) {
        QVERIFY2(clearText.contains(textRecord(key, emptyText)), qPrintable(key));
        QVERIFY2(!clearText.contains(textRecord(key, nullText)), qPrintable(key));
    }
    QVERIFY(clearText.contains(
        textRecord(QStringLiteral("auth/last_username"), QByteArray("\0\0\0\x0a\0a\0l\0i\0c\0e", 14))));

    // No automatic login at the next start.
    Auth next;
    QVERIFY(!next.isTryLogin());
}

void TestAuth::changeOfUser_data()
{
    QTest::addColumn<QString>("lastUser");
    QTest::addColumn<QString>("loginAs");
    QTest::addColumn<bool>("cleared");
    QTest::newRow("another user clears") << QStringLiteral("alice") << QStringLiteral("bob") << true;
    QTest::newRow("same user keeps") << QStringLiteral("alice") << QStringLiteral("alice") << false;
    QTest::newRow("first login clears") << QString() << QStringLiteral("alice") << true;
}

void TestAuth::changeOfUser()
{
    QFETCH(QString, lastUser);
    QFETCH(QString, loginAs);
    QFETCH(bool, cleared);

    const QVariantList domains{
        QVariantMap{{QStringLiteral("id"), 12}, {QStringLiteral("name"), QStringLiteral("Plant")}}};
    const QVariantList ports{QVariantMap{{QStringLiteral("device_id"), 101}}};
    StoredSettings::setValue(QStringLiteral("domains"), domains);
    StoredSettings::setValue(QStringLiteral("last_domain_id_opened"), 12);
    StoredSettings::setValue(QStringLiteral("virtual_serial_ports"), ports);
    if (!lastUser.isEmpty()) {
        StoredSettings::setValue(QStringLiteral("auth/last_username"), lastUser);
    }

    Auth auth;
    // What a receiver of onLoginSuccess reads from the settings.
    int seenDomains = -1;
    int seenLastDomain = 0;
    int seenPorts = -1;
    connect(&auth, &Auth::onLoginSuccess, this, [&] {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        seenDomains = settings.value(QStringLiteral("domains")).toList().size();
        seenLastDomain = settings.getLastDomainIdOpened();
        seenPorts = settings.value(QStringLiteral("virtual_serial_ports")).toList().size();
    });
    const QString password = loginAs == QLatin1String("bob") ? QStringLiteral("hunter2") : QStringLiteral("s3cret");
    FileRewriteCounter rewrites(m_environment->settingsFilePath());
    QVERIFY(rewrites.isValid());
    QVERIFY(logIn(auth, loginAs, password));
    // The clearing and the credentials reach the file together, though the receiver above opened the settings.
    QCOMPARE(rewrites.count(), 1);

    QCOMPARE(seenDomains, cleared ? 0 : 1);
    QCOMPARE(seenLastDomain, cleared ? -1 : 12);
    QCOMPARE(seenPorts, cleared ? 0 : 1);
    // The keys stay in the file, emptied.
    QVERIFY(StoredSettings::value(QStringLiteral("domains")).isValid());
    QCOMPARE(StoredSettings::value(QStringLiteral("domains")).toList().size(), cleared ? 0 : 1);
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/last_username")).toString(), loginAs);
}

void TestAuth::automaticLogin_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("starts");
    QTest::newRow("stored credentials log in") << QStringLiteral("s3cret") << true;
    QTest::newRow("user name alone does not") << QString() << false;
}

void TestAuth::automaticLogin()
{
    QFETCH(QString, password);
    QFETCH(bool, starts);

    TestPortal &portal = m_session->portal();
    StoredSettings::setValue(QStringLiteral("auth/username"), QStringLiteral("alice"));
    StoredSettings::setValue(QStringLiteral("auth/password"), password);
    StoredSettings::setValue(QStringLiteral("auth/last_username"), QStringLiteral("alice"));

    Auth auth;
    AuthSpies spies(auth);
    QCOMPARE(auth.isTryLogin(), starts);
    QCOMPARE(auth.property("username").toString(), QStringLiteral("alice"));
    if (starts) {
        QVERIFY(spies.apiKeySuccess.wait(10000));
        QCOMPARE(spies.loginSuccess.count(), 1);
        QVERIFY(auth.isAuthenticated());
        QCOMPARE(portal.requests().first().header("authorization"),
                 QByteArray("Basic ") + QByteArray("alice:s3cret").toBase64());
    } else {
        QVERIFY(settle(portal, 0));
        QVERIFY(portal.requests().first().route != TestPortal::Route::Login);
        QCOMPARE(spies.loginSuccess.count() + spies.loginError.count(), 0);
        QVERIFY(!auth.isAuthenticated());
    }
}

void TestAuth::staleAnswers_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("login answered after logout") << QStringLiteral("login-logout");
    QTest::newRow("older login answered after a newer one") << QStringLiteral("login-login");
    QTest::newRow("renewal answered after logout") << QStringLiteral("renew-logout");
    QTest::newRow("renewal answered after a new login") << QStringLiteral("renew-login");
    QTest::newRow("no renewal while a login is in flight") << QStringLiteral("check-during-login");
}

void TestAuth::staleAnswers()
{
    QFETCH(QString, scenario);

    TestPortal &portal = m_session->portal();
    TestPortal::Behaviour late;
    late.delayMs = 400;
    Auth auth;

    if (scenario.startsWith(QLatin1String("renew")) || scenario == QLatin1String("check-during-login")) {
        portal.setKeyLifetimeSeconds(25);
        QVERIFY(logIn(auth, QStringLiteral("alice"), QStringLiteral("s3cret")));
        portal.setKeyLifetimeSeconds(3600);
        portal.clearRequests();
    }
    AuthSpies spies(auth);

    QString expectedUser;
    int requestCount = 1;
    if (scenario == QLatin1String("login-logout")) {
        portal.setBehaviour(TestPortal::Route::Login, late);
        auth.login(QStringLiteral("alice"), QStringLiteral("s3cret"));
        auth.logout();
    } else if (scenario == QLatin1String("login-login")) {
        portal.setBehaviour(TestPortal::Route::Login, late);
        auth.login(QStringLiteral("alice"), QStringLiteral("s3cret"));
        auth.login(QStringLiteral("bob"), QStringLiteral("hunter2"));
        expectedUser = QStringLiteral("bob");
        requestCount = 2;
    } else if (scenario == QLatin1String("renew-logout")) {
        portal.setBehaviour(TestPortal::Route::Renew, late);
        QVERIFY(QMetaObject::invokeMethod(&auth, "checkApiKey"));
        auth.logout();
    } else if (scenario == QLatin1String("renew-login")) {
        portal.setBehaviour(TestPortal::Route::Renew, late);
        QVERIFY(QMetaObject::invokeMethod(&auth, "checkApiKey"));
        auth.login(QStringLiteral("bob"), QStringLiteral("hunter2"));
        expectedUser = QStringLiteral("bob");
        requestCount = 2;
    } else {
        portal.setBehaviour(TestPortal::Route::Login, late);
        auth.login(QStringLiteral("bob"), QStringLiteral("hunter2"));
        QVERIFY(QMetaObject::invokeMethod(&auth, "checkApiKey"));
        expectedUser = QStringLiteral("bob");
    }
    QVERIFY(settle(portal, requestCount));

    QCOMPARE(spies.loginError.count(), 0);
    QCOMPARE(portal.keyOwner(auth.apiKey), expectedUser);
    QCOMPARE(auth.isAuthenticated(), !expectedUser.isEmpty());
    QCOMPARE(auth.property("username").toString(), expectedUser);
    QCOMPARE(StoredSettings::value(QStringLiteral("auth/username")).toString(), expectedUser);
    QCOMPARE(spies.loginSuccess.count(), expectedUser.isEmpty() ? 0 : 1);
    QCOMPARE(spies.apiKeySuccess.count(), expectedUser.isEmpty() ? 0 : 1);
    if (scenario == QLatin1String("check-during-login")) {
        QCOMPARE(m_session->requestCount(TestPortal::Route::Renew), 0);
    }
}

QTEST_GUILESS_MAIN(TestAuth)
#include "TestAuth.moc"

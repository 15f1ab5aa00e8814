#include <QPointer>
#include <QTcpServer>
#include <QtTest>

#include "core/Log.h"
#include "portal/HttpRequest.h"
#include "tests/support/LogCapture.h"
#include "tools/testportal/TestPortal.h"

// Drives one request to its end: waits for the object to be gone and checks that exactly one signal came.
struct Outcome
{
    bool succeeded = false;
    int status = 0;
    QString text;
    int signalCount = 0;
};

class TestHttpRequest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void answers_data();
    void answers();
    void timeoutAnswersOnceAndReleasesEverything();
    void refusedConnection();
    void certificatePolicy_data();
    void certificatePolicy();
    void replySizeCap_data();
    void replySizeCap();

private:
    Outcome run(HttpRequest *request, const QString &url);
};

void TestHttpRequest::initTestCase()
{
    installConnectionWarningCheck();
    QVERIFY(TestPortal::trustTestCertificateAuthority());
}

void TestHttpRequest::cleanup()
{
    HttpRequest::setTimeoutMsForTests(0);
    HttpRequest::setMaxReplyBytesForTests(0);
    debugLevel = 4;
}

Outcome TestHttpRequest::run(HttpRequest *request, const QString &url)
{
    Outcome outcome;
    QPointer<HttpRequest> alive(request);
    QSignalSpy destroyed(request, &QObject::destroyed);
    QSignalSpy success(request, &HttpRequest::success);
    QSignalSpy error(request, &HttpRequest::error);
    request->get(url);
    if (!destroyed.wait(10000)) {
        return outcome;
    }
    // Once the object is gone nothing more can come from it, so the counts are final.
    outcome.signalCount = success.count() + error.count();
    const QList<QVariant> arguments = success.isEmpty() ? error.value(0) : success.value(0);
    outcome.succeeded = !success.isEmpty();
    outcome.status = arguments.value(0).toInt();
    outcome.text = arguments.value(1).toString();
    return outcome;
}

void TestHttpRequest::answers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("outcomeLine");
    QTest::addColumn<int>("outcomeType");

    const QString success = QStringLiteral("HttpRequest::parseNetworkResponse(): \"success %1\"");
    const QString fail = QStringLiteral("HttpRequest::parseNetworkResponse(): \"fail %1\"");
    const QString networkError = QStringLiteral("HttpRequest::parseNetworkResponse(): \"QNetworkReply error: ");
    QTest::newRow("200 with body") << 200 << QByteArray("{\"a\":1}") << true << QStringLiteral("{\"a\":1}")
                                   << success.arg(200) << int(QtInfoMsg);
    QTest::newRow("204 is a success with empty text")
        << 204 << QByteArray() << true << QString() << success.arg(204) << int(QtInfoMsg);
    QTest::newRow("302 is not followed: error with the body")
        << 302 << QByteArray("moved away") << false << QStringLiteral("moved away") << fail.arg(302)
        << int(QtWarningMsg);
    QTest::newRow("401 drops the body") << 401 << QByteArray("{\"error\":\"no\"}") << false << QString() << networkError
                                        << int(QtDebugMsg);
    QTest::newRow("500 drops the body") << 500 << QByteArray("oops") << false << QString() << networkError
                                        << int(QtDebugMsg);
    QTest::newRow("UTF-8 body") << 200 << QStringLiteral("Grüße").toUtf8() << true << QStringLiteral("Grüße")
                                << success.arg(200) << int(QtInfoMsg);
    QTest::newRow("text ends at the first NUL")
        << 200 << QByteArray("abc\0def", 7) << true << QStringLiteral("abc") << success.arg(200) << int(QtInfoMsg);
}

void TestHttpRequest::answers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, succeeded);
    QFETCH(QString, text);
    QFETCH(QString, outcomeLine);
    QFETCH(int, outcomeType);

    TestPortal portal;
    TestPortal::Behaviour behaviour;
    behaviour.status = status;
    behaviour.body = body;
    portal.setBehaviour(TestPortal::Route::Other, behaviour);
    QVERIFY(portal.start());

    LogCapture log;
    const QString url = portal.baseAddress() + QStringLiteral("/some/path");
    const Outcome outcome = run(new HttpRequest, url);
    QCOMPARE(outcome.signalCount, 1);
    QCOMPARE(outcome.succeeded, succeeded);
    QCOMPARE(outcome.status, status);
    QCOMPARE(outcome.text, text);

    QVERIFY(log.contains(QStringLiteral("HttpRequest::get(): \"url: ") + url + QLatin1Char('"')));
    QVERIFY(log.contains(QStringLiteral("HttpRequest::parseNetworkResponse(): \"status code: %1\"").arg(status)));
    bool found = false;
    for (const LogCapture::Line &line : log.lines()) {
        found = found || (line.text.startsWith(outcomeLine) && line.type == outcomeType);
    }
    QVERIFY2(found, qPrintable(log.texts().join(QLatin1Char('\n'))));
    // A body is logged only when it was read.
    const bool bodyRead = outcome.succeeded || !outcome.text.isEmpty();
    // The log quotes the message, escaping the body's own quotes.
    const QString quotedText = QString(text).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    QCOMPARE(
        log.contains(QStringLiteral("HttpRequest::parseNetworkResponse(): \"data: ") + quotedText + QLatin1Char('"')),
        bodyRead);
    QCOMPARE(portal.requests().size(), 1);
    QCOMPARE(portal.requests().first().method, QByteArray("GET"));
}

void TestHttpRequest::timeoutAnswersOnceAndReleasesEverything()
{
    TestPortal portal;
    TestPortal::Behaviour silent;
    silent.neverAnswer = true;
    portal.setBehaviour(TestPortal::Route::Other, silent);
    QVERIFY(portal.start());
    HttpRequest::setTimeoutMsForTests(300);

    LogCapture log;
    const Outcome outcome = run(new HttpRequest, portal.baseAddress() + QStringLiteral("/never"));
    QCOMPARE(outcome.signalCount, 1);
    QVERIFY(!outcome.succeeded);
    QCOMPARE(outcome.status, -1);
    QCOMPARE(outcome.text, QString());
    QVERIFY(log.contains(QStringLiteral("HttpRequest::onTimeout(): \"onTimeout\"")));
    QVERIFY(log.contains(QStringLiteral("HttpRequest::onTimeout(): \"Abort request\"")));
    QVERIFY(log.contains(QStringLiteral("HttpRequest::parseNetworkResponse(): \"invalid status code: -1\"")));
    // The aborted reply and its manager are gone: the connection the server held is closed.
    QTRY_VERIFY_WITH_TIMEOUT(!portal.requests().isEmpty() && portal.requests().first().closed, 5000);
    QVERIFY(!portal.requests().first().answered);
}

void TestHttpRequest::refusedConnection()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();

    LogCapture log;
    const Outcome outcome = run(new HttpRequest, QStringLiteral("https://127.0.0.1:%1/api/v2/domain").arg(port));
    QCOMPARE(outcome.signalCount, 1);
    QCOMPARE(outcome.status, -1);
    QCOMPARE(outcome.text, QString());
    QVERIFY(log.contains(QStringLiteral("HttpRequest::parseNetworkResponse(): \"invalid status code: -1\"")));
}

void TestHttpRequest::certificatePolicy_data()
{
    QTest::addColumn<bool>("ignoreSslErrors");
    QTest::addColumn<int>("status");
    QTest::newRow("untrusted certificate fails") << false << -1;
    QTest::newRow("ignored certificate errors reach the server") << true << 200;
}

void TestHttpRequest::certificatePolicy()
{
    QFETCH(bool, ignoreSslErrors);
    QFETCH(int, status);

    TestPortal device;
    QVERIFY(device.setCertificate(TestPortal::deviceCertificatePath(), TestPortal::deviceKeyPath()));
    device.setDeviceMode(QStringLiteral("key"), 4001);
    QVERIFY(device.start());

    auto *request = new HttpRequest;
    request->ignoreSslErrors = ignoreSslErrors;
    const Outcome outcome = run(request, device.baseAddress() + QStringLiteral("/api/v1/remote/access/1?api_key=key"));
    QCOMPARE(outcome.signalCount, 1);
    QCOMPARE(outcome.status, status);
    QCOMPARE(outcome.succeeded, status == 200);
    QCOMPARE(outcome.text.contains(QStringLiteral("<dst_ip_port>4001</dst_ip_port>")), status == 200);
    QCOMPARE(device.requests().size(), status == 200 ? 1 : 0);
}

void TestHttpRequest::replySizeCap_data()
{
    QTest::addColumn<int>("bodyBytes");
    QTest::addColumn<bool>("succeeded");
    constexpr int cap = 64 * 1024;
    QTest::newRow("exactly the cap is read") << cap << true;
    QTest::newRow("one byte over is refused") << cap + 1 << false;
    QTest::newRow("far over is refused") << 64 * cap << false;
}

// A portal that sends more than a reply may hold gets an error for that request, logged once, without its body.
void TestHttpRequest::replySizeCap()
{
    QFETCH(int, bodyBytes);
    QFETCH(bool, succeeded);
    constexpr qint64 cap = 64 * 1024;
    HttpRequest::setMaxReplyBytesForTests(cap);

    TestPortal portal;
    TestPortal::Behaviour behaviour;
    behaviour.status = 200;
    behaviour.body = QByteArray(bodyBytes, 'n');
    portal.setBehaviour(TestPortal::Route::Other, behaviour);
    QVERIFY(portal.start());

    LogCapture log;
    const Outcome outcome = run(new HttpRequest, portal.baseAddress() + QStringLiteral("/big"));
    QCOMPARE(outcome.signalCount, 1);
    QCOMPARE(outcome.succeeded, succeeded);
    QCOMPARE(outcome.text.size(), succeeded ? bodyBytes : 0);
    const QString refusal =
        QStringLiteral("HttpRequest::onDownloadProgress(): \"Reply over %1 bytes refused\"").arg(cap);
    QCOMPARE(log.count(refusal), succeeded ? 0 : 1);
    bool bodyLogged = false;
    for (const QString &text : log.texts()) {
        bodyLogged = bodyLogged || text.contains(QLatin1String("nnnnnnnn"));
    }
    QCOMPARE(bodyLogged, succeeded);
}

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "TestHttpRequest.moc"

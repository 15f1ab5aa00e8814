#include <QTcpServer>
#include <QtTest>

#include "portal/ApiDevice.h"
#include "tests/support/LogCapture.h"
#include "tools/testportal/TestPortal.h"

class TestApiDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void remoteAccess_data();
    void remoteAccess();
    void unreachableDevice();
};

void TestApiDevice::initTestCase()
{
    installConnectionWarningCheck();
    // Trusting the test CA must not matter: the device's certificate is self-signed and still accepted.
    QVERIFY(TestPortal::trustTestCertificateAuthority());
}

void TestApiDevice::remoteAccess_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("self-signed device answers its port")
        << QStringLiteral("device-key") << 1 << 200 << QByteArray("/api/v1/remote/access/1?api_key=device-key");
    QTest::newRow("type 5") << QStringLiteral("device-key") << 5 << 200
                            << QByteArray("/api/v1/remote/access/5?api_key=device-key");
    QTest::newRow("wrong key refused") << QStringLiteral("other") << 1 << 403
                                       << QByteArray("/api/v1/remote/access/1?api_key=other");
    QTest::newRow("empty key still sends the parameter")
        << QString() << 1 << 403 << QByteArray("/api/v1/remote/access/1?api_key=");
}

void TestApiDevice::remoteAccess()
{
    QFETCH(QString, key);
    QFETCH(int, type);
    QFETCH(int, status);
    QFETCH(QByteArray, target);

    TestPortal device;
    QVERIFY(device.setCertificate(TestPortal::deviceCertificatePath(), TestPortal::deviceKeyPath()));
    device.setDeviceMode(QStringLiteral("device-key"), 4001);
    QVERIFY(device.start());

    ApiDevice api;
    QSignalSpy success(&api, &ApiDevice::onGetRemoteAccessSuccess);
    QSignalSpy error(&api, &ApiDevice::onGetRemoteAccessError);
    LogCapture log;
    api.getRemoteAccess(device.hostAndPort(), key, type);
    QTRY_COMPARE_WITH_TIMEOUT(success.count() + error.count(), 1, 10000);

    QCOMPARE(device.requests().size(), 1);
    QCOMPARE(device.requests().first().target, target);
    QSignalSpy &answered = status == 200 ? success : error;
    QCOMPARE(answered.count(), 1);
    QCOMPARE(answered.first().at(0).toInt(), status);
    const QString body = answered.first().at(1).toString();
    if (status == 200) {
        QVERIFY(body.contains(QStringLiteral("<dst_ip_port>4001</dst_ip_port>")));
        // The reply is printed as it is, outside the log filters.
        QVERIFY(log.texts().join(QLatin1Char('\n')).contains(QStringLiteral("dst_ip_port>4001")));
    } else {
        QCOMPARE(body, QString());
    }
}

void TestApiDevice::unreachableDevice()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();

    ApiDevice api;
    QSignalSpy success(&api, &ApiDevice::onGetRemoteAccessSuccess);
    QSignalSpy error(&api, &ApiDevice::onGetRemoteAccessError);
    api.getRemoteAccess(QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("k"), 1);
    QVERIFY(error.wait(10000));
    QCOMPARE(error.first().at(0).toInt(), -1);
    QCOMPARE(error.first().at(1).toString(), QString());
    QCOMPARE(success.count(), 0);
}

QTEST_GUILESS_MAIN(TestApiDevice)
#include "TestApiDevice.moc"

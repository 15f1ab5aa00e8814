#include <QtTest>

#include "core/Log.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ProfileSamples.h"
#include "vpn/OrvVpnClient.h"
#include "vpn/OrvVpnSignals.h"

class TestOrvVpnClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void event_data();
    void event();
    void externalPkiRequestsRefused();
    void logLineCarriesTimeStamp();
    void readProfile_data();
    void readProfile();
    void readProfileRefusesHostile_data();
    void readProfileRefusesHostile();
    void readProfileAcceptsValid_data();
    void readProfileAcceptsValid();
};

void TestOrvVpnClient::initTestCase()
{
    installConnectionWarningCheck();
    debugLevel = 4;
}

void TestOrvVpnClient::event_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("info");
    QTest::addColumn<bool>("error");
    QTest::addColumn<bool>("fatal");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("signal");

    const int debug = QtDebugMsg;
    QTest::newRow("CONNECTED keeps the colon and blank") << "CONNECTED"
                                                         << "" << false << false << debug << "Event CONNECTED: "
                                                         << "connected";
    QTest::newRow("CONNECTING") << "CONNECTING"
                                << "" << false << false << debug << "Event CONNECTING: "
                                << "connecting";
    QTest::newRow("RECONNECTING is connecting")
        << "RECONNECTING"
        << "ping-restart" << false << false << debug << "Event RECONNECTING: ping-restart"
        << "connecting";
    QTest::newRow("DISCONNECTED") << "DISCONNECTED"
                                  << "" << false << false << debug << "Event DISCONNECTED: "
                                  << "disconnected";
    QTest::newRow("TUN_SETUP_FAILED") << "TUN_SETUP_FAILED"
                                      << "Cannot ioctl TUNSETIFF" << true << true << int(QtCriticalMsg)
                                      << "Event TUN_SETUP_FAILED: Cannot ioctl TUNSETIFF"
                                      << "operationNotPermitted";
    QTest::newRow("lower-case connected") << "connected"
                                          << "" << false << false << debug << "Event connected: "
                                          << "";
    QTest::newRow("one character longer") << "CONNECTEDX"
                                          << "" << false << false << debug << "Event CONNECTEDX: "
                                          << "";
    QTest::newRow("AUTH_FAILED fatal") << "AUTH_FAILED"
                                       << "bad" << true << true << int(QtCriticalMsg) << "Event AUTH_FAILED: bad"
                                       << "";
    QTest::newRow("error without fatal") << "TRANSPORT_ERROR"
                                         << "x" << true << false << int(QtWarningMsg) << "Event TRANSPORT_ERROR: x"
                                         << "";
    QTest::newRow("PAUSE") << "PAUSE"
                           << "" << false << false << debug << "Event PAUSE: "
                           << "";
    QTest::newRow("RESUME") << "RESUME"
                            << "" << false << false << debug << "Event RESUME: "
                            << "";
    QTest::newRow("INFO") << "INFO"
                          << "note" << false << false << debug << "Event INFO: note"
                          << "";
    QTest::newRow("daemon step") << "WAIT"
                                 << "" << false << false << debug << "Event WAIT: "
                                 << "";
}

void TestOrvVpnClient::event()
{
    QFETCH(QString, name);
    QFETCH(QString, info);
    QFETCH(bool, error);
    QFETCH(bool, fatal);
    QFETCH(int, type);
    QFETCH(QString, line);
    QFETCH(QString, signal);

    QSignalSpy connecting(orvVpnSignals, &OrvVpnSignals::connecting);
    QSignalSpy connected(orvVpnSignals, &OrvVpnSignals::connected);
    QSignalSpy disconnected(orvVpnSignals, &OrvVpnSignals::disconnected);
    QSignalSpy notPermitted(orvVpnSignals, &OrvVpnSignals::operationNotPermitted);
    LogCapture log;

    OrvVpnClient client;
    lumen::engine::Event ev;
    ev.name = name.toStdString();
    ev.info = info.toStdString();
    ev.error = error;
    ev.fatal = fatal;
    client.event(ev);

    QCOMPARE(log.lines().size(), 1);
    QCOMPARE(log.lines().first().text, QStringLiteral("OrvVpnClient::event(): \"") + line + QLatin1Char('"'));
    QCOMPARE(int(log.lines().first().type), type);
    QCOMPARE(connecting.count(), signal == QLatin1String("connecting") ? 1 : 0);
    QCOMPARE(connected.count(), signal == QLatin1String("connected") ? 1 : 0);
    QCOMPARE(disconnected.count(), signal == QLatin1String("disconnected") ? 1 : 0);
    QCOMPARE(notPermitted.count(), signal == QLatin1String("operationNotPermitted") ? 1 : 0);
}

void TestOrvVpnClient::externalPkiRequestsRefused()
{
    OrvVpnClient client;
    lumen::engine::ExternalPKISignRequest sign;
    sign.alias = "epki";
    sign.data = "payload";
    sign.algorithm = "RSA_PKCS1_PADDING";
    sign.sig = "before";
    client.external_pki_sign_request(sign);
    QVERIFY(sign.error);
    QCOMPARE(QString::fromStdString(sign.errorText), QStringLiteral("external_pki_sign_request not implemented"));
    QCOMPARE(QString::fromStdString(sign.alias), QStringLiteral("epki"));
    QCOMPARE(QString::fromStdString(sign.data), QStringLiteral("payload"));
    QCOMPARE(QString::fromStdString(sign.algorithm), QStringLiteral("RSA_PKCS1_PADDING"));
    QCOMPARE(QString::fromStdString(sign.sig), QStringLiteral("before"));
    QVERIFY(!sign.invalidAlias);

    lumen::engine::ExternalPKICertRequest cert;
    cert.cert = "kept";
    client.external_pki_cert_request(cert);
    QVERIFY(cert.error);
    QCOMPARE(QString::fromStdString(cert.errorText), QStringLiteral("external_pki_cert_request not implemented"));
    QCOMPARE(QString::fromStdString(cert.cert), QStringLiteral("kept"));
}

void TestOrvVpnClient::logLineCarriesTimeStamp()
{
    // Library lines bypass the log filters: they appear even with everything silenced.
    debugLevel = 0;
    LogCapture log;
    OrvVpnClient client;
    client.log(lumen::engine::LogInfo("TUN/TAP device tun0 opened\n"));
    client.socket_protect(7);
    client.clock_tick();
    debugLevel = 4;

    const QStringList lines = log.texts();
    QCOMPARE(lines.size(), 3);
    const QRegularExpression form(QStringLiteral("^\"[A-Z][a-z]{2} [A-Z][a-z]{2} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d "
                                                 "\\d{4}\"   \"TUN/TAP device tun0 opened\\\\n\"$"));
    QVERIFY2(form.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), QStringLiteral("*** socket_protect 7"));
    QCOMPARE(lines.at(2), QStringLiteral("clock_tick"));
}

void TestOrvVpnClient::readProfile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("missing file") << "" << QByteArray() << ""
                                  << "Merge config error: MERGE_OVPN_FILE_FAIL : cannot read profile";
    QTest::newRow("wrong extension") << "client.txt" << QByteArray("client\n") << ""
                                     << "Merge config error: MERGE_OVPN_EXT_FAIL : profile";
    QTest::newRow("missing reference") << "client.ovpn" << QByteArray("ca nothere.crt\n") << ""
                                       << "Merge config error: MERGE_REF_FAIL : cannot read 'nothere.crt'";
    QTest::newRow("directive twice") << "client.ovpn" << QByteArray("ca ca.crt\nca ca.crt\n") << ""
                                     << "Merge config error: MERGE_MULTIPLE_REF_FAIL : 'ca' is given more than once";
    QTest::newRow("readable references inline")
        << "client.ovpn" << QByteArray("client\nca ca.crt\n") << "client\n<ca>\nCA\n</ca>\n"
        << "";
    QTest::newRow("refused directive") << "client.ovpn" << QByteArray("client\nca ca.crt\nscript-security 2\n") << ""
                                       << "Merge config error: MERGE_EXCEPTION : the directive 'script-security' is "
                                          "not allowed (line 3)";
}

void TestOrvVpnClient::readProfile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, profile);
    QFETCH(QString, result);
    QFETCH(QString, logLine);

    QTemporaryDir dir;
    QFile ca(dir.filePath(QStringLiteral("ca.crt")));
    QVERIFY(ca.open(QIODevice::WriteOnly));
    ca.write("CA\n");
    ca.close();
    QString path = dir.filePath(QStringLiteral("absent.ovpn"));
    if (!name.isEmpty()) {
        path = dir.filePath(name);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(profile);
    }
    LogCapture log;
    QCOMPARE(OrvVpnClient::readProfile(path), result);
    if (logLine.isEmpty()) {
        QVERIFY(log.lines().isEmpty());
    } else {
        QCOMPARE(log.lines().size(), 1);
        QCOMPARE(int(log.lines().first().type), int(QtWarningMsg));
        const QString prefix = QStringLiteral("OrvVpnClient::readProfile(): \"") + logLine;
        QVERIFY2(log.lines().first().text.startsWith(prefix), qPrintable(log.lines().first().text));
    }
}

namespace
{
QString writeProfile(const QTemporaryDir &dir, const QByteArray &text)
{
    const QString path = dir.filePath(QStringLiteral("client.ovpn"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        return QString();
    }
    return path;
}
} // namespace

void TestOrvVpnClient::readProfileRefusesHostile_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("message");
    for (const ProfileSamples::Sample &sample : ProfileSamples::hostile()) {
        QTest::newRow(qPrintable(sample.name)) << sample.text << sample.message;
    }
}

void TestOrvVpnClient::readProfileRefusesHostile()
{
    QFETCH(QByteArray, profile);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = writeProfile(dir, profile);
    QVERIFY(!path.isEmpty());
    LogCapture log;
    QCOMPARE(OrvVpnClient::readProfile(path), QString());
    QCOMPARE(log.lines().size(), 1);
    QCOMPARE(int(log.lines().first().type), int(QtWarningMsg));
    const QString line = log.lines().first().text;
    QVERIFY2(line.startsWith(QLatin1String("OrvVpnClient::readProfile(): \"Merge config error: MERGE_")),
             qPrintable(line));
    // The log line quotes the message with Qt's escapes.
    QVERIFY2(
        line.contains(
            message.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""))),
        qPrintable(line));
}

void TestOrvVpnClient::readProfileAcceptsValid_data()
{
    QTest::addColumn<QByteArray>("profile");
    for (const ProfileSamples::Sample &sample : ProfileSamples::valid()) {
        QTest::newRow(qPrintable(sample.name)) << sample.text;
    }
}

void TestOrvVpnClient::readProfileAcceptsValid()
{
    QFETCH(QByteArray, profile);
    QTemporaryDir dir;
    const QString path = writeProfile(dir, profile);
    QVERIFY(!path.isEmpty());
    LogCapture log;
    const QString merged = OrvVpnClient::readProfile(path);
    QVERIFY(log.lines().isEmpty());
    QVERIFY(merged.startsWith(QLatin1String("client\n")));
    QVERIFY(!merged.contains(QLatin1Char('#')));
    QVERIFY(!merged.contains(QLatin1Char('\r')));
}

QTEST_GUILESS_MAIN(TestOrvVpnClient)
#include "TestOrvVpnClient.moc"

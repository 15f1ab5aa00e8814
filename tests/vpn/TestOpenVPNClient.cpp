#include <QtTest>

#include "vpn/OrvVpnClient.h"
#include "vpn/engine/ClientApi.h"

class TestOpenVPNClient : public QObject
{
    Q_OBJECT

private slots:
    void evalConfig_data();
    void evalConfig();
    void credentialsWithLineBreaksRefused_data();
    void credentialsWithLineBreaksRefused();
    void connectWithoutUsableConfig();
    void dateTimeIsAsctimeWithoutNewline();
};

namespace
{
const char *const validProfile = "client\ndev tun\nremote 10.0.0.1 1194 udp\n<ca>\nA\n</ca>\n";
}

void TestOpenVPNClient::evalConfig_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("messagePart");
    QTest::addColumn<bool>("autologin");

    const QByteArray base = validProfile;
    QTest::newRow("empty") << QByteArray() << true << "the profile is empty" << false;
    QTest::newRow("blanks only") << QByteArray(" \n\t\n") << true << "the profile is empty" << false;
    QTest::newRow("comments only") << QByteArray("# nothing\n; here\n") << true << "no remote" << false;
    QTest::newRow("no tunnel device") << QByteArray("client\nremote 10.0.0.1\n") << true << "'dev'" << false;
    QTest::newRow("up script") << base + "up /bin/sh\n" << true << "'up' is not supported (line 7)" << false;
    QTest::newRow("script security") << base + "script-security 2\n" << true << "'script-security'" << false;
    QTest::newRow("plugin") << base + "plugin /tmp/x.so\n" << true << "'plugin'" << false;
    QTest::newRow("own management") << base + "management 127.0.0.1 7505\n" << true << "'management'" << false;
    QTest::newRow("dashed directive") << base + "--log /tmp/x\n" << true << "'log'" << false;
    QTest::newRow("include another file") << base + "config /etc/x.conf\n" << true << "'config'" << false;
    QTest::newRow("file reference") << QByteArray("dev tun\nremote h\nca /etc/ssl/ca.pem\n") << true
                                    << "must carry it inline" << false;
    QTest::newRow("credentials file") << base + "auth-user-pass /root/creds\n"
                                      << true << "must carry it inline" << false;
    QTest::newRow("unterminated quote") << base + "setenv X \"a\n" << true << "unterminated quote" << false;
    QTest::newRow("unclosed block") << base + "<key>\nK\n" << true << "<key> is not closed" << false;
    QTest::newRow("needs credentials") << base + "auth-user-pass\n" << false << "" << false;
    QTest::newRow("inline credentials") << base + "auth-user-pass\n<auth-user-pass>\nu\np\n</auth-user-pass>\n"
                                        << false << "" << true;
    QTest::newRow("no credentials") << base << false << "" << true;
    QTest::newRow("remote in a connection block")
        << QByteArray("dev tun\n<connection>\nremote 10.0.0.2 443 tcp\n</connection>\n") << false << "" << true;
    QTest::newRow("dh none and inline marker") << base + "dh none\ntls-crypt [inline]\n<tls-crypt>\nT\n</tls-crypt>\n"
                                               << false << "" << true;
}

void TestOpenVPNClient::evalConfig()
{
    QFETCH(QByteArray, profile);
    QFETCH(bool, error);
    QFETCH(QString, messagePart);
    QFETCH(bool, autologin);

    OrvVpnClient client;
    lumen::engine::Config config;
    config.content = profile.toStdString();
    const lumen::engine::EvalConfig eval = client.eval_config(config);
    QCOMPARE(eval.error, error);
    QVERIFY2(QString::fromStdString(eval.message).contains(messagePart), eval.message.c_str());
    if (!error) {
        QCOMPARE(eval.autologin, autologin);
    }
}

void TestOpenVPNClient::credentialsWithLineBreaksRefused_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("error");
    QTest::newRow("quotes and backslashes are fine") << "a \"b\""
                                                     << "c\\d 'e'" << false;
    QTest::newRow("newline in the password") << "alice"
                                             << "x\nsignal SIGTERM" << true;
    QTest::newRow("carriage return in the user") << "al\rice"
                                                 << "x" << true;
}

void TestOpenVPNClient::credentialsWithLineBreaksRefused()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, error);
    OrvVpnClient client;
    lumen::engine::ProvideCreds creds;
    creds.username = user.toStdString();
    creds.password = password.toStdString();
    const lumen::engine::Status status = client.provide_creds(creds);
    QCOMPARE(status.error, error);
    QCOMPARE(status.message.empty(), !error);
}

void TestOpenVPNClient::connectWithoutUsableConfig()
{
    OrvVpnClient client;
    lumen::engine::Config config;
    config.content = "dev tun\n";
    QVERIFY(client.eval_config(config).error);
    const lumen::engine::Status status = client.connect();
    QVERIFY(status.error);
    QCOMPARE(QString::fromStdString(status.status), QStringLiteral("CONFIG_ERROR"));
    const lumen::engine::TransportStats stats = client.transport_stats();
    QCOMPARE(stats.bytesIn, 0);
    QCOMPARE(stats.lastPacketReceived, -1);
}

void TestOpenVPNClient::dateTimeIsAsctimeWithoutNewline()
{
    const QString text = QString::fromStdString(lumen::engine::date_time());
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Z][a-z]{2} [A-Z][a-z]{2} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}$"))
                 .match(text)
                 .hasMatch(),
             qPrintable(text));
}

QTEST_GUILESS_MAIN(TestOpenVPNClient)
#include "TestOpenVPNClient.moc"

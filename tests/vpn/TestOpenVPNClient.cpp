#include <QtTest>

#include "tests/support/ProfileSamples.h"
#include "vpn/OrvVpnClient.h"
#include "vpn/engine/ClientApi.h"
#include "vpn/engine/OpenVPNClient.h"

class TestOpenVPNClient : public QObject
{
    Q_OBJECT

private slots:
    void evalConfig_data();
    void evalConfig();
    void evalRefusesHostile_data();
    void evalRefusesHostile();
    void evalAcceptsValid_data();
    void evalAcceptsValid();
    void daemonGetsRebuiltProfileAndCleanStart();
    void daemonIsNeverLookedUpInPath();
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
    QTest::newRow("up script") << base + "up /bin/sh\n"
                               << true << "the directive 'up' is not allowed (line 7)" << false;
    QTest::newRow("script security") << base + "script-security 2\n" << true << "'script-security'" << false;
    QTest::newRow("plugin") << base + "plugin /tmp/x.so\n" << true << "'plugin'" << false;
    QTest::newRow("own management") << base + "management 127.0.0.1 7505\n" << true << "'management'" << false;
    QTest::newRow("dashed directive") << base + "--log /tmp/x\n" << true << "'log'" << false;
    QTest::newRow("include another file") << base + "config /etc/x.conf\n" << true << "'config'" << false;
    QTest::newRow("file reference")
        << QByteArray("dev tun\nremote h\nca /etc/ssl/ca.pem\n") << true
        << "'ca' names the file '/etc/ssl/ca.pem'; the profile must carry it inline (line 3)" << false;
    QTest::newRow("credentials file") << base + "auth-user-pass /root/creds\n"
                                      << true << "'auth-user-pass' names the file '/root/creds'" << false;
    QTest::newRow("key file with a direction") << base + "tls-auth ta.key 1\n"
                                               << true << "'tls-auth' names the file 'ta.key'" << false;
    QTest::newRow("CRL folder") << base + "crl-verify /etc/crls dir\n"
                                << true << "'crl-verify' takes 1 argument, not 2" << false;
    QTest::newRow("Diffie-Hellman file") << base + "dh dh.pem\n" << true << "'dh' names the file 'dh.pem'" << false;
    QTest::newRow("PKCS#12 file") << base + "pkcs12 client.p12\n" << true << "'pkcs12' names the file" << false;
    QTest::newRow("static key file") << base + "secret static.key\n" << true << "'secret' names the file" << false;
    QTest::newRow("unterminated quote") << base + "setenv X \"a\n" << true << "line 7: no closing quotation" << false;
    QTest::newRow("credentials block with the user only")
        << base + "auth-user-pass\n<auth-user-pass>\nalice\n</auth-user-pass>\n"
        << false << "" << false;
    QTest::newRow("unclosed block") << base + "<key>\nK\n" << true << "<key> is not closed" << false;
    QTest::newRow("needs credentials") << base + "auth-user-pass\n" << false << "" << false;
    QTest::newRow("inline credentials") << base + "auth-user-pass\n<auth-user-pass>\nu\np\n</auth-user-pass>\n"
                                        << false << "" << true;
    QTest::newRow("inline credentials before the line")
        << base + "<auth-user-pass>\r\nu\r\np\r\n</auth-user-pass>\r\nauth-user-pass\r\n"
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

void TestOpenVPNClient::evalRefusesHostile_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("message");
    for (const ProfileSamples::Sample &sample : ProfileSamples::hostile()) {
        QTest::newRow(qPrintable(sample.name)) << sample.text << sample.message;
    }
}

void TestOpenVPNClient::evalRefusesHostile()
{
    QFETCH(QByteArray, profile);
    QFETCH(QString, message);
    OrvVpnClient client;
    lumen::engine::Config config;
    config.content = profile.toStdString();
    const lumen::engine::EvalConfig eval = client.eval_config(config);
    QVERIFY(eval.error);
    QVERIFY2(QString::fromStdString(eval.message).contains(message), eval.message.c_str());
    // Nothing of a refused profile can be started.
    QCOMPARE(QString::fromStdString(client.connect().status), QStringLiteral("CONFIG_ERROR"));
}

void TestOpenVPNClient::evalAcceptsValid_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<bool>("autologin");
    for (const ProfileSamples::Sample &sample : ProfileSamples::valid()) {
        QTest::newRow(qPrintable(sample.name)) << sample.text << sample.text.contains("<auth-user-pass>");
    }
}

void TestOpenVPNClient::evalAcceptsValid()
{
    QFETCH(QByteArray, profile);
    QFETCH(bool, autologin);
    OrvVpnClient client;
    lumen::engine::Config config;
    config.content = profile.toStdString();
    const lumen::engine::EvalConfig eval = client.eval_config(config);
    QVERIFY2(!eval.error, eval.message.c_str());
    QCOMPARE(eval.autologin, autologin);
    QVERIFY(!eval.remoteHost.empty());
}

namespace
{
// Records what the engine reports, to read what a stand-in daemon printed.
class RecordingClient : public lumen::engine::OpenVPNClient
{
public:
    QStringList lines;
    QStringList events;

    bool pause_on_connection_timeout() override
    {
        return false;
    }

    void event(const lumen::engine::Event &ev) override
    {
        events << QString::fromStdString(ev.name);
    }

    void log(const lumen::engine::LogInfo &info) override
    {
        lines << QString::fromStdString(info.text).chopped(1);
    }

    void external_pki_cert_request(lumen::engine::ExternalPKICertRequest &) override {}

    void external_pki_sign_request(lumen::engine::ExternalPKISignRequest &) override {}
};

QStringList withPrefix(const QStringList &lines, const QString &prefix)
{
    QStringList found;
    for (const QString &line : lines) {
        if (line.startsWith(prefix)) {
            found << line.mid(prefix.size());
        }
    }
    return found;
}
} // namespace

void TestOpenVPNClient::daemonGetsRebuiltProfileAndCleanStart()
{
    // A stand-in daemon that prints its arguments, environment, folder and the profile it was given.
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("daemon"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n"
               "for a in \"$@\"; do echo \"arg:$a\"; done\n"
               "tr '\\0' '\\n' < /proc/$$/environ | sed 's/^/env:/'\n"
               "echo \"cwd:$(pwd)\"\n"
               "while [ \"$1\" != --config ]; do shift; done\n"
               "sed 's/^/profile:/' \"$2\"\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    lumen::engine::set_daemon_path(script.toStdString());
    const auto restore = qScopeGuard([] { lumen::engine::set_daemon_path(std::string()); });
    qputenv("OPENSSL_CONF", dir.filePath(QStringLiteral("evil.cnf")).toUtf8());
    qputenv("LD_PRELOAD", "/tmp/evil.so");
    const auto unset = qScopeGuard([] {
        qunsetenv("OPENSSL_CONF");
        qunsetenv("LD_PRELOAD");
    });

    RecordingClient client;
    lumen::engine::Config config;
    config.content = "# downloaded\n--client\ndev   tun\nremote 'vpn.example.com' 1194 ; comment\n"
                     "<ca>\r\nCA\r\n</ca> trailing\nauth-user-pass\n";
    config.guiVersion = "ORVvpn 1.0";
    config.dco = false;
    QVERIFY(!client.eval_config(config).error);
    const lumen::engine::Status status = client.connect();
    QVERIFY2(!status.error, status.message.c_str());

    QCOMPARE(
        withPrefix(client.lines, QStringLiteral("profile:")),
        (QStringList{
            "client", "dev \"tun\"", "remote \"vpn.example.com\" \"1194\"", "<ca>", "CA", "</ca>", "auth-user-pass"}));
    QStringList args = withPrefix(client.lines, QStringLiteral("arg:"));
    QVERIFY(args.size() > 12);
    // The private folder's paths change from run to run.
    QVERIFY(args.at(2).startsWith(QLatin1String("/tmp/lumen-engine-")));
    args[2] = QStringLiteral("PROFILE");
    args[6] = QStringLiteral("SOCKET");
    // The host route that keeps the server off the tunnel depends on this host's routes (TestRouteLookup).
    const QStringList hostRoute{"--route", "remote_host", "255.255.255.255", "net_gateway"};
    const int route = args.indexOf(QStringLiteral("--route"));
    if (route >= 0) {
        QCOMPARE(args.mid(route, hostRoute.size()), hostRoute);
        args.erase(args.begin() + route, args.begin() + route + hostRoute.size());
    }
    QCOMPARE(args,
             (QStringList{"--nobind",
                          "--config",
                          "PROFILE",
                          "--script-security",
                          "0",
                          "--management",
                          "SOCKET",
                          "unix",
                          "--management-client",
                          "--management-hold",
                          "--management-query-passwords",
                          "--management-log-cache",
                          "100",
                          "--pull-filter",
                          "ignore",
                          "verb",
                          "--pull-filter",
                          "ignore",
                          "mute",
                          "--pull-filter",
                          "ignore",
                          "explicit-exit-notify",
                          "--pull-filter",
                          "ignore",
                          "persist-tun",
                          "--pull-filter",
                          "ignore",
                          "persist-key",
                          "--pull-filter",
                          "ignore",
                          "\"",
                          "--pull-filter",
                          "ignore",
                          "'",
                          "--pull-filter",
                          "ignore",
                          "\\",
                          "--setenv",
                          "IV_GUI_VER",
                          "ORVvpn 1.0",
                          "--disable-dco"}));
    QCOMPARE(withPrefix(client.lines, QStringLiteral("env:")), QStringList{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
    QCOMPARE(withPrefix(client.lines, QStringLiteral("cwd:")), QStringList{"/"});
    QCOMPARE(client.events, (QStringList{"CONNECTING", "DISCONNECTED"}));
}

void TestOpenVPNClient::daemonIsNeverLookedUpInPath()
{
    QTemporaryDir dir;
    const QString fake = dir.filePath(QStringLiteral("openvpn"));
    QFile file(fake);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", dir.path().toUtf8() + ':' + path);
    const auto restore = qScopeGuard([path] { qputenv("PATH", path); });

    lumen::engine::init_process();
    const QString daemon = QString::fromStdString(lumen::engine::daemon_path());
    QVERIFY(daemon != fake);
    const QFileInfo installed(QString::fromLatin1(lumen::engine::installed_daemon_path()));
    QCOMPARE(daemon, installed.exists() && installed.ownerId() == 0 ? installed.filePath() : QString());
}

void TestOpenVPNClient::credentialsWithLineBreaksRefused_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("error");

    const QString tooLong = "is longer than the 256 bytes the daemon's management interface carries";
    const QString control = "must not contain line breaks or other control characters";
    QTest::newRow("quotes and backslashes are fine") << QByteArray("a \"b\"") << QByteArray("c\\d 'e'") << "";
    QTest::newRow("non-ASCII letters are fine") << QByteArray("j\xc3\xb6rg") << QByteArray("p\xc3\xa4ss") << "";
    QTest::newRow("256 bytes of quotes") << QByteArray("alice") << QByteArray(256, '"') << "";
    QTest::newRow("257 bytes") << QByteArray("alice") << QByteArray(257, 'x') << "the password " + tooLong;
    QTest::newRow("a user name of 1000 bytes")
        << QByteArray(990, 'a') + "\nsignal SIGTERM" << QByteArray("x") << "the user name " + control;
    QTest::newRow("a password that would overflow the line")
        << QByteArray("alice") << QByteArray(1000, 'x') + "signal SIGTERM"
        << "the password " + tooLong;
    QTest::newRow("newline in the password")
        << QByteArray("alice") << QByteArray("x\nsignal SIGTERM") << "the password " + control;
    QTest::newRow("carriage return in the user")
        << QByteArray("al\rice") << QByteArray("x") << "the user name " + control;
    QTest::newRow("tab, which the interface drops")
        << QByteArray("alice") << QByteArray("a\tb") << "the password " + control;
    QTest::newRow("DEL") << QByteArray("alice") << QByteArray("a\x7f") << "the password " + control;
    QTest::newRow("NUL") << QByteArray("alice", 5) + '\0' << QByteArray("x") << "the user name " + control;
}

void TestOpenVPNClient::credentialsWithLineBreaksRefused()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QFETCH(QString, error);
    OrvVpnClient client;
    lumen::engine::ProvideCreds creds;
    creds.username = user.toStdString();
    creds.password = password.toStdString();
    const lumen::engine::Status status = client.provide_creds(creds);
    QCOMPARE(status.error, !error.isEmpty());
    QCOMPARE(QString::fromStdString(status.message), error);
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

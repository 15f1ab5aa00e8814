#include <QtTest>

#include "tests/support/ProfileSamples.h"
#include "vpn/engine/ProfileParser.h"
#include "vpn/engine/ProfilePolicy.h"

using lumen::engine::ProfileDirective;
using lumen::engine::ProfileParser;
using lumen::engine::ProfilePolicy;

class TestProfilePolicy : public QObject
{
    Q_OBJECT

private slots:
    void splitLine_data();
    void splitLine();
    void blockEnds_data();
    void blockEnds();
    void hostileRefused_data();
    void hostileRefused();
    void validAccepted_data();
    void validAccepted();
    void rebuiltForm_data();
    void rebuiltForm();
};

namespace
{
// Reads and rebuilds a profile; the error of whichever step refused it, or the rebuilt profile.
ProfilePolicy::Result readAndRebuild(const QByteArray &text)
{
    std::vector<ProfileDirective> directives;
    std::string error;
    if (!ProfileParser::parse(text.toStdString(), directives, error)) {
        ProfilePolicy::Result result;
        result.error = error;
        return result;
    }
    return ProfilePolicy::rebuild(directives);
}

QStringList toStrings(const std::vector<std::string> &words)
{
    QStringList list;
    for (const std::string &word : words) {
        list << QString::fromStdString(word);
    }
    return list;
}
} // namespace

void TestProfilePolicy::splitLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("error");

    QStringList sixteen;
    QByteArray manyWords;
    for (int i = 0; i < 18; ++i) {
        manyWords += "w" + QByteArray::number(i) + ' ';
        if (i < 16) {
            sixteen << QStringLiteral("w%1").arg(i);
        }
    }
    QTest::newRow("plain") << QByteArray("remote host 1194\n") << QStringList{"remote", "host", "1194"} << "";
    QTest::newRow("a closing double quote ends the word") << QByteArray("\"a\"\"b\"") << QStringList{"a", "b"} << "";
    QTest::newRow("a closing single quote ends the word") << QByteArray("'a'b") << QStringList{"a", "b"} << "";
    QTest::newRow("a quote inside a word is a character") << QByteArray("a\"b c\"") << QStringList{"a\"b", "c\""} << "";
    QTest::newRow("escapes inside double quotes") << QByteArray("\"a\\\"b\\\\c d\"") << QStringList{"a\"b\\c d"} << "";
    QTest::newRow("no escapes inside single quotes") << QByteArray("'a\\b'") << QStringList{"a\\b"} << "";
    QTest::newRow("an escaped blank joins words") << QByteArray("a\\ b") << QStringList{"a b"} << "";
    QTest::newRow("an escaped blank before a word is dropped") << QByteArray("\\ a") << QStringList{"a"} << "";
    QTest::newRow("an escaped quote starts a plain word") << QByteArray("\\\"a") << QStringList{"\"a"} << "";
    QTest::newRow("comment before a word") << QByteArray("a #b\n") << QStringList{"a"} << "";
    QTest::newRow("semicolon comment") << QByteArray("a ;b") << QStringList{"a"} << "";
    QTest::newRow("comment marks inside a word") << QByteArray("a#b c;d") << QStringList{"a#b", "c;d"} << "";
    QTest::newRow("an escaped comment mark still starts a comment") << QByteArray("a \\#b") << QStringList{"a"} << "";
    QTest::newRow("an empty quoted word") << QByteArray("a \"\" b") << QStringList{"a", "", "b"} << "";
    QTest::newRow("blanks of every kind") << QByteArray("\ta\x0b"
                                                        "b\x0c"
                                                        "c\r\n")
                                          << QStringList{"a", "b", "c"} << "";
    QTest::newRow("sixteen words at most") << manyWords << sixteen << "";
    QTest::newRow("an open quote after sixteen words is not read") << manyWords + "\"x" << sixteen << "";
    QTest::newRow("NUL ends the line") << QByteArray("a\0b c", 5) << QStringList{"a"} << "";
    QTest::newRow("a word of 256 characters") << QByteArray(256, 'x') << QStringList{QString(256, 'x')} << "";
    QTest::newRow("a word of 257 characters") << QByteArray(257, 'x') << QStringList() << "longer than 256";
    QTest::newRow("open double quote") << QByteArray("a \"b\n") << QStringList() << "no closing quotation (\")";
    QTest::newRow("open single quote") << QByteArray("a 'b") << QStringList() << "no closing single quotation";
    QTest::newRow("backslash before a letter") << QByteArray("a\\b") << QStringList() << "a backslash may only";
    QTest::newRow("backslash at the end") << QByteArray("a\\") << QStringList() << "ends in a backslash";
}

void TestProfilePolicy::splitLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, words);
    QFETCH(QString, error);

    std::vector<std::string> got;
    std::string message;
    const bool ok = ProfileParser::splitLine(line.toStdString(), got, message);
    QCOMPARE(ok, error.isEmpty());
    if (ok) {
        QCOMPARE(toStrings(got), words);
    } else {
        QVERIFY2(QString::fromStdString(message).contains(error), message.c_str());
    }
}

void TestProfilePolicy::blockEnds_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QByteArray>("firstBody");

    const QByteArray longLine = QByteArray(300, 'B') + '\n';
    QTest::newRow("closing tag on its own line")
        << QByteArray("<ca>\nA\n</ca>\nclient\n") << QStringList{"ca", "client"} << QByteArray("A\n");
    QTest::newRow("text after the closing tag is dropped")
        << QByteArray("<ca>\nA\n</ca>tail\nclient\n") << QStringList{"ca", "client"} << QByteArray("A\n");
    QTest::newRow("blanks before the closing tag")
        << QByteArray("<ca>\nA\n \t</ca>\n") << QStringList{"ca"} << QByteArray("A\n");
    QTest::newRow("text before the closing tag keeps the block open")
        << QByteArray("<ca>\nx</ca>\n</ca>\n") << QStringList{"ca"} << QByteArray("x</ca>\n");
    QTest::newRow("another block's closing tag is body")
        << QByteArray("<ca>\n</key>\n</ca>\n") << QStringList{"ca"} << QByteArray("</key>\n");
    QTest::newRow("long body lines stay whole") << QByteArray("<ca>\n") + longLine + "</ca>\n"
                                                << QStringList{"ca"} << longLine;
    QTest::newRow("a closing tag where a long line is cut ends the block")
        << QByteArray("<ca>\n") + QByteArray(255, 'A') + "</ca>remote x\n"
        << QStringList{"ca"} << QByteArray(255, 'A');
    QTest::newRow("the rest of a long closing line is read as a directive")
        << QByteArray("<ca>\nA\n</ca>") + QByteArray(250, ' ') + "client\n"
        << QStringList{"ca", "client"} << QByteArray("A\n");
    QTest::newRow("quoted and dashed opening tags")
        << QByteArray("\"<ca>\"\nA\n</ca>\n--<key>\nK\n</key>\n") << QStringList{"ca", "key"} << QByteArray("A\n");
    QTest::newRow("an opening tag with another word is a directive")
        << QByteArray("<ca> x\n") << QStringList{"<ca>"} << QByteArray();
}

void TestProfilePolicy::blockEnds()
{
    QFETCH(QByteArray, profile);
    QFETCH(QStringList, names);
    QFETCH(QByteArray, firstBody);

    std::vector<ProfileDirective> directives;
    std::string error;
    QVERIFY2(ProfileParser::parse(profile.toStdString(), directives, error), error.c_str());
    QStringList got;
    for (const ProfileDirective &directive : directives) {
        got << QString::fromStdString(directive.name);
    }
    QCOMPARE(got, names);
    QCOMPARE(QByteArray::fromStdString(directives.front().body), firstBody);
}

void TestProfilePolicy::hostileRefused_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("message");
    for (const ProfileSamples::Sample &sample : ProfileSamples::hostile()) {
        QTest::newRow(qPrintable(sample.name)) << sample.text << sample.message;
    }
}

void TestProfilePolicy::hostileRefused()
{
    QFETCH(QByteArray, profile);
    QFETCH(QString, message);
    const ProfilePolicy::Result result = readAndRebuild(profile);
    QVERIFY(result.verdict != ProfilePolicy::Verdict::Accepted);
    QVERIFY(result.profile.empty());
    QVERIFY2(QString::fromStdString(result.error).contains(message), result.error.c_str());
}

void TestProfilePolicy::validAccepted_data()
{
    QTest::addColumn<QByteArray>("profile");
    for (const ProfileSamples::Sample &sample : ProfileSamples::valid()) {
        QTest::newRow(qPrintable(sample.name)) << sample.text;
    }
    const QByteArray blocks = "<ca>\nC\n</ca>\n<cert>\nC\n</cert>\n<key>\nK\n</key>\n";
    QTest::newRow("an older commercial profile")
        << "client\ndev tun0\ndev-type tun\nproto tcp-client\nremote vpn.example.com 443\n"
           "remote 2001:db8::1 1194 udp6\nremote 192.0.2.7\nremote-random\nresolv-retry 60\nfloat\n"
           "comp-lzo no\nallow-compression no\nroute 10.10.0.0 255.255.0.0\nroute 10.20.0.0 255.255.0.0 vpn_gateway 5\n"
           "route-ipv6 2001:db8::/32\nredirect-gateway def1 bypass-dhcp\ndhcp-option DNS 10.8.0.1\n"
           "dhcp-option DOMAIN corp.example\ntun-mtu 1500\nmssfix 1450\nfragment 1300\nroute-metric 10\n"
           "verify-x509-name \"C=US, O=Example, CN=vpn.example.com\" subject\ntls-cipher "
           "TLS-ECDHE-RSA-WITH-AES-256-GCM-SHA384\n"
           "cipher AES-256-CBC\nauth SHA1\nping 10\nping-restart 60\npersist-key\npersist-tun\nkey-direction 1\n"
           "<tls-auth>\nT\n</tls-auth>\n"
               + blocks;
    QTest::newRow("tls-auth marker with its direction")
        << "client\ndev tap\nremote h\ntls-auth [inline] 1\n" + blocks + "<tls-auth>\nT\n</tls-auth>\n";
    QTest::newRow("dh none, PKCS#12, fingerprints and a v2 key") << QByteArray(
        "client\ndev tun\nremote h 1194\ndh none\n<pkcs12>\nMIIK\n</pkcs12>\n<tls-crypt-v2>\nV\n</tls-crypt-v2>\n"
        "peer-fingerprint AD:B0:95:D8\n<verify-hash>\n00:11\n</verify-hash>\nremote-cert-ku a0 88\n"
        "remote-cert-eku \"TLS Web Server Authentication\"\ntls-version-min 1.2 or-highest\n"
        "data-ciphers-fallback AES-128-CBC\nrcvbuf 393216\nsndbuf 393216\nverb 6\n");
    QTest::newRow("proxies") << QByteArray("client\ndev tun\nremote h 443 tcp\nhttp-proxy proxy.example 3128\n"
                                           "http-proxy-option VERSION 1.1\nhttp-proxy-option AGENT \"Agent/1.0 (x)\"\n"
                                           "http-proxy-option CUSTOM-HEADER X-Flag \"a b\"\n<ca>\nC\n</ca>\n"
                                           "<connection>\nremote h\nhttp-proxy-option CUSTOM-HEADER X!#$%&'*+.^_`|~1 "
                                           "\"(a=1; b) <c@d>\"\n</connection>\n");
}

void TestProfilePolicy::validAccepted()
{
    QFETCH(QByteArray, profile);
    const ProfilePolicy::Result result = readAndRebuild(profile);
    QVERIFY2(result.verdict == ProfilePolicy::Verdict::Accepted, result.error.c_str());

    // Read again, the rebuilt profile is accepted and rebuilds to itself.
    const ProfilePolicy::Result again = readAndRebuild(QByteArray::fromStdString(result.profile));
    QVERIFY2(again.verdict == ProfilePolicy::Verdict::Accepted, again.error.c_str());
    QCOMPARE(QByteArray::fromStdString(again.profile), QByteArray::fromStdString(result.profile));

    // Every line outside a block is a bare name followed by quoted arguments.
    const QRegularExpression directive(QStringLiteral("^[a-z0-9-]+( \"([^\"\\\\]|\\\\.)*\")*$"));
    QString block;
    for (const QString &line : QString::fromStdString(result.profile).split(QLatin1Char('\n'))) {
        if (!block.isEmpty()) {
            if (line == QStringLiteral("</%1>").arg(block)) {
                block.clear();
            }
            continue;
        }
        if (line.startsWith(QLatin1Char('<'))) {
            block = line.mid(1, line.size() - 2);
            continue;
        }
        QVERIFY2(line.isEmpty() || directive.match(line).hasMatch(), qPrintable(line));
    }
}

void TestProfilePolicy::rebuiltForm_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QByteArray>("rebuilt");

    QTest::newRow("comments, blanks and dashes go")
        << QByteArray("# a\n\n  --client ; b\nremote   h\t1194 # c\n") << QByteArray("client\nremote \"h\" \"1194\"\n");
    QTest::newRow("a credentials line and its block")
        << QByteArray("auth-user-pass\n<auth-user-pass>\nu\np\n</auth-user-pass>\n")
        << QByteArray("<auth-user-pass>\nu\np\n</auth-user-pass>\n");
    QTest::newRow("the prompting credentials line once")
        << QByteArray("auth-user-pass\nauth-user-pass\n") << QByteArray("auth-user-pass\n");
    QTest::newRow("inline markers") << QByteArray(
        "ca [inline]\n<ca>\nA\n</ca>\ntls-crypt [inline]\n<tls-crypt>\nT\n</tls-crypt>\n")
                                    << QByteArray("<ca>\nA\n</ca>\n<tls-crypt>\nT\n</tls-crypt>\n");
    QTest::newRow("a marker after its block")
        << QByteArray("<ca>\nA\n</ca>\nca [inline]\n") << QByteArray("<ca>\nA\n</ca>\n");
    QTest::newRow("the direction of an inline tls-auth")
        << QByteArray("tls-auth [inline] 0\n<tls-auth>\nT\n</tls-auth>\n")
        << QByteArray("key-direction \"0\"\n<tls-auth>\nT\n</tls-auth>\n");
    QTest::newRow("quotes and backslashes in an argument")
        << QByteArray("verify-x509-name 'C=US, O=A \"B\" \\ C' subject\n")
        << QByteArray("verify-x509-name \"C=US, O=A \\\"B\\\" \\\\ C\" \"subject\"\n");
    QTest::newRow("CR LF inside a block")
        << QByteArray("<ca>\r\nA\r\nB\r\n</ca>\r\n") << QByteArray("<ca>\nA\nB\n</ca>\n");
    QTest::newRow("a block cut before its closing tag") << QByteArray("<ca>\n") + QByteArray(255, 'A') + "</ca>\n"
                                                        << QByteArray("<ca>\n") + QByteArray(255, 'A') + "\n</ca>\n";
    QTest::newRow("a connection block")
        << QByteArray("<connection>\n# first\nremote h 1194 udp\n--nobind\n</connection>\n")
        << QByteArray("<connection>\nremote \"h\" \"1194\" \"udp\"\nnobind\n</connection>\n");
    QTest::newRow("dh none stays") << QByteArray("dh none\n") << QByteArray("dh \"none\"\n");
    // Numbered devices may exist already; the kernel makes a new one for a bare "tun" or "tap".
    QTest::newRow("a numbered device loses its number") << QByteArray("dev tap7\ndev-type tap\ndev tun80\n")
                                                        << QByteArray("dev \"tap\"\ndev-type \"tap\"\ndev \"tun\"\n");
    QTest::newRow("verb above 4 is lowered to 4")
        << QByteArray("verb 11\nverb 5\nverb 4\nverb 0\nverb 999999999999999\n")
        << QByteArray("verb \"4\"\nverb \"4\"\nverb \"4\"\nverb \"0\"\nverb \"4\"\n");
    QTest::newRow("at least a second between connection tries")
        << QByteArray("connect-retry 0 0\nconnect-retry 0\nconnect-retry 5 300\n<connection>\nremote h\n"
                      "connect-retry 0 0\n</connection>\n")
        << QByteArray("connect-retry \"1\" \"1\"\nconnect-retry \"1\"\nconnect-retry \"5\" \"300\"\n<connection>\n"
                      "remote \"h\"\nconnect-retry \"1\" \"1\"\n</connection>\n");
    // The profile's renegotiation limits are its own; the daemon keeps a pause between handshakes itself.
    QTest::newRow("renegotiation limits as given")
        << QByteArray("reneg-bytes 1048576\nreneg-pkts 1\nreneg-sec 1\n")
        << QByteArray("reneg-bytes \"1048576\"\nreneg-pkts \"1\"\nreneg-sec \"1\"\n");
    // A stop gives the daemon 5 s before it is killed.
    QTest::newRow("at most 3 s of goodbyes to the server")
        << QByteArray("explicit-exit-notify 10\nexplicit-exit-notify 2\nexplicit-exit-notify\n<connection>\nremote h\n"
                      "explicit-exit-notify 5\n</connection>\n")
        << QByteArray("explicit-exit-notify \"3\"\nexplicit-exit-notify \"2\"\nexplicit-exit-notify\n<connection>\n"
                      "remote \"h\"\nexplicit-exit-notify \"3\"\n</connection>\n");
}

void TestProfilePolicy::rebuiltForm()
{
    QFETCH(QByteArray, profile);
    QFETCH(QByteArray, rebuilt);
    const ProfilePolicy::Result result = readAndRebuild(profile);
    QVERIFY2(result.verdict == ProfilePolicy::Verdict::Accepted, result.error.c_str());
    QCOMPARE(QByteArray::fromStdString(result.profile), rebuilt);
}

QTEST_GUILESS_MAIN(TestProfilePolicy)
#include "TestProfilePolicy.moc"

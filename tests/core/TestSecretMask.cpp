#include <QtTest>

#include "core/SecretMask.h"

namespace
{
const QString ellipsis(QChar(0x2026));
} // namespace

class TestSecretMask : public QObject
{
    Q_OBJECT

private slots:
    void value_data();
    void value();
    void inText_data();
    void inText();
};

void TestSecretMask::value_data()
{
    QTest::addColumn<QString>("secret");
    QTest::addColumn<QString>("masked");
    QTest::newRow("API key: four characters and the length") << "0123456789abcdef0123456789abcdef"
                                                             << "0123" + ellipsis + "(32)";
    QTest::newRow("short password shows a quarter") << "pw123456"
                                                    << "pw" + ellipsis + "(8)";
    QTest::newRow("three characters show nothing") << "abc" << ellipsis + "(3)";
    QTest::newRow("empty stays empty") << ""
                                       << "";
    QTest::newRow("a surrogate pair is never split")
        << QStringLiteral("abc") + QString::fromUtf8("\xF0\x9F\x94\x91") + QStringLiteral("0123456789ab")
        << QStringLiteral("abc") + ellipsis + QStringLiteral("(17)");
}

void TestSecretMask::value()
{
    QFETCH(QString, secret);
    QFETCH(QString, masked);
    QCOMPARE(SecretMask::value(secret), masked);
}

void TestSecretMask::inText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("masked");
    const QString key = QStringLiteral("0123456789abcdef0123456789abcdef");
    const QString keyMasked = "0123" + ellipsis + "(32)";
    QTest::newRow("JSON key reply") << R"j({"authentication":{"api_key":")j" + key + R"j(","expire":5}})j"
                                    << R"j({"authentication":{"api_key":")j" + keyMasked + R"j(","expire":5}})j";
    QTest::newRow("JSON with spaces, other case and an escaped quote")
        << R"j({ "Password" : "abcd\"efgh", "name": "x" })j"
        << R"j({ "Password" : "ab)j" + ellipsis + R"j((10)", "name": "x" })j";
    QTest::newRow("file contents") << R"j([{"file":"Y2xpZW50CmRldiB0dW4K","name":"client.ovpn"}])j"
                                   << R"j([{"file":"Y2xp)j" + ellipsis + R"j((20)","name":"client.ovpn"}])j";
    QTest::newRow("every device key of a list")
        << R"j([{"api_key":"aaaaaaaaaaaaaaaa"},{"api_key":"bbbbbbbbbbbbbbbb"}])j"
        << R"j([{"api_key":"aaaa)j" + ellipsis + R"j((16)"},{"api_key":"bbbb)j" + ellipsis + R"j((16)"}])j";
    QTest::newRow("XML element") << "<r><api_key>" + key + "</api_key><port>1</port></r>"
                                 << "<r><api_key>" + keyMasked + "</api_key><port>1</port></r>";
    QTest::newRow("query value") << "https://10.8.0.5/api/v1/remote/access/1?api_key=" + key + "&x=1"
                                 << "https://10.8.0.5/api/v1/remote/access/1?api_key=" + keyMasked + "&x=1";
    QTest::newRow("query value in an error text")
        << "Error transferring https://h/a?api_key=" + key + " - server replied: Not Found"
        << "Error transferring https://h/a?api_key=" + keyMasked + " - server replied: Not Found";
    QTest::newRow("header line") << "x-access-token: " + key << "x-access-token: " + keyMasked;
    QTest::newRow("names that only end like a key are left") << R"j({"profile":"abcdefgh","my_api_key_id":7})j"
                                                             << R"j({"profile":"abcdefgh","my_api_key_id":7})j";
    QTest::newRow("empty values stay") << R"j({"api_key":"","password":null})j"
                                       << R"j({"api_key":"","password":null})j";
}

void TestSecretMask::inText()
{
    QFETCH(QString, text);
    QFETCH(QString, masked);
    QCOMPARE(SecretMask::inText(text), masked);
}

QTEST_APPLESS_MAIN(TestSecretMask)

#include "TestSecretMask.moc"

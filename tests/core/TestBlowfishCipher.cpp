#include <QtTest>

#include "core/BlowfishCipher.h"
#include "tests/support/LogCapture.h"

namespace
{
const QString emptyKeyWarning = QStringLiteral("Cannot init. Key is empty.");
const QString lengthWarning =
    QStringLiteral("Cannot encrypt. Clear-text length is not a multiple of 8 and padding is not enabled.");

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}
} // namespace

class TestBlowfishCipher : public QObject
{
    Q_OBJECT

private slots:
    void publishedVectors_data();
    void publishedVectors();
    void keyLengths_data();
    void keyLengths();
    void emptyInput();
    void emptyKeyWarnsOnEveryCall();
    void padding_data();
    void padding();
    void unpaddedLengths();
    void paddingCheck_data();
    void paddingCheck();
    void roundTrip_data();
    void roundTrip();
    void noInitialisationVector();
    void largeBuffersMatchBlockByBlock_data();
    void largeBuffersMatchBlockByBlock();
};

void TestBlowfishCipher::publishedVectors_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("clear");
    QTest::addColumn<QByteArray>("cipher");

    // Eric Young's ECB set (key, clear block, cipher block).
    const char *const vectors[][3] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
        {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
        {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
        {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
        {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
        {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
        {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
        {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
        {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
        {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
        {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
        {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
        {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
        {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
        {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
        {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
        {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
        {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
        {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
        {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
        {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
        {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
        {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
        {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
        {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
        {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
    };
    int number = 0;
    for (const auto &vector : vectors) {
        QTest::addRow("vector %d", ++number) << hex(vector[0]) << hex(vector[1]) << hex(vector[2]);
    }
}

void TestBlowfishCipher::publishedVectors()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, clear);
    QFETCH(QByteArray, cipher);

    BlowfishCipher encryptor(key);
    QCOMPARE(encryptor.encrypted(clear).toHex(), cipher.toHex());
    BlowfishCipher decryptor(key);
    QCOMPARE(decryptor.decrypted(cipher).toHex(), clear.toHex());
}

void TestBlowfishCipher::keyLengths_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("cipher");

    // Published variable-length keys over the clear block FEDCBA9876543210: the key is cycled over the P-array.
    QTest::newRow("1 byte") << hex("F0") << hex("F9AD597C49DB005E");
    QTest::newRow("3 bytes") << hex("F0E1D2") << hex("E9C2B70A1BC65CF3");
    QTest::newRow("8 bytes") << hex("F0E1D2C3B4A59687") << hex("E87A244E2CC85E82");
    QTest::newRow("9 bytes") << hex("F0E1D2C3B4A5968778") << hex("15750E7A4F4EC577");
    QTest::newRow("15 bytes") << hex("F0E1D2C3B4A5968778695A4B3C2D1E") << hex("79D9373A714CA34F");
}

void TestBlowfishCipher::keyLengths()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, cipher);

    BlowfishCipher blowfish(key);
    QCOMPARE(blowfish.encrypted(hex("FEDCBA9876543210")).toHex(), cipher.toHex());
}

void TestBlowfishCipher::emptyInput()
{
    LogCapture log;
    for (bool padding : {false, true}) {
        // An empty key proves that the key schedule does not even run.
        BlowfishCipher blowfish(QByteArray{});
        blowfish.setPaddingEnabled(padding);
        QVERIFY(blowfish.encrypted(QByteArray()).isEmpty());
        QVERIFY(blowfish.decrypted(QByteArray()).isEmpty());
    }
    QCOMPARE(log.lines().size(), 0);
}

void TestBlowfishCipher::emptyKeyWarnsOnEveryCall()
{
    LogCapture log;
    BlowfishCipher blowfish(QByteArray{});
    QVERIFY(blowfish.encrypted(QByteArray(8, 'a')).isEmpty());
    QCOMPARE(log.count(emptyKeyWarning), 1);
    QVERIFY(blowfish.decrypted(QByteArray(8, 'a')).isEmpty());
    QCOMPARE(log.count(emptyKeyWarning), 2);
    QCOMPARE(log.lines().last().type, QtWarningMsg);
}

void TestBlowfishCipher::padding_data()
{
    QTest::addColumn<int>("clearLength");
    QTest::addColumn<int>("cipherLength");

    QTest::newRow("13 bytes take 3 of padding") << 13 << 16;
    QTest::newRow("16 bytes take a whole block") << 16 << 24;
    QTest::newRow("1 byte takes 7") << 1 << 8;
}

void TestBlowfishCipher::padding()
{
    QFETCH(int, clearLength);
    QFETCH(int, cipherLength);

    const QByteArray clear(clearLength, 'x');
    BlowfishCipher padded("some key");
    padded.setPaddingEnabled(true);
    const QByteArray cipher = padded.encrypted(clear);
    QCOMPARE(cipher.size(), cipherLength);

    BlowfishCipher raw("some key");
    const QByteArray plain = raw.decrypted(cipher);
    const int padding = cipherLength - clearLength;
    QCOMPARE(plain.left(clearLength), clear);
    QCOMPARE(plain.mid(clearLength), QByteArray(padding, static_cast<char>(padding)));
}

void TestBlowfishCipher::unpaddedLengths()
{
    LogCapture log;
    BlowfishCipher blowfish("some key");
    QVERIFY(blowfish.encrypted(QByteArray(13, 'x')).isEmpty());
    QCOMPARE(log.count(lengthWarning), 1);
    QCOMPARE(blowfish.encrypted(QByteArray(16, 'x')).size(), 16);
    // A cipher text that is not whole blocks fails silently.
    QVERIFY(blowfish.decrypted(QByteArray(12, 'x')).isEmpty());
    QCOMPARE(log.lines().size(), 1);
}

void TestBlowfishCipher::paddingCheck_data()
{
    QTest::addColumn<QByteArray>("clear");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray body("0123456789abc");
    QTest::newRow("03 03 03 is stripped") << body + hex("030303") << body;
    QTest::newRow("02 03 is refused") << QByteArray("0123456789abcd") + hex("0203") << QByteArray();
    QTest::newRow("a last 00 removes nothing") << body + hex("010000") << body + hex("010000");
    QTest::newRow("eight 08 leave nothing") << QByteArray(8, 8) << QByteArray();
    QTest::newRow("k beyond 8 but all equal") << QByteArray(6, 'a') + QByteArray(10, 10) << QByteArray(6, 'a');
    QTest::newRow("k beyond the buffer") << QByteArray(7, 'a') + hex("FF") << QByteArray();
}

void TestBlowfishCipher::paddingCheck()
{
    QFETCH(QByteArray, clear);
    QFETCH(QByteArray, expected);

    BlowfishCipher raw("padding key");
    const QByteArray cipher = raw.encrypted(clear);
    QCOMPARE(cipher.size(), clear.size());

    BlowfishCipher padded("padding key");
    padded.setPaddingEnabled(true);
    QCOMPARE(padded.decrypted(cipher), expected);
}

void TestBlowfishCipher::roundTrip_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("clear");

    QTest::newRow("one byte") << QByteArray("k") << QByteArray("x");
    QTest::newRow("binary, 7 bytes") << QByteArray("key") << hex("00FF00FF00FF00");
    QTest::newRow("text, 8 bytes") << QByteArray("k2") << QByteArray("abcdefgh");
    QTest::newRow("long key, long text") << QByteArray(100, 'K') << QByteArray(1000, 'z');
    QTest::newRow("ends like padding") << QByteArray("k3") << hex("0102030404040404");
}

void TestBlowfishCipher::roundTrip()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, clear);

    BlowfishCipher encryptor(key);
    encryptor.setPaddingEnabled(true);
    const QByteArray cipher = encryptor.encrypted(clear);
    QVERIFY(cipher != clear);
    BlowfishCipher decryptor(key);
    decryptor.setPaddingEnabled(true);
    QCOMPARE(decryptor.decrypted(cipher), clear);
}

void TestBlowfishCipher::noInitialisationVector()
{
    BlowfishCipher first("same key");
    BlowfishCipher second("same key");
    const QByteArray clear = QByteArray(8, 'a') + QByteArray(8, 'a');
    const QByteArray cipher = first.encrypted(clear);
    QCOMPARE(second.encrypted(clear), cipher);
    // ECB: equal blocks give equal cipher blocks.
    QCOMPARE(cipher.left(8), cipher.mid(8));
    QVERIFY(BlowfishCipher("other key").encrypted(clear) != cipher);
}

void TestBlowfishCipher::largeBuffersMatchBlockByBlock_data()
{
    QTest::addColumn<int>("size");

    // Around the size where the work is split across threads, and slices that end mid-way through a group of four.
    QTest::newRow("just under a split") << (1 << 20) - 8;
    QTest::newRow("two slices") << (2 << 20) + 40;
    QTest::newRow("many slices, odd block count") << (9 << 20) + 8 * 7;
}

// Buffers big enough to be split must come out exactly as if every block had been enciphered alone.
void TestBlowfishCipher::largeBuffersMatchBlockByBlock()
{
    QFETCH(int, size);

    QByteArray clear(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char &byte : clear) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    BlowfishCipher cipher("settings key");
    const QByteArray whole = cipher.encrypted(clear);
    QCOMPARE(whole.size(), size);

    BlowfishCipher single("settings key");
    for (int offset = 0; offset < size; offset += 4096 + 8) {
        const QByteArray part = clear.mid(offset, 8);
        QCOMPARE(single.encrypted(part), whole.mid(offset, 8));
    }
    QCOMPARE(cipher.decrypted(whole), clear);
}

QTEST_APPLESS_MAIN(TestBlowfishCipher)

#include "TestBlowfishCipher.moc"

#include <csignal>
#include <limits>

#include <QBitArray>
#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPoint>
#include <QRect>
#include <QSettings>
#include <QSize>
#include <QUrl>
#include <QUuid>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>

#include "core/BlowfishCipher.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "tests/support/TestEnvironment.h"

namespace
{
QByteArray key()
{
    return QByteArray(orvSettingsKey);
}

QByteArray fileBytes(const QSettings::SettingsMap &map)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!writeOrvSettingsFile(buffer, map)) {
        return QByteArray();
    }
    return buffer.data();
}

// The clear text of a file, padding included.
QByteArray rawClearText(const QByteArray &file)
{
    BlowfishCipher cipher(key());
    return cipher.decrypted(file.mid(4));
}

// A well-formed file around the given clear text.
QByteArray sealed(const QByteArray &clearText)
{
    BlowfishCipher cipher(key());
    cipher.setPaddingEnabled(true);
    QByteArray file;
    QDataStream stream(&file, QIODevice::WriteOnly);
    stream << cipher.encrypted(clearText);
    return file;
}

bool readBytes(const QByteArray &file, QSettings::SettingsMap &map)
{
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    return readOrvSettingsFile(buffer, map);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Permission bits as the kernel has them, for the owner, group and others.
int modeOf(const QString &path)
{
    struct stat status = {};
    if (stat(QFile::encodeName(path).constData(), &status) != 0) {
        return -1;
    }
    return static_cast<int>(status.st_mode & 0777);
}

QByteArray streamed(const QSettings::SettingsMap &map)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << map;
    return bytes;
}

QByteArray uint32(quint32 value)
{
    QByteArray bytes(4, 0);
    qToBigEndian(value, bytes.data());
    return bytes;
}

// Lowers the file-size limit for the length of one scope, so writes past it fail with EFBIG for real.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }

    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }

    bool isActive() const
    {
        return m_active;
    }

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = nullptr;
    bool m_active = false;
};
} // namespace

class TestOrvSettingsFormat : public QObject
{
    Q_OBJECT

private slots:
    void emptyMapLayout();
    void wholePaddingBlock();
    void entryLayout();
    void entriesInDescendingKeyOrder();
    void valuesRoundTrip();
    void sameBytesAsQDataStream_data();
    void sameBytesAsQDataStream();
    void sameMapAsQDataStream_data();
    void sameMapAsQDataStream();
    void damagedFiles_data();
    void damagedFiles();
    void fileThroughQSettings();
    void keysAreCaseSensitive();
    void foreignFileIsReplacedAtFirstWrite();
    void fileIsPrivate();
    void failedWriteKeepsPreviousFile();
};

void TestOrvSettingsFormat::emptyMapLayout()
{
    const QByteArray file = fileBytes({});
    QCOMPARE(file.size(), 12);
    QCOMPARE(file.left(4).toHex(), QByteArray("00000008"));
    QCOMPARE(rawClearText(file).toHex(), QByteArray("0000000004040404"));

    QSettings::SettingsMap map{{QStringLiteral("stale"), 1}};
    QVERIFY(readBytes(file, map));
    QVERIFY(map.isEmpty());
}

void TestOrvSettingsFormat::wholePaddingBlock()
{
    // Count (4) + key "a" (4 + 2) + bool variant (4 + 1 + 1) = 16 bytes of clear text.
    const QSettings::SettingsMap map{{QStringLiteral("a"), true}};
    const QByteArray file = fileBytes(map);
    QCOMPARE(file.size(), 28);
    QCOMPARE(file.left(4), uint32(24));
    const QByteArray clear = rawClearText(file);
    QCOMPARE(clear.size(), 24);
    QCOMPARE(clear.right(8), QByteArray(8, 8));

    QSettings::SettingsMap read;
    QVERIFY(readBytes(file, read));
    QCOMPARE(read, map);
}

void TestOrvSettingsFormat::entryLayout()
{
    const QSettings::SettingsMap map{{QStringLiteral("vpn/last_device_id"), 7}};
    const QByteArray clear = rawClearText(fileBytes(map));

    QByteArray expected = uint32(1) + uint32(36);
    for (const QChar c : QStringLiteral("vpn/last_device_id")) {
        expected += '\0';
        expected += c.toLatin1();
    }
    expected += QByteArray::fromHex("00000002"
                                    "00"
                                    "00000007");
    const int padding = 8 - expected.size() % 8;
    expected += QByteArray(padding, static_cast<char>(padding));
    QCOMPARE(clear.toHex(), expected.toHex());
}

void TestOrvSettingsFormat::entriesInDescendingKeyOrder()
{
    const QSettings::SettingsMap map{{QStringLiteral("B"), 1}, {QStringLiteral("a"), 2}, {QStringLiteral("b"), 3}};
    const QByteArray clear = rawClearText(fileBytes(map));
    // UTF-16 ordering: "b" > "a" > "B".
    const int b = clear.indexOf(QByteArray::fromHex("000000020062"));
    const int a = clear.indexOf(QByteArray::fromHex("000000020061"));
    const int upperB = clear.indexOf(QByteArray::fromHex("000000020042"));
    QVERIFY(b > 0 && a > 0 && upperB > 0);
    QVERIFY(b < a);
    QVERIFY(a < upperB);
}

void TestOrvSettingsFormat::valuesRoundTrip()
{
    const QVariantMap record{{QStringLiteral("id"), 12.0},
                             {QStringLiteral("name"), QStringLiteral("Ωmega network")},
                             {QStringLiteral("devices"), QVariantList{QVariantMap{{QStringLiteral("id"), 3.0}}}}};
    const QSettings::SettingsMap map{{QStringLiteral("window/size"), QSize(900, 700)},
                                     {QStringLiteral("window/pos"), QPoint(-10, 20)},
                                     {QStringLiteral("orv/tour1"), false},
                                     {QStringLiteral("orv/language"), QStringLiteral("it")},
                                     {QStringLiteral("auth/password"), QStringLiteral("pä$$ wörd")},
                                     {QStringLiteral("last_domain_id_opened"), -1},
                                     {QStringLiteral("domains"), QVariantList{record}},
                                     {QStringLiteral("virtual_serial_ports"), QVariantList()}};
    QSettings::SettingsMap read;
    QVERIFY(readBytes(fileBytes(map), read));
    QCOMPARE(read, map);
    QCOMPARE(read.value(QStringLiteral("window/size")).userType(), int(QMetaType::QSize));
    QCOMPARE(read.value(QStringLiteral("orv/tour1")).userType(), int(QMetaType::Bool));

    // Other plain types a settings map may hold are read as well.
    const QSettings::SettingsMap others{
        {QStringLiteral("invalid"), QVariant()},
        {QStringLiteral("longlong"), Q_INT64_C(-5000000000)},
        {QStringLiteral("bytes"), QByteArray("\x01\x02")},
        {QStringLiteral("strings"), QStringList{QStringLiteral("a"), QString()}},
        {QStringLiteral("rect"), QRect(1, 2, 3, 4)},
        {QStringLiteral("rectf"), QRectF(1.5, 2, 3, 4)},
        {QStringLiteral("sizef"), QSizeF(1.5, 2)},
        {QStringLiteral("pointf"), QPointF(1.5, 2)},
        {QStringLiteral("time"), QDateTime(QDate(2026, 12, 7), QTime(4, 20), Qt::UTC)},
        {QStringLiteral("offset time"), QDateTime(QDate(2026, 12, 7), QTime(4, 20), Qt::OffsetFromUTC, 3600)},
        {QStringLiteral("date"), QDate(2026, 12, 7)},
        {QStringLiteral("url"), QUrl(QStringLiteral("https://portal.example/api/v2/"))},
        {QStringLiteral("uuid"), QUuid::createUuid()},
        {QStringLiteral("bits"), QBitArray(13, true)},
        {QStringLiteral("char"), QChar(0x3A9)},
        {QStringLiteral("hash"), QVariantHash{{QStringLiteral("k"), QVariantList{1u, 2ull}}}},
        {QStringLiteral("bytes list"), QVariant::fromValue(QByteArrayList{"x", "yz"})}};
    QSettings::SettingsMap readOthers;
    QVERIFY(readBytes(fileBytes(others), readOthers));
    QCOMPARE(readOthers, others);
}

// The file's clear text must be exactly what QDataStream makes of the map, whichever way it was written.
void TestOrvSettingsFormat::sameBytesAsQDataStream_data()
{
    QTest::addColumn<QVariant>("map");

    QVariantList devices;
    for (int i = 0; i < 3; ++i) {
        devices.append(QVariantMap{{QStringLiteral("id"), double(i)},
                                   {QStringLiteral("name"), QStringLiteral("Gerät 😀 %1").arg(i)},
                                   {QStringLiteral("vpn_ip"), i == 1 ? QString() : QStringLiteral("")},
                                   {QStringLiteral("vpn_status"), double(i % 2)}});
    }
    const QVariantMap store{
        {QStringLiteral("window/size"), QSize(900, 700)},
        {QStringLiteral("window/pos"), QPoint(-310, 190)},
        {QStringLiteral("orv/tour1"), true},
        {QStringLiteral("vpn/last_device_id"), -12003},
        {QStringLiteral("auth/username"), QString()},
        {QStringLiteral("auth/password"), QStringLiteral("")},
        {QStringLiteral("big"), Q_INT64_C(-5000000000)},
        {QStringLiteral("odd numbers"),
         QVariantList{std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(), -0.0}},
        {QStringLiteral("domains"),
         QVariantList{QVariantMap{{QStringLiteral("id"), 1.0}, {QStringLiteral("devices"), devices}}}},
        {QStringLiteral("virtual_serial_ports"), QVariantList()}};
    QTest::newRow("what the program stores") << QVariant(store);
    QTest::newRow("a value made null on purpose")
        << QVariant(QVariantMap{{QStringLiteral("a"), QVariant(QVariant::Int)}, {QStringLiteral("b"), 1}});
    QTest::newRow("an invalid value") << QVariant(QVariantMap{{QStringLiteral("a"), QVariant()}});
    QTest::newRow("other types beside ours")
        << QVariant(QVariantMap{{QStringLiteral("url"), QUrl(QStringLiteral("https://portal.example/"))},
                                {QStringLiteral("n"), 2.5},
                                {QStringLiteral("bytes"), QByteArray("\x00\x01")}});
    QTest::newRow("empty") << QVariant(QVariantMap());
}

void TestOrvSettingsFormat::sameBytesAsQDataStream()
{
    QFETCH(QVariant, map);
    const QSettings::SettingsMap settings = map.toMap();

    const QByteArray expected = streamed(settings);
    const QByteArray clear = rawClearText(fileBytes(settings));
    QCOMPARE(clear.left(expected.size()).toHex(), expected.toHex());
    QCOMPARE(clear.size() - expected.size(), 8 - expected.size() % 8);

    QSettings::SettingsMap read;
    QVERIFY(readBytes(fileBytes(settings), read));
    QCOMPARE(streamed(read).toHex(), expected.toHex());
}

// Clear texts the program never writes but QDataStream reads in its own way; the file reader must agree with it.
void TestOrvSettingsFormat::sameMapAsQDataStream_data()
{
    QTest::addColumn<QByteArray>("clear");

    const QByteArray keyA = uint32(2) + QByteArray::fromHex("0061");
    const QByteArray keyB = uint32(2) + QByteArray::fromHex("0062");
    const QByteArray one = uint32(2) + '\0' + uint32(1);
    const QByteArray two = uint32(2) + '\0' + uint32(2);
    QTest::newRow("a repeated key") << uint32(2) + keyA + one + keyA + two;
    QTest::newRow("keys in rising order") << uint32(2) + keyA + one + keyB + two;
    QTest::newRow("a bool byte other than 0 and 1") << uint32(1) + keyA + uint32(1) + '\0' + '\x07';
    QTest::newRow("bytes after the map") << uint32(1) + keyA + one + QByteArray("tail");
    QTest::newRow("a null key") << uint32(1) + uint32(0xFFFFFFFF) + one;
}

void TestOrvSettingsFormat::sameMapAsQDataStream()
{
    QFETCH(QByteArray, clear);

    QSettings::SettingsMap expected;
    QDataStream stream(clear);
    stream >> expected;
    QCOMPARE(stream.status(), QDataStream::Ok);

    QSettings::SettingsMap read;
    QVERIFY(readBytes(sealed(clear), read));
    QCOMPARE(read.size(), expected.size());
    QCOMPARE(streamed(read).toHex(), streamed(expected).toHex());
}

void TestOrvSettingsFormat::damagedFiles_data()
{
    QTest::addColumn<QByteArray>("file");

    const QSettings::SettingsMap map{{QStringLiteral("auth/username"), QStringLiteral("someone")}};
    const QByteArray good = fileBytes(map);
    QVERIFY(good.size() > 12);
    const QByteArray cipherText = good.mid(4);

    QByteArray foreign;
    {
        QBuffer buffer(&foreign);
        buffer.open(QIODevice::WriteOnly);
        QByteArray clear;
        QDataStream clearStream(&clear, QIODevice::WriteOnly);
        clearStream << map;
        BlowfishCipher other("another key of 25 bytes!!");
        other.setPaddingEnabled(true);
        QDataStream fileStream(&buffer);
        fileStream << other.encrypted(clear);
    }

    QTest::newRow("written under another key") << foreign;
    QTest::newRow("cut short by three bytes") << good.left(good.size() - 3);
    QTest::newRow("only the length field") << good.left(4);
    QTest::newRow("length field cut short") << good.left(2);
    QTest::newRow("length 0") << uint32(0) + cipherText;
    QTest::newRow("length 0xFFFFFFFF") << uint32(0xFFFFFFFF) + cipherText;
    QTest::newRow("length not a multiple of 8")
        << uint32(cipherText.size() - 4) + cipherText.left(cipherText.size() - 4);
    QTest::newRow("length beyond the file") << uint32(cipherText.size() + 8) + cipherText;
    QTest::newRow("a flipped cipher byte") << good.left(9) + char(good.at(9) ^ 0x40) + good.mid(10);
    QTest::newRow("plain text") << QByteArray("[General]\nkey=value\n");

    // Clear texts that make Qt's own readers allocate gigabytes or recurse without end.
    const QByteArray entry = uint32(1) + uint32(2) + QByteArray::fromHex("0061");
    QTest::newRow("list claiming 2^31 entries") << sealed(entry + uint32(9) + '\0' + uint32(0x7FFFFFFF));
    QTest::newRow("string list claiming 2^31 entries") << sealed(entry + uint32(11) + '\0' + uint32(0x7FFFFFFF));
    QTest::newRow("map claiming 2^32 - 1 entries") << sealed(uint32(0xFFFFFFFF) + uint32(2) + QByteArray(2, 'a'));
    QTest::newRow("string longer than the file") << sealed(entry + uint32(10) + '\0' + uint32(0x7FFFFFFE));
    QByteArray nested = entry;
    for (int i = 0; i < 100000; ++i) {
        nested += uint32(9) + '\0' + uint32(1);
    }
    QTest::newRow("lists nested 100000 deep") << sealed(nested + uint32(2) + '\0' + uint32(7));
    QTest::newRow("user type") << sealed(entry + uint32(127) + '\0' + uint32(3) + QByteArray("Foo"));
    QTest::newRow("unknown type id") << sealed(entry + uint32(999) + '\0' + uint32(0));
    QTest::newRow("trailing entry cut off")
        << sealed(QByteArray::fromHex("00000002") + entry.mid(4) + uint32(2) + '\0' + uint32(1));
}

void TestOrvSettingsFormat::damagedFiles()
{
    QFETCH(QByteArray, file);
    QSettings::SettingsMap map{{QStringLiteral("stale"), 1}};
    QVERIFY(!readBytes(file, map));
    QVERIFY(map.isEmpty());
}

void TestOrvSettingsFormat::fileThroughQSettings()
{
    TestEnvironment environment;
    {
        QSettings settings(
            orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
        QCOMPARE(settings.fileName(), environment.settingsFilePath());
        settings.beginGroup(QStringLiteral("vpn"));
        settings.setValue(QStringLiteral("last_device_id"), 7);
        settings.endGroup();
        settings.setValue(QStringLiteral("domains"), QVariantList{QVariantMap{{QStringLiteral("id"), 5.0}}});
    }
    QSettings::SettingsMap map;
    QVERIFY(readBytes(readFile(environment.settingsFilePath()), map));
    QCOMPARE(map.keys(), (QStringList{QStringLiteral("domains"), QStringLiteral("vpn/last_device_id")}));
    QCOMPARE(map.value(QStringLiteral("vpn/last_device_id")), QVariant(7));
}

void TestOrvSettingsFormat::keysAreCaseSensitive()
{
    TestEnvironment environment;
    {
        QSettings settings(
            orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
        settings.beginGroup(QStringLiteral("auth"));
        settings.setValue(QStringLiteral("username"), QStringLiteral("lower"));
        settings.setValue(QStringLiteral("Username"), QStringLiteral("upper"));
        QCOMPARE(settings.value(QStringLiteral("username")).toString(), QStringLiteral("lower"));
        QCOMPARE(settings.value(QStringLiteral("Username")).toString(), QStringLiteral("upper"));
        QVERIFY(!settings.contains(QStringLiteral("USERNAME")));
    }
    QSettings::SettingsMap map;
    QVERIFY(readBytes(readFile(environment.settingsFilePath()), map));
    QCOMPARE(map.size(), 2);
    QCOMPARE(map.value(QStringLiteral("auth/Username")).toString(), QStringLiteral("upper"));
}

void TestOrvSettingsFormat::foreignFileIsReplacedAtFirstWrite()
{
    TestEnvironment environment;
    writeFile(environment.settingsFilePath(), QByteArray::fromHex("0000001000112233445566778899aabbccddeeff"));
    {
        QSettings settings(
            orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
        QCOMPARE(settings.status(), QSettings::FormatError);
        QVERIFY(settings.allKeys().isEmpty());
        settings.setValue(QStringLiteral("last_domain_id_opened"), 4);
    }
    QSettings::SettingsMap map;
    QVERIFY(readBytes(readFile(environment.settingsFilePath()), map));
    QCOMPARE(map, (QSettings::SettingsMap{{QStringLiteral("last_domain_id_opened"), 4}}));
}

void TestOrvSettingsFormat::fileIsPrivate()
{
    TestEnvironment environment;
    const mode_t savedMask = umask(0);
    {
        // The program's store makes the folder itself; a folder made open to everyone would be refused.
        OrvSettings settings;
        settings.setValue(QStringLiteral("auth/password"), QStringLiteral("secret"));
    }
    umask(savedMask);
    const QFileInfo file(environment.settingsFilePath());
    QVERIFY(file.exists());
    QCOMPARE(modeOf(file.absoluteFilePath()), 0600);
    const QFileInfo folder(file.absolutePath());
    QCOMPARE(folder.fileName(), QStringLiteral("Orvane"));
    QCOMPARE(modeOf(folder.absoluteFilePath()), 0700);

    // A file and folder that an earlier run left open to others are closed at the next write.
    QCOMPARE(chmod(QFile::encodeName(file.absoluteFilePath()).constData(), 0644), 0);
    QCOMPARE(chmod(QFile::encodeName(folder.absoluteFilePath()).constData(), 0755), 0);
    {
        QSettings settings(
            orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
        settings.setValue(QStringLiteral("auth/password"), QStringLiteral("changed"));
    }
    QCOMPARE(modeOf(file.absoluteFilePath()), 0600);
    QCOMPARE(modeOf(folder.absoluteFilePath()), 0700);
}

void TestOrvSettingsFormat::failedWriteKeepsPreviousFile()
{
    TestEnvironment environment;
    {
        QSettings settings(
            orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
        settings.setValue(QStringLiteral("auth/username"), QStringLiteral("kept"));
    }
    const QByteArray before = readFile(environment.settingsFilePath());
    QVERIFY(!before.isEmpty());

    {
        QSettings settings(
            orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
        settings.setValue(QStringLiteral("domains"), QString(200000, QLatin1Char('x')));
        FileSizeLimit limit(4096);
        QVERIFY(limit.isActive());
        settings.sync();
        QCOMPARE(settings.status(), QSettings::AccessError);
    }
    QCOMPARE(readFile(environment.settingsFilePath()), before);
    const QStringList left = QDir(QFileInfo(environment.settingsFilePath()).absolutePath()).entryList(QDir::Files);
    QCOMPARE(left, QStringList{QStringLiteral("Lumenbridge.orv")});

    QSettings::SettingsMap map;
    QVERIFY(readBytes(before, map));
    QCOMPARE(map.value(QStringLiteral("auth/username")).toString(), QStringLiteral("kept"));
}

QTEST_GUILESS_MAIN(TestOrvSettingsFormat)

#include "TestOrvSettingsFormat.moc"

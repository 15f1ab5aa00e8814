#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <sys/stat.h>

#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"
#include "serial/VirtualSerialPort.h"
#include "tests/support/HostileFolder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestEnvironment.h"

namespace
{
// The map as it stands in the file on disk, not as QSettings caches it.
QSettings::SettingsMap fileMap(const TestEnvironment &environment)
{
    QSettings::SettingsMap map;
    QFile file(environment.settingsFilePath());
    if (!file.open(QIODevice::ReadOnly) || !readOrvSettingsFile(file, map)) {
        return {};
    }
    return map;
}

// A plain settings object on the same file, as a foreign writer would use it.
void storeRaw(const QString &key, const QVariant &value)
{
    QSettings settings(
        orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
    settings.setValue(key, value);
}

// The records' JSON as the file has always held it: objects as maps, every number a double.
QVariant asStored(const QJsonValue &value)
{
    if (value.isObject()) {
        QVariantMap map;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            map.insert(it.key(), asStored(it.value()));
        }
        return map;
    }
    if (value.isArray()) {
        QVariantList list;
        for (const QJsonValue &element : value.toArray()) {
            list.append(asStored(element));
        }
        return list;
    }
    return value.isDouble() ? QVariant(value.toDouble()) : value.toVariant();
}

QByteArray streamed(const QVariant &value)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << value;
    return bytes;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A settings file put in place behind the program's back, in whatever folder (the format itself refuses to
// write into a folder others could change, so the bytes are made in memory).
bool plantSettingsFile(const QString &path, int lastDomainIdOpened)
{
    QBuffer buffer;
    QFile file(path);
    return buffer.open(QIODevice::WriteOnly)
           && writeOrvSettingsFile(buffer, {{QStringLiteral("last_domain_id_opened"), lastDomainIdOpened}})
           && file.open(QIODevice::WriteOnly) && file.write(buffer.data()) == buffer.data().size();
}

void deleteAll(QList<OrvDomain *> &domains)
{
    for (OrvDomain *domain : qAsConst(domains)) {
        domain->clearDevices();
        delete domain;
    }
    domains.clear();
}
} // namespace

class TestOrvSettings : public QObject
{
    Q_OBJECT

private slots:
    void defaultsWithoutFile();
    void alwaysEncryptedFormat();
    void domainsRoundTrip();
    void storedDomainsAreTheirJson();
    void clearedKeysStayInFile();
    void unexpectedStoredValues_data();
    void unexpectedStoredValues();
    void virtualSerialPortsRoundTrip();
    void foldersOthersCouldChange_data();
    void foldersOthersCouldChange();
};

void TestOrvSettings::defaultsWithoutFile()
{
    TestEnvironment environment;
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        QCOMPARE(settings.fileName(), environment.settingsFilePath());
        QVERIFY(settings.getDomains().isEmpty());
        QCOMPARE(settings.getLastDomainIdOpened(), -1);
        QVERIFY(settings.getVirtualSerialPorts().isEmpty());
        settings.beginGroup(QStringLiteral("vpn"));
        QCOMPARE(settings.value(QStringLiteral("last_device_id"), -1).toInt(), -1);
        settings.endGroup();
    }
    // Reading alone writes nothing.
    QVERIFY(!QFile::exists(environment.settingsFilePath()));
}

void TestOrvSettings::alwaysEncryptedFormat()
{
    TestEnvironment environment;
    // A caller that forgot to make the encrypted format the default must still not write a plain-text file.
    QSettings::setDefaultFormat(QSettings::IniFormat);
    {
        OrvSettings settings;
        QCOMPARE(settings.format(), orvSettingsFormat);
        settings.beginGroup(QStringLiteral("auth"));
        settings.setValue(QStringLiteral("password"), QStringLiteral("secret"));
        settings.endGroup();
    }
    QCOMPARE(QSettings::defaultFormat(), orvSettingsFormat);
    QCOMPARE(fileMap(environment).value(QStringLiteral("auth/password")).toString(), QStringLiteral("secret"));
    const QStringList files = QDir(environment.path() + QStringLiteral("/config/Orvane")).entryList(QDir::Files);
    QCOMPARE(files, QStringList{QStringLiteral("Lumenbridge.orv")});
}

void TestOrvSettings::domainsRoundTrip()
{
    TestEnvironment environment;
    QList<OrvDomain *> domains;
    for (int id : {7, 3}) {
        auto *domain = new OrvDomain();
        domain->id = id;
        domain->name = QStringLiteral("Domain %1").arg(id);
        domain->vpnEnable = id == 7;
        auto *device = new OrvDevice();
        device->id = id * 10;
        device->type = 1;
        device->vpnStatus = 1;
        device->apiKey = QStringLiteral("key %1").arg(id);
        domain->devices.append(device);
        domains.append(domain);
    }
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.setDomains(domains);
        settings.setLastDomainIdOpened(3);
    }
    // The records' integers are stored as doubles.
    const QSettings::SettingsMap map = fileMap(environment);
    const QVariantList stored = map.value(QStringLiteral("domains")).toList();
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored.at(0).toMap().value(QStringLiteral("id")).userType(), int(QMetaType::Double));
    QCOMPARE(map.value(QStringLiteral("last_domain_id_opened")), QVariant(3));

    QList<OrvDomain *> read;
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        read = settings.getDomains();
        QCOMPARE(settings.getLastDomainIdOpened(), 3);
    }
    QCOMPARE(read.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(read.at(i)->toJson(), domains.at(i)->toJson());
        QVERIFY(read.at(i) != domains.at(i));
        QVERIFY(read.at(i)->parent() == nullptr);
    }
    QCOMPARE(read.at(0)->id, 7);
    QCOMPARE(read.at(1)->devices.at(0)->id, 30);
    deleteAll(read);
    deleteAll(domains);
}

// The stored list must be byte for byte the records' JSON form, whatever the fields hold.
void TestOrvSettings::storedDomainsAreTheirJson()
{
    TestEnvironment environment;
    QList<OrvDomain *> domains;
    const QString texts[] = {QString(), QStringLiteral(""), QStringLiteral("Caffè ☕ 😀"), QString(1100, QChar('x'))};
    for (int d = 0; d < 4; ++d) {
        auto *domain = new OrvDomain();
        domain->id = d == 3 ? -2147483647 - 1 : d * 1000;
        domain->name = texts[d];
        domain->vpnEnable = d % 2 == 0;
        for (int i = 0; i < 3 * d; ++i) {
            auto *device = new OrvDevice();
            device->id = 2147483647 - i;
            device->type = i;
            device->domainId = -i;
            device->vpnStatus = i % 3;
            device->dataDeliveryEnable = i % 2 == 1;
            device->remoteAccessEnable = i % 2 == 0;
            device->name = texts[(d + i) % 4];
            device->vpnIp = texts[i % 4];
            device->apiKey = texts[(i + 1) % 4];
            domain->devices.append(device);
        }
        domains.append(domain);
    }
    QJsonArray json;
    for (const OrvDomain *domain : qAsConst(domains)) {
        json.append(domain->toJson());
    }
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.setDomains(domains);
    }
    const QVariant stored = fileMap(environment).value(QStringLiteral("domains"));
    QCOMPARE(streamed(stored).toHex(), streamed(asStored(json)).toHex());
    deleteAll(domains);
}

void TestOrvSettings::clearedKeysStayInFile()
{
    TestEnvironment environment;
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        auto *port = new VirtualSerialPort();
        settings.setVirtualSerialPorts({port});
        delete port;
        settings.setLastDomainIdOpened(9);
    }
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.clearVirtualSerialPorts();
        settings.clearDomains();
        settings.clearLastDomainIdOpened();
    }
    const QSettings::SettingsMap map = fileMap(environment);
    QCOMPARE(map.keys(),
             (QStringList{QStringLiteral("domains"),
                          QStringLiteral("last_domain_id_opened"),
                          QStringLiteral("virtual_serial_ports")}));
    QCOMPARE(map.value(QStringLiteral("domains")), QVariant(QVariantList()));
    QCOMPARE(map.value(QStringLiteral("virtual_serial_ports")), QVariant(QVariantList()));
    QCOMPARE(map.value(QStringLiteral("last_domain_id_opened")), QVariant(-1));
}

void TestOrvSettings::unexpectedStoredValues_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QList<int>>("domainIds");

    QTest::newRow("a string") << QVariant(QStringLiteral("domains")) << QList<int>{};
    QTest::newRow("a number") << QVariant(5) << QList<int>{};
    QTest::newRow("elements that are not objects")
        << QVariant(QVariantList{QStringLiteral("x"), QVariantMap{{QStringLiteral("id"), 4.0}}, 3.0})
        << QList<int>{0, 4, 0};
}

void TestOrvSettings::unexpectedStoredValues()
{
    QFETCH(QVariant, stored);
    QFETCH(QList<int>, domainIds);

    TestEnvironment environment;
    storeRaw(QStringLiteral("domains"), stored);
    storeRaw(QStringLiteral("virtual_serial_ports"), stored);

    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    QList<OrvDomain *> domains = settings.getDomains();
    QList<int> ids;
    for (const OrvDomain *domain : qAsConst(domains)) {
        ids.append(domain->id);
    }
    QCOMPARE(ids, domainIds);
    deleteAll(domains);

    const QList<VirtualSerialPort *> ports = settings.getVirtualSerialPorts();
    QCOMPARE(ports.size(), domainIds.size());
    for (VirtualSerialPort *port : ports) {
        // Made from an empty object where the element was not one.
        QVERIFY(port->raw == 0);
        delete port;
    }
}

void TestOrvSettings::virtualSerialPortsRoundTrip()
{
    TestEnvironment environment;
    QList<VirtualSerialPort *> ports;
    for (int i = 0; i < 3; ++i) {
        auto *port = new VirtualSerialPort();
        port->deviceId = 100 + i;
        port->serialName = QStringLiteral("COM%1").arg(i + 2);
        port->type = i;
        ports.append(port);
    }
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.setVirtualSerialPorts(ports);
    }
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    const QList<VirtualSerialPort *> read = settings.getVirtualSerialPorts();
    QCOMPARE(read.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(read.at(i)->toJson(), ports.at(i)->toJson());
        QCOMPARE(read.at(i)->raw, 1);
        delete read.at(i);
        delete ports.at(i);
    }
}

void TestOrvSettings::foldersOthersCouldChange_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("refused");
    QTest::newRow("organisation folder is a link") << int(HostileFolder::Link) << true;
    QTest::newRow("organisation folder of another user") << int(HostileFolder::ForeignOwned) << true;
    QTest::newRow("organisation folder writable by everyone") << int(HostileFolder::WritableByAll) << true;
    QTest::newRow("configuration folder of another user") << int(HostileFolder::InForeignBase) << true;
    QTest::newRow("a private folder is used") << -1 << false;
    // As a umask of 002 leaves them under user private groups.
    QTest::newRow("folders writable by our own group are used") << -2 << false;
}

// Root must neither read, write nor chmod through a settings folder that another user could change.
void TestOrvSettings::foldersOthersCouldChange()
{
    QFETCH(int, kind);
    QFETCH(bool, refused);
    TestEnvironment environment;
    QString base = environment.path() + QStringLiteral("/config");
    QString reached = base + QStringLiteral("/Orvane");
    if (kind >= 0) {
        const HostileFolder::Planted planted =
            HostileFolder::plant(HostileFolder::Kind(kind), base, QStringLiteral("Orvane"));
        QVERIFY(!planted.reached.isEmpty());
        base = planted.base;
        reached = planted.reached;
    } else {
        QVERIFY(QDir().mkpath(reached));
        QVERIFY(kind == -1
                || (chmod(QFile::encodeName(base).constData(), 0775) == 0
                    && chmod(QFile::encodeName(reached).constData(), 0775) == 0));
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(base));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, base);
    const QString planted = reached + QStringLiteral("/Lumenbridge.orv");
    QVERIFY(plantSettingsFile(planted, 7));
    const QByteArray before = fileBytes(planted);
    const int modeBefore = HostileFolder::modeOf(reached);
    const QStringList entriesBefore = QDir(reached).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    LogCapture log;
    for (int run = 0; run < 2; ++run) {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        QCOMPARE(settings.getLastDomainIdOpened(), refused ? -1 : 7 + run * 2);
        settings.setLastDomainIdOpened(9);
        settings.sync();
        QCOMPARE(settings.status() == QSettings::NoError, !refused);
    }
    // A plain settings object on the format is held to the same rule.
    {
        QSettings plain(
            orvSettingsFormat, QSettings::UserScope, QStringLiteral("Orvane"), QStringLiteral("Lumenbridge"));
        QCOMPARE(plain.value(QStringLiteral("last_domain_id_opened")).isValid(), !refused);
        plain.setValue(QStringLiteral("last_domain_id_opened"), 11);
    }

    int refusals = 0;
    for (const QString &text : log.texts()) {
        refusals += text.startsWith(QLatin1String("OrvSettings::OrvSettings(): \"Settings folder refused")) ? 1 : 0;
    }
    if (refused) {
        QCOMPARE(fileBytes(planted), before);
        QCOMPARE(HostileFolder::modeOf(reached), modeBefore);
        QCOMPARE(QDir(reached).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), entriesBefore);
        // Said once, however often the store is opened.
        QCOMPARE(refusals, 1);
    } else {
        QSettings::SettingsMap map;
        QFile file(planted);
        QVERIFY(file.open(QIODevice::ReadOnly) && readOrvSettingsFile(file, map));
        QCOMPARE(map.value(QStringLiteral("last_domain_id_opened")), QVariant(11));
        QCOMPARE(refusals, 0);
    }
}

QTEST_GUILESS_MAIN(TestOrvSettings)

#include "TestOrvSettings.moc"

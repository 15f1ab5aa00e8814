#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QtTest>

#include "records/OrvDevice.h"
#include "records/OrvDomain.h"

namespace
{
QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

OrvDevice *device(int id, const QString &name)
{
    auto *result = new OrvDevice();
    result->id = id;
    result->name = name;
    return result;
}

QList<int> ids(const QList<OrvDevice *> &devices)
{
    QList<int> result;
    for (const OrvDevice *device : devices) {
        result.append(device->id);
    }
    return result;
}
} // namespace

class TestOrvDomain : public QObject
{
    Q_OBJECT

private slots:
    void readFlagsAndIds_data();
    void readFlagsAndIds();
    void readDevices_data();
    void readDevices();
    void deviceWithMissingKeys();
    void portalTextsAreCapped_data();
    void portalTextsAreCapped();
    void roundTrip();
    void updateDevices_data();
    void updateDevices();
    void updateKeepsObjectsAndTakesFreshOnes();
    void clearDevices();
    void deletingDomainLeavesDevices();
};

void TestOrvDomain::readFlagsAndIds_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("vpnEnable");

    QTest::newRow("1 is true") << QByteArray(R"({"id": 4, "vpn_enable": 1})") << 4 << true;
    QTest::newRow("1.0 is true") << QByteArray(R"({"id": 4, "vpn_enable": 1.0})") << 4 << true;
    QTest::newRow("true is false") << QByteArray(R"({"id": 4, "vpn_enable": true})") << 4 << false;
    QTest::newRow("\"1\" is false") << QByteArray(R"({"id": 4, "vpn_enable": "1"})") << 4 << false;
    QTest::newRow("2 is false") << QByteArray(R"({"id": 4, "vpn_enable": 2})") << 4 << false;
    QTest::newRow("1.5 is false") << QByteArray(R"({"id": 4, "vpn_enable": 1.5})") << 4 << false;
    QTest::newRow("string id reads 0") << QByteArray(R"({"id": "12", "vpn_enable": 1})") << 0 << true;
    QTest::newRow("missing id reads 0") << QByteArray(R"({"name": "x"})") << 0 << false;
    QTest::newRow("fractional id reads 0") << QByteArray(R"({"id": 3.5})") << 0 << false;
}

void TestOrvDomain::readFlagsAndIds()
{
    QFETCH(QByteArray, text);
    QFETCH(int, id);
    QFETCH(bool, vpnEnable);

    std::unique_ptr<OrvDomain> domain(OrvDomain::fromJson(json(text.constData())));
    QVERIFY(domain);
    QCOMPARE(domain->id, id);
    QCOMPARE(domain->vpnEnable, vpnEnable);
    QVERIFY(domain->devices.isEmpty());
}

void TestOrvDomain::readDevices_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<int>>("deviceIds");

    QTest::newRow("no devices key") << QByteArray(R"({"id": 1})") << QList<int>{};
    QTest::newRow("empty devices") << QByteArray(R"({"id": 1, "devices": []})") << QList<int>{};
    QTest::newRow("devices not an array") << QByteArray(R"({"id": 1, "devices": {"id": 3}})") << QList<int>{};
    QTest::newRow("type 2 is dropped, order kept")
        << QByteArray(R"({"devices": [{"id": 3, "type": 1}, {"id": 4, "type": 2}, {"id": 5, "type": 5}]})")
        << QList<int>{3, 5};
    QTest::newRow("non-object element stays as an empty device")
        << QByteArray(R"({"devices": [{"id": 3, "type": 1}, 17, {"id": 5, "type": 1}]})") << QList<int>{3, 0, 5};
}

void TestOrvDomain::readDevices()
{
    QFETCH(QByteArray, text);
    QFETCH(QList<int>, deviceIds);

    OrvDomain *domain = OrvDomain::fromJson(json(text.constData()));
    QCOMPARE(ids(domain->devices), deviceIds);
    domain->clearDevices();
    delete domain;
}

void TestOrvDomain::portalTextsAreCapped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("kept");
    const QString limit(1024, QLatin1Char('a'));
    const QString key = QString::fromUtf8("\xF0\x9F\x94\x91");
    QTest::newRow("at the limit") << limit << limit;
    QTest::newRow("one over") << limit + QLatin1Char('b') << limit;
    QTest::newRow("megabytes") << QString(4 * 1024 * 1024, QLatin1Char('c')) << QString(1024, QLatin1Char('c'));
    QTest::newRow("a pair across the limit is not split")
        << QString(1023, QLatin1Char('a')) + key + QLatin1Char('z') << QString(1023, QLatin1Char('a'));
    QTest::newRow("a pair ending at the limit stays")
        << QString(1022, QLatin1Char('a')) + key + QLatin1Char('z') << QString(1022, QLatin1Char('a')) + key;
}

// A hostile portal's field grows neither the process, the page nor the settings file.
void TestOrvDomain::portalTextsAreCapped()
{
    QFETCH(QString, text);
    QFETCH(QString, kept);
    const QJsonObject device{{"id", 1}, {"name", text}, {"vpn_ip", text}, {"api_key", text}};
    const QJsonObject object{{"id", 1}, {"name", text}, {"devices", QJsonArray{device}}};
    OrvDomain *domain = OrvDomain::fromJson(object);
    QCOMPARE(domain->name, kept);
    QCOMPARE(domain->devices.size(), 1);
    QCOMPARE(domain->devices.first()->name, kept);
    QCOMPARE(domain->devices.first()->vpnIp, kept);
    QCOMPARE(domain->devices.first()->apiKey, kept);
    domain->clearDevices();
    delete domain;
}

void TestOrvDomain::deviceWithMissingKeys()
{
    // Every field is overwritten on reading, so the constructor's values do not survive.
    std::unique_ptr<OrvDevice> device(OrvDevice::fromJson(QJsonObject()));
    QCOMPARE(device->id, 0);
    QCOMPARE(device->type, 0);
    QCOMPARE(device->domainId, 0);
    QCOMPARE(device->vpnStatus, 0);
    QVERIFY(!device->dataDeliveryEnable);
    QVERIFY(!device->remoteAccessEnable);
    QVERIFY(device->name.isEmpty());
    QVERIFY(device->vpnIp.isEmpty());
    QVERIFY(device->apiKey.isEmpty());

    std::unique_ptr<OrvDevice> flags(
        OrvDevice::fromJson(json(R"({"data_delivery_enable": true, "remote_access_enable": 1, "vpn_status": 1})")));
    QVERIFY(!flags->dataDeliveryEnable);
    QVERIFY(flags->remoteAccessEnable);
    QCOMPARE(flags->vpnStatus, 1);
}

void TestOrvDomain::roundTrip()
{
    OrvDomain domain;
    domain.id = 12;
    domain.name = QStringLiteral("Plant Nord");
    domain.vpnEnable = true;
    OrvDevice *first = device(30, QStringLiteral("Gateway"));
    first->type = 5;
    first->domainId = 12;
    first->dataDeliveryEnable = true;
    first->vpnStatus = 1;
    first->vpnIp = QStringLiteral("10.8.0.5");
    first->apiKey = QStringLiteral("k-30");
    OrvDevice *second = device(31, QStringLiteral("Sensor"));
    second->remoteAccessEnable = true;
    domain.devices = {first, second};

    const QJsonObject object = domain.toJson();
    QCOMPARE(object.keys(), (QStringList{"devices", "id", "name", "vpn_enable"}));
    QCOMPARE(object.value("vpn_enable"), QJsonValue(1));
    const QJsonObject firstObject = object.value("devices").toArray().at(0).toObject();
    QCOMPARE(firstObject.value("data_delivery_enable"), QJsonValue(1));
    QCOMPARE(firstObject.value("remote_access_enable"), QJsonValue(0));

    OrvDomain *read = OrvDomain::fromJson(object);
    QCOMPARE(read->toJson(), object);
    QCOMPARE(read->id, 12);
    QCOMPARE(read->name, domain.name);
    QVERIFY(read->vpnEnable);
    QCOMPARE(ids(read->devices), (QList<int>{30, 31}));
    const OrvDevice *readFirst = read->devices.at(0);
    QCOMPARE(readFirst->type, 5);
    QCOMPARE(readFirst->domainId, 12);
    QVERIFY(readFirst->dataDeliveryEnable);
    QVERIFY(!readFirst->remoteAccessEnable);
    QCOMPARE(readFirst->vpnStatus, 1);
    QCOMPARE(readFirst->vpnIp, first->vpnIp);
    QCOMPARE(readFirst->apiKey, first->apiKey);
    QVERIFY(read->devices.at(1)->remoteAccessEnable);
    read->clearDevices();
    delete read;
    domain.clearDevices();
}

void TestOrvDomain::updateDevices_data()
{
    QTest::addColumn<QList<int>>("existing");
    QTest::addColumn<QList<int>>("fresh");
    QTest::addColumn<QList<int>>("result");

    QTest::newRow("empty list deletes all") << QList<int>{1, 2} << QList<int>{} << QList<int>{};
    QTest::newRow("survivors keep their order, new ones follow")
        << QList<int>{1, 2} << QList<int>{2, 1, 3} << QList<int>{1, 2, 3};
    QTest::newRow("vanished device removed") << QList<int>{1, 2, 3} << QList<int>{3, 1} << QList<int>{1, 3};
    QTest::newRow("into an empty domain") << QList<int>{} << QList<int>{5, 4} << QList<int>{5, 4};
    QTest::newRow("duplicate fresh id is appended") << QList<int>{1} << QList<int>{1, 1} << QList<int>{1, 1};
}

void TestOrvDomain::updateDevices()
{
    QFETCH(QList<int>, existing);
    QFETCH(QList<int>, fresh);
    QFETCH(QList<int>, result);

    OrvDomain domain;
    QList<QPointer<OrvDevice>> old;
    for (int id : existing) {
        domain.devices.append(device(id, QStringLiteral("old %1").arg(id)));
        old.append(domain.devices.last());
    }
    QList<OrvDevice *> freshDevices;
    for (int i = 0; i < fresh.size(); ++i) {
        freshDevices.append(device(fresh.at(i), QStringLiteral("fresh %1").arg(i)));
    }

    domain.updateDevices(freshDevices);
    QCOMPARE(ids(domain.devices), result);
    for (const QPointer<OrvDevice> &device : old) {
        // An old device is either still in the list or deleted.
        QCOMPARE(device.isNull(), !domain.devices.contains(device.data()));
    }
    for (const OrvDevice *device : qAsConst(domain.devices)) {
        QVERIFY(device->name.startsWith(QLatin1String("fresh")));
    }
    domain.clearDevices();
}

void TestOrvDomain::updateKeepsObjectsAndTakesFreshOnes()
{
    OrvDomain domain;
    OrvDevice *kept = device(1, QStringLiteral("before"));
    kept->vpnStatus = 0;
    domain.devices = {kept};

    OrvDevice *update = device(1, QStringLiteral("after"));
    update->type = 1;
    update->domainId = 9;
    update->dataDeliveryEnable = true;
    update->remoteAccessEnable = true;
    update->vpnStatus = 1;
    update->vpnIp = QStringLiteral("10.8.0.9");
    update->apiKey = QStringLiteral("key");
    OrvDevice *duplicate = device(1, QStringLiteral("duplicate"));
    QPointer<OrvDevice> updateGuard(update);

    domain.updateDevices({update, duplicate});
    QCOMPARE(domain.devices.size(), 2);
    QCOMPARE(domain.devices.at(0), kept);
    QCOMPARE(domain.devices.at(1), duplicate);
    QVERIFY(updateGuard.isNull());
    QCOMPARE(kept->id, 1);
    QCOMPARE(kept->name, QStringLiteral("after"));
    QCOMPARE(kept->type, 1);
    QCOMPARE(kept->domainId, 9);
    QVERIFY(kept->dataDeliveryEnable);
    QVERIFY(kept->remoteAccessEnable);
    QCOMPARE(kept->vpnStatus, 1);
    QCOMPARE(kept->vpnIp, QStringLiteral("10.8.0.9"));
    QCOMPARE(kept->apiKey, QStringLiteral("key"));
    domain.clearDevices();
}

void TestOrvDomain::clearDevices()
{
    OrvDomain domain;
    QPointer<OrvDevice> first = device(1, QString());
    QPointer<OrvDevice> second = device(2, QString());
    domain.devices = {first.data(), nullptr, second.data()};
    domain.clearDevices();
    QVERIFY(domain.devices.isEmpty());
    QVERIFY(first.isNull());
    QVERIFY(second.isNull());
}

void TestOrvDomain::deletingDomainLeavesDevices()
{
    auto *domain = new OrvDomain();
    QPointer<OrvDevice> survivor = device(1, QString());
    domain->devices.append(survivor.data());
    delete domain;
    QVERIFY(!survivor.isNull());
    QVERIFY(survivor->parent() == nullptr);
    delete survivor.data();
}

QTEST_APPLESS_MAIN(TestOrvDomain)

#include "TestOrvDomain.moc"

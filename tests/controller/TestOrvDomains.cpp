#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include "controller/Orv.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"
#include "tests/support/FileRewriteCounter.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OrvDriver.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tools/testportal/TestPortal.h"

namespace
{
constexpr int waitMs = 10000;

// "1[10,11] 2[20]" builds domain 1 with devices 10 and 11 and domain 2 with device 20.
QJsonArray domainsFrom(const QString &shape, const QString &namePrefix = QStringLiteral("domain "))
{
    QJsonArray domains;
    const QStringList entries = shape.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &entry : entries) {
        const int open = entry.indexOf(QLatin1Char('['));
        const int id = entry.left(open).toInt();
        QJsonArray devices;
        const QStringList deviceIds = entry.mid(open + 1).chopped(1).split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString &deviceId : deviceIds) {
            devices.append(
                PortalSession::deviceAt(deviceId.toInt(), deviceId.toInt() / 10, 1, QStringLiteral("127.0.0.1")));
        }
        domains.append(QJsonObject{
            {"id", id}, {"name", namePrefix + QString::number(id)}, {"vpn_enable", 1}, {"devices", devices}});
    }
    return domains;
}

QByteArray replyBody(const QJsonArray &domains)
{
    return QJsonDocument(QJsonObject{{"domains", domains}}).toJson(QJsonDocument::Compact);
}

QString shapeOf(const QList<OrvDomain *> &domains)
{
    QStringList entries;
    for (const OrvDomain *domain : domains) {
        QStringList ids;
        for (const OrvDevice *device : domain->devices) {
            ids.append(QString::number(device->id));
        }
        entries.append(QString::number(domain->id) + QLatin1Char('[') + ids.join(QLatin1Char(',')) + QLatin1Char(']'));
    }
    return entries.join(QLatin1Char(' '));
}

void storeSettings(const QJsonArray &domains, int lastDeviceId)
{
    StoredSettings::setDomains(domains);
    StoredSettings::setValue(QStringLiteral("vpn/last_device_id"), lastDeviceId);
}

QTimer *reloadTimerOf(Orv &orv)
{
    return orv.findChild<QTimer *>();
}

} // namespace

class TestOrvDomains : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void loadAfterLoginThenPeriodicReload();
    void identicalReloadSkipsOnlyTheStore();
    void merge_data();
    void merge();
    void failedReplyKeepsListSettingsAndTimer_data();
    void failedReplyKeepsListSettingsAndTimer();
    void reloadWhileLoggedOut();
    void loadWhileReloadInFlightReportsLoad();
    void lastDeviceStartedOnceAfterFirstSuccess();
    void loginAfterWindowClosedLoadsAgain();

private:
    bool startPortal(const QJsonArray &domains);

    TestEnvironment *m_environment = nullptr;
    PortalSession *m_session = nullptr;
    TestPortal *m_portal = nullptr;
};

void TestOrvDomains::initTestCase()
{
    installConnectionWarningCheck();
    QVERIFY(TestPortal::trustTestCertificateAuthority());
}

void TestOrvDomains::init()
{
    m_environment = new TestEnvironment;
    m_session = new PortalSession;
    m_portal = &m_session->portal();
}

void TestOrvDomains::cleanup()
{
    delete m_session;
    m_session = nullptr;
    m_portal = nullptr;
    delete m_environment;
    m_environment = nullptr;
}

bool TestOrvDomains::startPortal(const QJsonArray &domains)
{
    if (!m_session->start(PortalSession::data(domains))) {
        return false;
    }
    // The same user as before: logging in keeps a stored list.
    PortalSession::storeLastUsername(QStringLiteral("alice"));
    return true;
}

void TestOrvDomains::loadAfterLoginThenPeriodicReload()
{
    QVERIFY(startPortal(domainsFrom(QStringLiteral("1[10,11]"))));
    Orv orv;
    orv.setReloadIntervalMs(200);
    QVERIFY(!reloadTimerOf(orv)->isActive());
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    QCOMPARE(shapeOf(orv.domainList()), QStringLiteral("1[10,11]"));
    QCOMPARE(StoredSettings::domains(), orv.getDomainsJson());
    QVERIFY(reloadTimerOf(orv)->isActive());
    const QList<TestPortal::Request> requests = m_portal->requests();
    QCOMPARE(requests.last().route, TestPortal::Route::Domains);
    QCOMPARE(QString::fromLatin1(requests.last().header("x-access-token")), m_portal->lastIssuedKey());

    // The timer's next tick picks up what changed on the portal, as a reload.
    TestPortal::Behaviour changed;
    changed.status = 200;
    changed.body = replyBody(domainsFrom(QStringLiteral("1[10,11] 2[20]"), QString::fromUtf8("Caffè ")));
    m_portal->setBehaviour(TestPortal::Route::Domains, changed);
    QSignalSpy reloaded(&orv, &Orv::onReloadDomainsSuccess);
    QSignalSpy loaded(&orv, &Orv::onLoadDomainsSuccess);
    QVERIFY(reloaded.wait(waitMs));
    QCOMPARE(loaded.count(), 0);
    QCOMPARE(shapeOf(orv.domainList()), QStringLiteral("1[10,11] 2[20]"));
    // Names outside ASCII survive the reply's decoding.
    QCOMPARE(orv.domainList().at(1)->name, QString::fromUtf8("Caffè 2"));
    QCOMPARE(StoredSettings::domains(), orv.getDomainsJson());
    QCOMPARE(orv.getDeviceByIdJson(20).size(), 1);
    QCOMPARE(orv.getDeviceByIdJson(20).at(0).toObject().value("id").toInt(), 20);

    orv.stopReloadDomainsTimer();
    QVERIFY(!reloadTimerOf(orv)->isActive());
    orv.startReloadDomainsTimer();
    QVERIFY(reloadTimerOf(orv)->isActive());
    QVERIFY(reloaded.wait(waitMs));
}

// A reply that brings the list already stored leaves the file alone but does all else a reply does; a changed
// list, and the first reply after a logout, are stored.
void TestOrvDomains::identicalReloadSkipsOnlyTheStore()
{
    QVERIFY(startPortal(domainsFrom(QStringLiteral("1[10,11]"))));
    Orv orv;
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    const QString file = m_environment->settingsFilePath();
    QSignalSpy reloaded(&orv, &Orv::onReloadDomainsSuccess);

    FileRewriteCounter sameList(file);
    orv.reloadDomains();
    QVERIFY(reloaded.wait(waitMs));
    QCOMPARE(sameList.count(), 0);
    QVERIFY(reloadTimerOf(orv)->isActive());
    QCOMPARE(shapeOf(orv.domainList()), QStringLiteral("1[10,11]"));

    TestPortal::Behaviour changed;
    changed.status = 200;
    changed.body = replyBody(domainsFrom(QStringLiteral("1[10] 2[20]")));
    m_portal->setBehaviour(TestPortal::Route::Domains, changed);
    FileRewriteCounter changedList(file);
    orv.reloadDomains();
    QVERIFY(reloaded.wait(waitMs));
    QCOMPARE(changedList.count(), 1);
    QCOMPARE(StoredSettings::domains(), orv.getDomainsJson());

    // Another user's login clears the stored list; the same reply after logout and login is stored again.
    orv.logout();
    StoredSettings::setDomains(QJsonArray());
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    QCOMPARE(StoredSettings::domains(), orv.getDomainsJson());
    QCOMPARE(shapeOf(orv.domainList()), QStringLiteral("1[10] 2[20]"));
}

void TestOrvDomains::merge_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("after");

    QTest::newRow("same domains reordered keep their objects and order")
        << "1[10,11] 2[20]" << replyBody(domainsFrom(QStringLiteral("2[20] 1[11,10]"), QStringLiteral("renamed ")))
        << "1[10,11] 2[20]";
    QTest::newRow("new domain listed first is appended")
        << "1[10,11] 2[20]" << replyBody(domainsFrom(QStringLiteral("3[30] 1[10,11] 2[20]"))) << "1[10,11] 2[20] 3[30]";
    QTest::newRow("vanished domain goes with its devices")
        << "1[10,11] 2[20]" << replyBody(domainsFrom(QStringLiteral("2[20]"))) << "2[20]";
    QTest::newRow("vanished device goes, new device is appended")
        << "1[10,11] 2[20]" << replyBody(domainsFrom(QStringLiteral("1[12,11] 2[20]"))) << "1[11,12] 2[20]";
    QTest::newRow("duplicate domain id: first merged, second appended")
        << "1[10,11] 2[20]" << replyBody(domainsFrom(QStringLiteral("1[10,11] 2[20] 1[15]"))) << "1[10,11] 2[20] 1[15]";
    QTest::newRow("empty list empties everything") << "1[10,11] 2[20]" << replyBody(QJsonArray()) << "";
    QTest::newRow("domains that are not an array count as empty")
        << "1[10,11] 2[20]" << QByteArray(R"({"domains": 5})") << "";
    QTest::newRow("element that is not an object is a domain 0")
        << "1[10]" << QByteArray(R"({"domains": [7, {"id": 1, "vpn_enable": 1, "devices": [{"id": 10}]}]})")
        << "1[10] 0[]";
}

void TestOrvDomains::merge()
{
    QFETCH(QString, before);
    QFETCH(QByteArray, reply);
    QFETCH(QString, after);

    QVERIFY(startPortal(domainsFrom(before)));
    Orv orv;
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    QCOMPARE(shapeOf(orv.domainList()), before);

    QHash<int, QPointer<OrvDomain>> oldDomains;
    QHash<int, QPointer<OrvDevice>> oldDevices;
    for (OrvDomain *domain : orv.domainList()) {
        oldDomains.insert(domain->id, domain);
        for (OrvDevice *device : domain->devices) {
            oldDevices.insert(device->id, device);
        }
    }

    TestPortal::Behaviour behaviour;
    behaviour.status = 200;
    behaviour.body = reply;
    m_portal->setBehaviour(TestPortal::Route::Domains, behaviour);
    QSignalSpy reloaded(&orv, &Orv::onReloadDomainsSuccess);
    orv.reloadDomains();
    QVERIFY(reloaded.wait(waitMs));
    QCOMPARE(shapeOf(orv.domainList()), after);

    // The first record of every id that stays is the object held before; every other old record is gone.
    QSet<int> seenDomains;
    QSet<int> seenDevices;
    for (OrvDomain *domain : orv.domainList()) {
        if (!seenDomains.contains(domain->id) && oldDomains.contains(domain->id)) {
            QCOMPARE(domain, oldDomains.value(domain->id).data());
        }
        seenDomains.insert(domain->id);
        for (OrvDevice *device : domain->devices) {
            if (!seenDevices.contains(device->id) && oldDevices.contains(device->id)) {
                QCOMPARE(device, oldDevices.value(device->id).data());
            }
            seenDevices.insert(device->id);
        }
    }
    for (auto it = oldDomains.cbegin(); it != oldDomains.cend(); ++it) {
        QCOMPARE(it.value().isNull(), !seenDomains.contains(it.key()));
    }
    for (auto it = oldDevices.cbegin(); it != oldDevices.cend(); ++it) {
        QCOMPARE(it.value().isNull(), !seenDevices.contains(it.key()));
    }

    // Names follow the reply; the list is stored as it now stands.
    const QJsonArray replied = QJsonDocument::fromJson(reply).object().value("domains").toArray();
    for (const QJsonValue &value : replied) {
        const QJsonObject object = value.toObject();
        const QJsonArray devices = object.value("devices").toArray();
        if (object.contains("name") && !devices.isEmpty()) {
            const OrvDomain *domain = orv.findDomainByDeviceId(devices.at(0).toObject().value("id").toInt());
            QVERIFY(domain);
            QCOMPARE(domain->name, object.value("name").toString());
        }
    }
    QCOMPARE(StoredSettings::domains(), orv.getDomainsJson());
}

void TestOrvDomains::failedReplyKeepsListSettingsAndTimer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("malformed");

    const QByteArray good = replyBody(domainsFrom(QStringLiteral("9[90]")));
    QTest::newRow("server error") << 500 << good << false;
    QTest::newRow("status 204") << 204 << QByteArray() << false;
    QTest::newRow("status 201 with a good body") << 201 << good << false;
    QTest::newRow("body that does not parse") << 0 << QByteArray() << true;
    QTest::newRow("JSON array") << 200 << QByteArray("[]") << false;
    QTest::newRow("object without domains") << 200 << QByteArray(R"({"domain": []})") << false;
}

void TestOrvDomains::failedReplyKeepsListSettingsAndTimer()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, malformed);

    QVERIFY(startPortal(domainsFrom(QStringLiteral("1[10] 2[20]"))));
    // The previous run stored another list: it stays until a reply succeeds.
    const QJsonArray stored = domainsFrom(QStringLiteral("5[50]"));
    storeSettings(stored, -1);
    TestPortal::Behaviour failing;
    failing.status = status;
    failing.body = body;
    failing.malformedBody = malformed;
    m_portal->setBehaviour(TestPortal::Route::Domains, failing);

    Orv orv;
    QSignalSpy loadErrors(&orv, &Orv::onLoadDomainsError);
    QVERIFY(!OrvDriver::logIn(orv, waitMs));
    QCOMPARE(loadErrors.count(), 1);
    QCOMPARE(shapeOf(orv.domainList()), QStringLiteral("5[50]"));
    QCOMPARE(StoredSettings::domains(), stored);
    QVERIFY(!reloadTimerOf(orv)->isActive());

    m_portal->resetBehaviours();
    QSignalSpy loaded(&orv, &Orv::onLoadDomainsSuccess);
    orv.loadDomains();
    QVERIFY(loaded.wait(waitMs));
    QCOMPARE(shapeOf(orv.domainList()), QStringLiteral("1[10] 2[20]"));
    const QJsonArray good = orv.getDomainsJson();
    const OrvDevice *device = orv.findDeviceById(20);
    QVERIFY(reloadTimerOf(orv)->isActive());

    // The same failure answering a reload: reload signal, nothing changed, the timer keeps running.
    m_portal->setBehaviour(TestPortal::Route::Domains, failing);
    QSignalSpy reloadErrors(&orv, &Orv::onReloadDomainsError);
    orv.reloadDomains();
    QVERIFY(reloadErrors.wait(waitMs));
    QCOMPARE(loadErrors.count(), 1);
    QCOMPARE(orv.getDomainsJson(), good);
    QCOMPARE(orv.findDeviceById(20), device);
    QCOMPARE(StoredSettings::domains(), good);
    QVERIFY(reloadTimerOf(orv)->isActive());
}

void TestOrvDomains::reloadWhileLoggedOut()
{
    QVERIFY(startPortal(domainsFrom(QStringLiteral("1[10]"))));
    Orv orv;
    QSignalSpy reloadErrors(&orv, &Orv::onReloadDomainsError);
    QSignalSpy loadErrors(&orv, &Orv::onLoadDomainsError);
    orv.reloadDomains();
    QCOMPARE(reloadErrors.count(), 1);
    orv.loadDomains();
    QCOMPARE(loadErrors.count(), 1);

    orv.setReloadIntervalMs(50);
    orv.startReloadDomainsTimer();
    // Every tick while logged out reports a failed reload and keeps the timer going.
    QTRY_VERIFY_WITH_TIMEOUT(reloadErrors.count() >= 3, waitMs);
    QVERIFY(reloadTimerOf(orv)->isActive());
    QCOMPARE(m_session->requestCount(TestPortal::Route::Domains), 0);
    QCOMPARE(loadErrors.count(), 1);
}

void TestOrvDomains::loadWhileReloadInFlightReportsLoad()
{
    QVERIFY(startPortal(domainsFrom(QStringLiteral("1[10]"))));
    Orv orv;
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    QSignalSpy loaded(&orv, &Orv::onLoadDomainsSuccess);
    QSignalSpy reloaded(&orv, &Orv::onReloadDomainsSuccess);
    orv.reloadDomains();
    orv.loadDomains();
    QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 2, waitMs);
    QCOMPARE(reloaded.count(), 0);
}

void TestOrvDomains::lastDeviceStartedOnceAfterFirstSuccess()
{
    QVERIFY(startPortal(domainsFrom(QStringLiteral("4[42]"))));
    storeSettings(QJsonArray(), 42);
    TestPortal::Behaviour failing;
    failing.status = 500;
    m_portal->setBehaviour(TestPortal::Route::Domains, failing);

    LogCapture log;
    const QString startLine = QStringLiteral("Orv::startVpnDevice(): \"Getting VPN domain config...\"");
    Orv orv;
    QSignalSpy configErrors(&orv, &Orv::onVpnStartGetConfigError);
    QVERIFY(!OrvDriver::logIn(orv, waitMs));
    QCOMPARE(log.count(startLine), 0);

    // The first successful reply, a reload here, starts the stored device once.
    m_portal->resetBehaviours();
    TestPortal::Behaviour noConfig;
    noConfig.status = 404;
    m_portal->setBehaviour(TestPortal::Route::VpnConfig, noConfig);
    QSignalSpy reloaded(&orv, &Orv::onReloadDomainsSuccess);
    orv.reloadDomains();
    QVERIFY(reloaded.wait(waitMs));
    QCOMPARE(log.count(startLine), 1);
    QVERIFY(configErrors.wait(waitMs));
    QCOMPARE(m_session->requestCount(TestPortal::Route::VpnConfig), 1);
    QVERIFY(m_portal->requests().last().path.endsWith("/api/v2/vpn/domain/4"));

    QSignalSpy loaded(&orv, &Orv::onLoadDomainsSuccess);
    orv.loadDomains();
    QVERIFY(loaded.wait(waitMs));
    orv.reloadDomains();
    QVERIFY(reloaded.wait(waitMs));
    QCOMPARE(log.count(startLine), 1);
    QCOMPARE(configErrors.count(), 1);
}

// A controller whose window has closed starts nothing from what was on its way, and works again once logged in.
void TestOrvDomains::loginAfterWindowClosedLoadsAgain()
{
    QVERIFY(startPortal(domainsFrom(QStringLiteral("1[10]"))));
    Orv orv;
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    TestPortal::Behaviour late;
    late.delayMs = 300;
    m_portal->setBehaviour(TestPortal::Route::Domains, late);
    QSignalSpy loaded(&orv, &Orv::onLoadDomainsSuccess);
    LogCapture log;
    orv.loadDomains();
    orv.m_exit();
    QTRY_VERIFY_WITH_TIMEOUT(
        log.contains(
            LogCapture::line("Orv::loadDomainsSuccess", QStringLiteral("The window has closed: nothing is started"))),
        waitMs);
    QCOMPARE(loaded.count(), 0);
    QVERIFY(!reloadTimerOf(orv)->isActive());

    m_portal->resetBehaviours();
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    QCOMPARE(loaded.count(), 1);
    QVERIFY(reloadTimerOf(orv)->isActive());
}

QTEST_MAIN(TestOrvDomains)
#include "TestOrvDomains.moc"

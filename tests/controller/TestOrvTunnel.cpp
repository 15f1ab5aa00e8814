#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include "controller/Orv.h"
#include "tests/support/HostileFolder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OrvDriver.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TunnelFixture.h"
#include "tools/testportal/TestPortal.h"
#include "tools/testtunnel/TestTunnel.h"

namespace
{
constexpr int waitMs = 30000;
const QString newWorkerLine = QStringLiteral("OrvVpn::start(): \"New worker thread\"");

QJsonObject device(int id, int domainId, int vpnStatus)
{
    return PortalSession::deviceAt(id, domainId, vpnStatus, QStringLiteral("10.8.0.1"));
}

int storedLastDeviceId()
{
    return StoredSettings::value(QStringLiteral("vpn/last_device_id"), -1).toInt();
}
} // namespace

// The whole road from a device to a running tunnel, through the real portal and a real OpenVPN server.
class TestOrvTunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void connectThenReconnectNextRun();
    void switchingDevices();
    void profileFilesWrittenAsSentAndRemovedWithTunnel();
    void pendingStartAndTeardown_data();
    void pendingStartAndTeardown();

private:
    bool startPortal(int device10Status = 1);
    QJsonObject portalData(int device10Status) const;

    TestTunnel *m_tunnel = nullptr;
    QTemporaryDir m_vpnFiles;
    // The same profile with a binary file beside it, for domain 4.
    QTemporaryDir m_binaryVpnFiles;
    TestEnvironment *m_environment = nullptr;
    PortalSession *m_session = nullptr;
    TestPortal *m_portal = nullptr;
};

void TestOrvTunnel::initTestCase()
{
    installConnectionWarningCheck();
    REQUIRE_TUNNELS();
    QVERIFY(TestPortal::trustTestCertificateAuthority());
    m_tunnel = new TestTunnel;
    QVERIFY2(m_tunnel->start(), qPrintable(m_tunnel->errorString()));
    // The portal hands out the profile with its files beside it, and the credentials with a CR LF line end.
    QVERIFY(TunnelFixture::writeVpnFolder(*m_tunnel, m_vpnFiles.path()));
    QVERIFY(TunnelFixture::writeVpnFolder(*m_tunnel, m_binaryVpnFiles.path()));
    QFile blob(m_binaryVpnFiles.filePath(QStringLiteral("blob.bin")));
    QVERIFY(blob.open(QIODevice::WriteOnly));
    for (int i = 0; i < 256; ++i) {
        // Every byte value: a zero, and bytes that are no UTF-8.
        QVERIFY(blob.putChar(char(255 - i)));
    }
}

void TestOrvTunnel::cleanupTestCase()
{
    delete m_tunnel;
    m_tunnel = nullptr;
}

void TestOrvTunnel::init()
{
    m_environment = new TestEnvironment;
    m_session = new PortalSession;
    m_portal = &m_session->portal();
}

void TestOrvTunnel::cleanup()
{
    delete m_session;
    m_session = nullptr;
    m_portal = nullptr;
    delete m_environment;
    m_environment = nullptr;
}

QJsonObject TestOrvTunnel::portalData(int device10Status) const
{
    const QJsonArray domains{QJsonObject{{"id", 1},
                                         {"name", "first"},
                                         {"vpn_enable", 1},
                                         {"devices", QJsonArray{device(10, 1, device10Status), device(11, 1, 0)}},
                                         {"vpn_folder", m_vpnFiles.path()}},
                             QJsonObject{{"id", 3},
                                         {"name", "second"},
                                         {"vpn_enable", 1},
                                         {"devices", QJsonArray{device(30, 3, 1)}},
                                         {"vpn_folder", m_vpnFiles.path()}},
                             QJsonObject{{"id", 4},
                                         {"name", "binary"},
                                         {"vpn_enable", 1},
                                         {"devices", QJsonArray{device(40, 4, 1)}},
                                         {"vpn_folder", m_binaryVpnFiles.path()}}};
    return PortalSession::data(domains);
}

bool TestOrvTunnel::startPortal(int device10Status)
{
    if (!m_session->start(portalData(device10Status))) {
        return false;
    }
    PortalSession::storeLastUsername(QStringLiteral("alice"));
    return true;
}

void TestOrvTunnel::connectThenReconnectNextRun()
{
    QVERIFY(startPortal());
    // Private files stay private whatever the umask.
    const mode_t previousMask = umask(0);
    {
        Orv orv;
        QVERIFY(OrvDriver::logIn(orv, waitMs));
        OrvVpn *vpn = OrvDriver::vpnOf(&orv);
        QSignalSpy connecting(vpn, &OrvVpn::onConnecting);
        QVERIFY2(OrvDriver::connectDevice(orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));
        QCOMPARE(connecting.count(), 1);
        QCOMPARE(connecting.first().at(0).toInt(), 10);
        QCOMPARE(storedLastDeviceId(), 10);

        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QCOMPARE(HostileFolder::modeOf(folder), 0700);
        const QStringList files = QDir(folder).entryList(QDir::Files, QDir::Name);
        QCOMPARE(files, (QStringList{"ca.crt", "client.crt", "client.key", "client.ovpn", "tls crypt.key"}));
        for (const QString &name : files) {
            QCOMPARE(HostileFolder::modeOf(folder + QLatin1Char('/') + name), 0600);
        }

        // Counters move with traffic through the tunnel.
        QTRY_VERIFY_WITH_TIMEOUT(orv.getVpnStatsJson().value("bytesIn").toDouble() > 0, waitMs);
        const QJsonObject before = orv.getVpnStatsJson();
        QCOMPARE(QProcess::execute(QStringLiteral("ping"),
                                   {"-c", "3", "-i", "0.2", "-W", "2", m_tunnel->serverTunnelAddress()}),
                 0);
        // Packets are read with the daemon's byte count, once a second.
        QTRY_VERIFY_WITH_TIMEOUT(orv.getVpnStatsJson().value("packetsIn").toDouble() >= 3, waitMs);
        const QJsonObject after = orv.getVpnStatsJson();
        QVERIFY(after.value("bytesIn").toDouble() > before.value("bytesIn").toDouble());
        QVERIFY(after.value("bytesOut").toDouble() > before.value("bytesOut").toDouble());
        QVERIFY(after.value("packetsOut").toDouble() >= 3);
        QVERIFY(after.value("lastPacketReceived").isDouble());

        // The device goes offline: a load only redraws, a reload stops the tunnel.
        QVERIFY(m_portal->setData(portalData(0)));
        QSignalSpy loaded(&orv, &Orv::onLoadDomainsSuccess);
        orv.loadDomains();
        QVERIFY(loaded.wait(waitMs));
        QCOMPARE(vpn->getStatus(), 3);
        QSignalSpy reloaded(&orv, &Orv::onReloadDomainsSuccess);
        QSignalSpy disconnected(vpn, &OrvVpn::onDisconnected);
        orv.reloadDomains();
        QVERIFY(reloaded.wait(waitMs));
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, waitMs);
        QCOMPARE(vpn->getStatus(), 1);
        QCOMPARE(orv.getVpnStatsJson().value("bytesIn").toDouble(), 0.0);
        // The tunnel has ended: the keys it was started from are gone.
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
        orv.m_exit();
    }
    umask(previousMask);

    // The next run reconnects the stored device after its first domain load.
    QVERIFY(m_portal->setData(portalData(1)));
    Orv orv;
    OrvVpn *vpn = OrvDriver::vpnOf(&orv);
    QSignalSpy connected(vpn, &OrvVpn::onConnected);
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    QVERIFY(connected.wait(waitMs));
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.first().at(0).toInt(), 10);
    QVERIFY(OrvDriver::stopTunnel(orv, waitMs));
}

void TestOrvTunnel::switchingDevices()
{
    QVERIFY(startPortal());
    Orv orv;
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    OrvVpn *vpn = OrvDriver::vpnOf(&orv);
    QVERIFY2(OrvDriver::connectDevice(orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));

    QStringList events;
    connect(vpn, &OrvVpn::onConnecting, this, [&](int id) { events.append(QStringLiteral("connecting %1").arg(id)); });
    connect(vpn, &OrvVpn::onConnected, this, [&](int id) { events.append(QStringLiteral("connected %1").arg(id)); });
    connect(vpn, &OrvVpn::onDisconnected, this, [&] {
        events.append(QStringLiteral("disconnected, status %1").arg(vpn->getStatus()));
    });

    // A failed download leaves the running tunnel alone.
    TestPortal::Behaviour failing;
    failing.status = 500;
    m_portal->setBehaviour(TestPortal::Route::VpnConfig, failing);
    QSignalSpy configError(&orv, &Orv::onVpnStartGetConfigError);
    orv.startVpnDevice(30);
    QVERIFY(configError.wait(waitMs));
    QCOMPARE(events, QStringList());
    QCOMPARE(vpn->getStatus(), 3);

    // An offline device: receivers see a disconnection, the tunnel keeps running.
    orv.startVpnDevice(11);
    QCOMPARE(events, QStringList{"disconnected, status 3"});
    QCOMPARE(vpn->getStatus(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(orv.getVpnStatsJson().value("bytesIn").toDouble() > 0, waitMs);
    QCOMPARE(events.size(), 1);
    events.clear();

    // B's configuration downloads while A stays up; then A goes down and B comes up.
    TestPortal::Behaviour late;
    late.delayMs = 1000;
    m_portal->setBehaviour(TestPortal::Route::VpnConfig, late);
    QSignalSpy received(m_portal, &TestPortal::requestReceived);
    orv.startVpnDevice(30);
    QVERIFY(received.wait(waitMs));
    QCOMPARE(m_portal->requests().at(received.last().at(0).toInt()).route, TestPortal::Route::VpnConfig);
    QCOMPARE(vpn->getStatus(), 3);
    QCOMPARE(events, QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("connected 30")), waitMs);
    QCOMPARE(events.first(), QStringLiteral("disconnected, status 1"));
    QCOMPARE(events.last(), QStringLiteral("connected 30"));
    QVERIFY(!events.contains(QStringLiteral("connected 10")));
    QCOMPARE(storedLastDeviceId(), 30);
    QVERIFY(OrvDriver::stopTunnel(orv, waitMs));
}

// The files are written byte for byte as the portal sent them, checked against the MD5 of those bytes, and they
// go when the tunnel they served has ended.
void TestOrvTunnel::profileFilesWrittenAsSentAndRemovedWithTunnel()
{
    QVERIFY(startPortal());
    Orv orv;
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    QVERIFY2(OrvDriver::connectDevice(orv, 40, waitMs), qPrintable(m_tunnel->serverLog()));

    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QStringList sent = QDir(m_binaryVpnFiles.path()).entryList(QDir::Files, QDir::Name);
    QStringList expected = sent;
    expected.removeAll(QStringLiteral("credentials.txt"));
    QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name), expected);
    for (const QString &name : qAsConst(expected)) {
        QFile source(m_binaryVpnFiles.filePath(name));
        QFile written(folder + QLatin1Char('/') + name);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), source.readAll());
    }

    QVERIFY(OrvDriver::stopTunnel(orv, waitMs));
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
}

void TestOrvTunnel::pendingStartAndTeardown_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<int>("disconnections");
    // A stop while the old tunnel is going down reports nothing of its own: the old tunnel's end is the one report.
    QTest::newRow("logout cancels the waiting start") << "logout" << false << 1;
    QTest::newRow("exit cancels the waiting start") << "exit" << false << 1;
    QTest::newRow("stopVpn cancels the waiting start") << "stop" << false << 1;
    // The controller announces the offline device's disconnection at once; the old tunnel's end follows.
    QTest::newRow("offline device: the waiting start still waits for the old tunnel") << "offline" << true << 2;
    // Device 10's configuration is held back by the portal; the waiting tunnel is still device 30's.
    QTest::newRow("a newer start: the waiting start keeps its own device") << "newer" << true << 1;
}

// The action runs right after the configuration was accepted, while the old tunnel is going down.
void TestOrvTunnel::pendingStartAndTeardown()
{
    QFETCH(QString, action);
    QFETCH(bool, starts);
    QFETCH(int, disconnections);

    QVERIFY(startPortal());
    Orv orv;
    QVERIFY(OrvDriver::logIn(orv, waitMs));
    OrvVpn *vpn = OrvDriver::vpnOf(&orv);
    QVERIFY2(OrvDriver::connectDevice(orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));
    bool acted = false;
    bool startedAtOnce = false;
    LogCapture log;
    QSignalSpy disconnected(vpn, &OrvVpn::onDisconnected);
    QSignalSpy connected(vpn, &OrvVpn::onConnected);
    orv.startVpnDevice(30);
    // Connected after the controller: it runs right after the controller has accepted the configuration.
    const QList<Api *> requests = orv.findChildren<Api *>(QStringLiteral("configRequest"));
    QVERIFY(!requests.isEmpty());
    connect(requests.last(), &Api::onGetVpnDomainConfigSuccess, this, [&] {
        QCOMPARE(vpn->getStatus(), 0);
        acted = true;
        if (action == QLatin1String("logout")) {
            orv.logout();
        } else if (action == QLatin1String("exit")) {
            orv.m_exit();
        } else if (action == QLatin1String("stop")) {
            orv.stopVpn();
        } else if (action == QLatin1String("newer")) {
            TestPortal::Behaviour held;
            held.hold = true;
            m_portal->setBehaviour(TestPortal::Route::VpnConfig, held);
            orv.startVpnDevice(10);
            startedAtOnce = log.count(newWorkerLine) > 0;
        } else {
            orv.startVpnDevice(11);
            startedAtOnce = log.count(newWorkerLine) > 0;
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), disconnections, waitMs);
    QVERIFY(acted);
    QVERIFY(!startedAtOnce);
    QCOMPARE(log.count(newWorkerLine), starts ? 1 : 0);
    if (starts) {
        // The new tunnel may already be up while the disconnections above were awaited.
        QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, waitMs);
        QCOMPARE(connected.last().at(0).toInt(), 30);
        // The new tunnel is still the tunnel object's own: its counters are there and a stop reaches it.
        QTRY_VERIFY_WITH_TIMEOUT(orv.getVpnStatsJson().value("bytesIn").toDouble() > 0, waitMs);
        QVERIFY(OrvDriver::stopTunnel(orv, waitMs));
    } else {
        QCOMPARE(vpn->getStatus(), 1);
        QCOMPARE(connected.count(), 0);
    }
    // Neither the tunnel that ended nor the start given up leaves its keys behind.
    QCOMPARE(QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).entryList(QDir::Files),
             QStringList());
}

// The tunnel and the portal live in this process's own network namespace.
TUNNEL_TEST_MAIN(TestOrvTunnel, QGuiApplication)

#include "TestOrvTunnel.moc"

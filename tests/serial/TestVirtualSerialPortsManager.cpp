#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include "core/ExecCommand.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"
#include "serial/VirtualSerialPort.h"
#include "serial/VirtualSerialPortsManager.h"
#include "tests/serial/EchoServer.h"
#include "tests/serial/SerialTestRig.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestEnvironment.h"
#include "tools/testportal/TestPortal.h"
#include "vpn/OrvVpn.h"
#include "vpn/OrvVpnSignals.h"

namespace
{
constexpr const char *deviceKey = "device-key";
constexpr int bridgeTimeoutMs = 15000;

QString managerLine(const char *function, const QString &message)
{
    return QStringLiteral("VirtualSerialPortsManager::") + QLatin1String(function) + QStringLiteral("(): \"") + message
           + QLatin1Char('"');
}

const QString reconnectLine = managerLine("onPortDisconnected", QStringLiteral("Reconnect port after 100ms"));

QList<VirtualSerialPort *> savedPorts()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    return settings.getVirtualSerialPorts();
}

QStringList savedNames()
{
    const QList<VirtualSerialPort *> ports = savedPorts();
    QStringList names;
    for (VirtualSerialPort *port : ports) {
        names.append(port->serialName);
    }
    qDeleteAll(ports);
    return names;
}
} // namespace

// The manager against the stand-ins, a device played by the test portal with an echo behind it, and the real
// tunnel object driven through the relay the VPN worker uses.
class TestVirtualSerialPortsManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void constructionCopiesBridgeAndSparesOtherPairs();
    void createRefused_data();
    void createRefused();
    void bridgeFollowsTunnelAndReconnects();
    void bridgesFollowDomainUpdates();
    void overlappingConnectsSettle();
    void deviceDroppedByMergeIsUnbound();
    void bridgeOfDroppedDeviceStopsAtDomainUpdate();
    void destroy_data();
    void destroy();
    void destroyAllKeepsListAndLoadRebuilds();
    void loadGivesFreshNamesWhenTaken();

private:
    void makeManager();
    void tunnelUp(int deviceId);
    void tunnelDown();

    QScopedPointer<TestEnvironment> m_environment;
    QScopedPointer<SerialTestRig> m_rig;
    QScopedPointer<EchoServer> m_echo;
    QScopedPointer<TestPortal> m_device;
    QScopedPointer<OrvVpn> m_vpn;
    QScopedPointer<VirtualSerialPortsManager> m_manager;
    QList<OrvDomain *> m_domains;
    OrvDevice *m_first = nullptr;
    OrvDevice *m_second = nullptr;
};

void TestVirtualSerialPortsManager::initTestCase()
{
    installConnectionWarningCheck();
}

void TestVirtualSerialPortsManager::init()
{
    m_environment.reset(new TestEnvironment);
    m_rig.reset(new SerialTestRig);
    QVERIFY(m_rig->isValid());
    m_echo.reset(new EchoServer);
    QVERIFY(m_echo->start());
    m_device.reset(new TestPortal);
    QVERIFY(m_device->setCertificate(TestPortal::deviceCertificatePath(), TestPortal::deviceKeyPath()));
    m_device->setDeviceMode(QLatin1String(deviceKey), m_echo->serverPort());
    QVERIFY(m_device->start());

    auto *domain = new OrvDomain;
    domain->id = 1;
    for (int id : {7, 8}) {
        auto *device = new OrvDevice;
        device->id = id;
        device->domainId = 1;
        device->vpnStatus = 1;
        device->vpnIp = m_device->hostAndPort();
        device->apiKey = QLatin1String(deviceKey);
        domain->devices.append(device);
    }
    m_first = domain->devices.at(0);
    m_second = domain->devices.at(1);
    m_domains.append(domain);
    m_vpn.reset(new OrvVpn);
}

void TestVirtualSerialPortsManager::cleanup()
{
    m_manager.reset();
    m_vpn.reset();
    for (OrvDomain *domain : qAsConst(m_domains)) {
        domain->clearDevices();
        delete domain;
    }
    m_domains.clear();
    m_device.reset();
    m_echo.reset();
    m_rig.reset();
    m_environment.reset();
}

void TestVirtualSerialPortsManager::makeManager()
{
    m_manager.reset(new VirtualSerialPortsManager(m_vpn.data(), &m_domains, nullptr));
}

void TestVirtualSerialPortsManager::tunnelUp(int deviceId)
{
    m_vpn->deviceId = deviceId;
    emit orvVpnSignals->connected();
}

void TestVirtualSerialPortsManager::tunnelDown()
{
    emit orvVpnSignals->disconnected();
}

void TestVirtualSerialPortsManager::constructionCopiesBridgeAndSparesOtherPairs()
{
    // Pairs of an earlier run of ours, and pairs of other programs.
    for (const QStringList &pair : {QStringList{"COM5", "CNCAORV5"},
                                    QStringList{"COM9", "OTHER9"},
                                    QStringList{"COM12", "CNCAORVX"},
                                    QStringList{"COM6", "CNCAORV6"}}) {
        QCOMPARE(m_rig->runSetupc({"install", "PortName=" + pair.at(0), "PortName=" + pair.at(1)}).exitCode, 0);
    }
    LogCapture log;
    makeManager();
    QCOMPARE(m_rig->pairLines(),
             QStringList(
                 {"CNCA1 PortName=COM9", "CNCB1 PortName=OTHER9", "CNCA2 PortName=COM12", "CNCB2 PortName=CNCAORVX"}));
    const QFileInfo bridge(m_rig->workingPath() + QStringLiteral("/com2tcp"));
    QVERIFY(bridge.isFile());
    QVERIFY(bridge.isExecutable());
    QCOMPARE(bridge.size(), QFileInfo(QStringLiteral(COM2TCP_PATH)).size());
    QVERIFY(!log.contains(managerLine("VirtualSerialPortsManager", QStringLiteral("com2tcp not copied"))));

    // A second start finds the copy in place and keeps using it.
    QFile::setPermissions(bridge.filePath(), QFile::ReadOwner | QFile::WriteOwner);
    m_manager.reset();
    makeManager();
    QVERIFY(log.contains(managerLine("VirtualSerialPortsManager", QStringLiteral("com2tcp not copied"))));
    QVERIFY(QFileInfo(bridge.filePath()).isExecutable());
}

void TestVirtualSerialPortsManager::createRefused_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("withDevice");
    QTest::addColumn<bool>("failingInstall");
    QTest::addColumn<QString>("warning");
    QTest::newRow("type 4") << 4 << true << false << "Parity invalid";
    QTest::newRow("type -1") << -1 << true << false << "Parity invalid";
    QTest::newRow("no device") << 0 << false << false << "Device is NULL";
    QTest::newRow("setupc.exe fails") << 0 << true << true << "Serial not created";
}

void TestVirtualSerialPortsManager::createRefused()
{
    QFETCH(int, type);
    QFETCH(bool, withDevice);
    QFETCH(bool, failingInstall);
    QFETCH(QString, warning);
    if (failingInstall) {
        QVERIFY(m_rig->useFakeSetupc("#!/bin/sh\n[ \"$1\" = install ] && exit 1\nexit 0\n"));
    }
    makeManager();
    LogCapture log;
    QVERIFY(!m_manager->create(type, withDevice ? m_first : nullptr));
    QVERIFY(log.contains(managerLine("create", warning)));
    QVERIFY(m_manager->getVirtualPorts(7).isEmpty());
    QVERIFY(savedNames().isEmpty());
    QVERIFY(m_rig->pairLines().isEmpty());
}

void TestVirtualSerialPortsManager::bridgeFollowsTunnelAndReconnects()
{
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    QCOMPARE(m_rig->pairLines(), QStringList({"CNCA0 PortName=COM2", "CNCB0 PortName=CNCAORV2"}));
    QCOMPARE(savedNames(), QStringList{"COM2"});
    VirtualSerialPort *port = m_manager->getVirtualPorts(7).value(0);
    QVERIFY(port);

    // The tunnel to the port's device brings the bridge up; bytes go through the device and back.
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    QVERIFY(port->isConnected());
    const int visible = m_rig->openSide(QStringLiteral("COM2"));
    QVERIFY(visible >= 0);
    QVERIFY(SerialTestRig::writeAll(visible, "hello device\n"));
    QByteArray echoed;
    QTRY_COMPARE_WITH_TIMEOUT(
        (echoed += SerialTestRig::readAvailable(visible)), QByteArray("hello device\n"), bridgeTimeoutMs);

    // The bridge ends on the device's side: one second later it is up again.
    LogCapture log;
    m_echo->closeAll();
    QTRY_COMPARE_WITH_TIMEOUT(log.count(reconnectLine), 1, bridgeTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->acceptedCount(), 2, bridgeTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);

    // Tunnel down: the bridge stops and nothing reconnects it (the decision is taken as the bridge ends).
    tunnelDown();
    QVERIFY(!port->isConnected());
    QVERIFY(!port->execCommand->isRunning());
    QCOMPARE(log.count(reconnectLine), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 0, bridgeTimeoutMs);
}

void TestVirtualSerialPortsManager::bridgesFollowDomainUpdates()
{
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    QVERIFY(m_manager->create(1, m_second));
    VirtualSerialPort *first = m_manager->getVirtualPorts(7).value(0);
    VirtualSerialPort *second = m_manager->getVirtualPorts(8).value(0);
    QVERIFY(first && second);

    // Only the tunnel's device is bridged.
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    QVERIFY(first->isConnected());
    QVERIFY(!second->isConnected());

    // The list says the device went offline: its bridge stops.
    m_first->vpnStatus = 0;
    m_manager->onDomainsUpdated(&m_domains);
    QVERIFY(!first->isConnected());
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 0, bridgeTimeoutMs);

    // Back online: bridged again after the usual delay.
    m_first->vpnStatus = 1;
    m_manager->onDomainsUpdated(&m_domains);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    QVERIFY(first->isConnected());
    QVERIFY(!second->isConnected());

    // With the tunnel down a list update changes nothing.
    tunnelDown();
    QVERIFY(!first->isConnected());
    m_manager->onDomainsUpdated(&m_domains);
    QCOMPARE(m_manager->getVirtualPorts(7).size(), 1);
    QVERIFY(!first->isConnected());
}

void TestVirtualSerialPortsManager::overlappingConnectsSettle()
{
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    const int before = m_echo->acceptedCount();

    // A second port while the first is bridged: the first is stopped (reconnect in one second) and both are
    // brought online (connect in four): the later connect replaces the first port's bridge without a new cycle.
    LogCapture log;
    QVERIFY(m_manager->create(1, m_first));
    QCOMPARE(log.count(reconnectLine), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->acceptedCount(), before + 3, 3 * bridgeTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 2, bridgeTimeoutMs);
    QCOMPARE(log.count(reconnectLine), 1);
    for (VirtualSerialPort *port : m_manager->getVirtualPorts(7)) {
        QVERIFY(port->isConnected());
    }
}

void TestVirtualSerialPortsManager::deviceDroppedByMergeIsUnbound()
{
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    VirtualSerialPort *port = m_manager->getVirtualPorts(7).value(0);
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);

    // The merge deletes the device; the port no longer points at it and never reaches for it again.
    m_domains.first()->devices.removeOne(m_first);
    delete m_first;
    m_first = nullptr;
    QVERIFY(!port->device);
    LogCapture log;
    QSignalSpy ended(port, &VirtualSerialPort::onDisconnected);
    m_echo->closeAll();
    QVERIFY(ended.wait(bridgeTimeoutMs));
    QCOMPARE(log.count(reconnectLine), 0);
    QVERIFY(!port->connectPort());
    m_manager->onDomainsUpdated(&m_domains);
    QCOMPARE(m_manager->getVirtualPorts(7).size(), 1);
}

void TestVirtualSerialPortsManager::bridgeOfDroppedDeviceStopsAtDomainUpdate()
{
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    VirtualSerialPort *port = m_manager->getVirtualPorts(7).value(0);
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(port->isConnected(), bridgeTimeoutMs);

    // The tunnel stays up, but the list no longer holds the port's device.
    m_domains.first()->devices.removeOne(m_first);
    delete m_first;
    m_first = nullptr;
    QSignalSpy ended(port, &VirtualSerialPort::onDisconnected);
    m_manager->onDomainsUpdated(&m_domains);
    QVERIFY(!port->isConnected());
    QCOMPARE(ended.count(), 1);
    QCOMPARE(m_manager->getVirtualPorts(7).size(), 1);
}

void TestVirtualSerialPortsManager::destroy_data()
{
    QTest::addColumn<int>("deviceId");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("failingRemove");
    QTest::addColumn<bool>("destroyed");
    QTest::addColumn<QStringList>("namesLeft");
    QTest::newRow("unknown port") << 7 << 3 << false << false << QStringList{"COM2", "COM3", "COM4"};
    QTest::newRow("unknown device") << 99 << 0 << false << false << QStringList{"COM2", "COM3", "COM4"};
    QTest::newRow("first of two with one type") << 7 << 0 << false << true << QStringList{"COM3", "COM4"};
    QTest::newRow("setupc.exe fails to remove") << 7 << 0 << true << false << QStringList{"COM2", "COM3", "COM4"};
}

void TestVirtualSerialPortsManager::destroy()
{
    QFETCH(int, deviceId);
    QFETCH(int, type);
    QFETCH(bool, failingRemove);
    QFETCH(bool, destroyed);
    QFETCH(QStringList, namesLeft);
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    QVERIFY(m_manager->create(0, m_first));
    QVERIFY(m_manager->create(1, m_second));
    if (failingRemove) {
        QVERIFY(m_rig->useFakeSetupc(
            "#!/bin/sh\n[ \"$1\" = list ] && printf 'CNCA0 PortName=COM2\\nCNCB0 PortName=CNCAORV2\\n'\n"
            "[ \"$1\" = remove ] && exit 1\nexit 0\n"));
    }
    LogCapture log;
    QCOMPARE(m_manager->destroy(deviceId, type), destroyed);
    QCOMPARE(log.contains(managerLine("destroy", QStringLiteral("Serial not destroyed"))), failingRemove);
    QCOMPARE(savedNames(), namesLeft);
    QStringList listed;
    for (int id : {7, 8}) {
        for (VirtualSerialPort *port : m_manager->getVirtualPorts(id)) {
            listed.append(port->serialName);
        }
    }
    QCOMPARE(listed, namesLeft);
    if (!failingRemove) {
        QCOMPARE(m_rig->pairLines().size(), 2 * namesLeft.size());
    }
}

void TestVirtualSerialPortsManager::destroyAllKeepsListAndLoadRebuilds()
{
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    QVERIFY(m_manager->create(2, m_second));
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);

    m_manager->destroyAll();
    QVERIFY(m_rig->pairLines().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 0, bridgeTimeoutMs);
    QCOMPARE(m_manager->getVirtualPorts(7).size(), 1);
    QCOMPARE(m_manager->getVirtualPorts(8).size(), 1);
    QCOMPARE(savedNames(), QStringList({"COM2", "COM3"}));
    // A removed port refuses to connect, even from a timer armed before the removal.
    QVERIFY(!m_manager->getVirtualPorts(7).value(0)->connectPort());

    // The next login rebuilds the same ports with fresh pairs and, the tunnel being up, bridges the tunnel's device.
    m_manager->loadVirtualPorts();
    QCOMPARE(m_rig->pairLines().size(), 4);
    QCOMPARE(m_manager->getVirtualPorts(7).value(0)->serialName, QStringLiteral("COM2"));
    QCOMPARE(m_manager->getVirtualPorts(8).value(0)->serialName, QStringLiteral("COM3"));
    QCOMPARE(m_manager->getVirtualPorts(8).value(0)->type, 2);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    QVERIFY(m_manager->getVirtualPorts(7).value(0)->isConnected());
}

void TestVirtualSerialPortsManager::loadGivesFreshNamesWhenTaken()
{
    {
        QList<VirtualSerialPort *> ports;
        for (const auto &saved : {qMakePair(7, QStringLiteral("COM2")), qMakePair(99, QStringLiteral("COM3"))}) {
            auto *port = new VirtualSerialPort;
            port->deviceId = saved.first;
            port->serialName = saved.second;
            ports.append(port);
        }
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.setVirtualSerialPorts(ports);
        qDeleteAll(ports);
    }
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=OTHER2"}).exitCode, 0);
    makeManager();

    LogCapture log;
    m_manager->loadVirtualPorts();
    // COM2 belongs to another program, COM3 stays with the saved port whose device is not in the list.
    VirtualSerialPort *bound = m_manager->getVirtualPorts(7).value(0);
    VirtualSerialPort *unbound = m_manager->getVirtualPorts(99).value(0);
    QVERIFY(bound && unbound);
    QCOMPARE(bound->serialName, QStringLiteral("COM4"));
    QVERIFY(!unbound->device);
    QCOMPARE(unbound->serialName, QStringLiteral("COM3"));
    QCOMPARE(m_rig->pairLines(),
             QStringList(
                 {"CNCA0 PortName=COM2", "CNCB0 PortName=OTHER2", "CNCA1 PortName=COM4", "CNCB1 PortName=CNCAORV4"}));
    // Loading does not save: the new name reaches the settings with the next change.
    QCOMPARE(savedNames(), QStringList({"COM2", "COM3"}));

    // An unbound port told its device is online still refuses to connect.
    tunnelUp(99);
    QVERIFY(!unbound->connectPort());
    QVERIFY(!unbound->isConnected());
}

QTEST_GUILESS_MAIN(TestVirtualSerialPortsManager)
#include "TestVirtualSerialPortsManager.moc"

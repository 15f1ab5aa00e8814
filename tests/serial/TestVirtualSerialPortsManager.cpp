#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

#include "core/ExecCommand.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"
#include "serial/HelperPrograms.h"
#include "serial/VirtualSerialPort.h"
#include "serial/VirtualSerialPortsManager.h"
#include "tests/serial/EchoServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SerialTestRig.h"
#include "tests/support/StoredSettings.h"
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

QString portLine(const char *function, const char *message)
{
    return QStringLiteral("VirtualSerialPort::") + QLatin1String(function) + QStringLiteral("(): \"")
           + QLatin1String(message) + QLatin1Char('"');
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.setPermissions(permissions);
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
    void helpersNeverRunFromWorkingDirectory();
    void programFolderRefused_data();
    void programFolderRefused();
    void createRefused_data();
    void createRefused();
    void bridgeFollowsTunnelAndReconnects_data();
    void bridgeFollowsTunnelAndReconnects();
    void bridgeNeverOutlivesTunnel_data();
    void bridgeNeverOutlivesTunnel();
    void bridgesFollowDomainUpdates();
    void overlappingConnectsSettle();
    void deviceDroppedByMergeIsUnbound();
    void bridgeOfDroppedDeviceStopsAtDomainUpdate();
    void destroy_data();
    void destroy();
    void destroyAllKeepsListAndLoadRebuilds();
    void secondInstanceSparesLivePairs();
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
    // A runtime folder passed over leaves the program folder in /run: this test's own, never the machine's.
    if (geteuid() == 0) {
        QVERIFY(SerialTestRig::usePrivateRun());
    }
}

void TestVirtualSerialPortsManager::init()
{
    m_environment.reset(new TestEnvironment);
    m_rig.reset(new SerialTestRig);
    QVERIFY(m_rig->isValid());
    m_echo.reset(new EchoServer);
    m_device.reset(new TestPortal);
    QVERIFY(m_echo->startBehind(*m_device, QLatin1String(deviceKey)));

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
    // The device's echo is on loopback: that is the tunnel's interface here.
    m_vpn->interfaceName = QStringLiteral("lo");
}

void TestVirtualSerialPortsManager::tunnelDown()
{
    emit orvVpnSignals->disconnected();
}

void TestVirtualSerialPortsManager::constructionCopiesBridgeAndSparesOtherPairs()
{
    // Live pairs: of another instance of ours (held by this test, as by a program still running), and of other
    // programs.
    const QStringList live{"CNCA0 PortName=COM5",
                           "CNCB0 PortName=CNCAORV5",
                           "CNCA1 PortName=COM9",
                           "CNCB1 PortName=OTHER9",
                           "CNCA2 PortName=COM12",
                           "CNCB2 PortName=CNCAORVX"};
    for (const QStringList &pair :
         {QStringList{"COM5", "CNCAORV5"}, QStringList{"COM9", "OTHER9"}, QStringList{"COM12", "CNCAORVX"}}) {
        QCOMPARE(m_rig->runSetupc({"install", "PortName=" + pair.at(0), "PortName=" + pair.at(1)}).exitCode, 0);
    }
    LogCapture log;
    makeManager();
    QCOMPARE(m_rig->pairLines(), live);
    // com2tcp is unpacked into the private program folder, executable by us alone.
    const QString folder = m_rig->runtimeFolder() + QStringLiteral("/lumenbridge-bin");
    const QFileInfo bridge(folder + QStringLiteral("/com2tcp"));
    QVERIFY(bridge.isFile() && !bridge.isSymLink());
    QCOMPARE(bridge.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(readFile(bridge.filePath()), readFile(QStringLiteral(COM2TCP_PATH)));
    QCOMPARE(QFileInfo(folder).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(HelperPrograms::com2tcpPath(nullptr), bridge.filePath());
    QVERIFY(!log.contains(managerLine("VirtualSerialPortsManager", QStringLiteral("com2tcp not copied"))));
    QVERIFY(SerialTestRig::entries(m_rig->workingPath()).isEmpty());

    // A file found in its place at the next start is never used: a fresh copy replaces it.
    QVERIFY(writeFile(bridge.filePath(), "#!/bin/sh\nexit 0\n", QFile::ReadOwner | QFile::WriteOwner));
    m_manager.reset();
    makeManager();
    QCOMPARE(readFile(bridge.filePath()), readFile(QStringLiteral(COM2TCP_PATH)));
    QVERIFY(QFileInfo(bridge.filePath()).isExecutable());
    QCOMPARE(SerialTestRig::entries(folder), QStringList{"com2tcp"});
}

// Started from a directory another user can write, with programs and a link planted there: none of them is
// used, and the ports work all the same.
void TestVirtualSerialPortsManager::helpersNeverRunFromWorkingDirectory()
{
    const QString work = m_rig->workingPath();
    QVERIFY(QFile::setPermissions(work, QFile::Permissions(0x7777)));
    const QString marker = m_rig->path() + QStringLiteral("/planted-program-ran");
    const QByteArray planted = "#!/bin/sh\necho \"$0 $*\" >> " + QFile::encodeName(marker) + "\nexit 0\n";
    const QFile::Permissions everybody = QFile::Permissions(0x7777);
    QVERIFY(writeFile(work + QStringLiteral("/setupc.exe"), planted, everybody));
    QVERIFY(writeFile(work + QStringLiteral("/com2tcp"), planted, everybody));
    const QString victim = m_rig->path() + QStringLiteral("/victim");
    QVERIFY(writeFile(victim, "precious\n", QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(QFile::link(victim, work + QStringLiteral("/xml_data")));
    const QStringList planting = SerialTestRig::entries(work);

    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    const int visible = m_rig->openSide(QStringLiteral("COM2"));
    QVERIFY(visible >= 0);
    QVERIFY(SerialTestRig::writeAll(visible, "real bridge\n"));
    QByteArray echoed;
    QTRY_COMPARE_WITH_TIMEOUT(
        (echoed += SerialTestRig::readAvailable(visible)), QByteArray("real bridge\n"), bridgeTimeoutMs);
    QVERIFY(m_manager->destroy(7, 0));

    QVERIFY2(!QFileInfo::exists(marker), readFile(marker).constData());
    QCOMPARE(readFile(victim), QByteArray("precious\n"));
    QCOMPARE(SerialTestRig::entries(work), planting);
}

void TestVirtualSerialPortsManager::programFolderRefused_data()
{
    QTest::addColumn<QStringList>("scene");
    QTest::addColumn<QString>("runtime");   // XDG_RUNTIME_DIR, below the scene unless absolute
    QTest::addColumn<QString>("untouched"); // a folder nothing may be written into, the same way
    QTest::addColumn<QString>("unpacked");  // where com2tcp goes, below the scene; empty: refused

    // As root the runtime folder is one the program made for itself; any other is refused, never passed over.
    QTest::newRow("runtime folder owned by another user") << QStringList{"d rt 0700", "o rt"} << "rt"
                                                          << "rt" << QString();
    QTest::newRow("runtime folder writable by others") << QStringList{"d rt 0777"} << "rt"
                                                       << "rt" << QString();
    QTest::newRow("runtime folder is another user's link in a shared folder")
        << QStringList{"d shared 01777", "d target 0700", "l shared/rt /target", "o shared/rt"} << "shared/rt"
        << "target" << QString();
    QTest::newRow("program folder is a link")
        << QStringList{"d rt 0700", "d target 0700", "l rt/lumenbridge-bin /target"} << "rt"
        << "target" << QString();
    QTest::newRow("a private runtime folder of ours") << QStringList{"d rt 0700", "d target 0700"} << "rt"
                                                      << "target"
                                                      << "rt/lumenbridge-bin/com2tcp";
}

// The program folder comes from XDG_RUNTIME_DIR when that is root's: a folder that another user could change is
// refused, and said so.
void TestVirtualSerialPortsManager::programFolderRefused()
{
    QFETCH(QStringList, scene);
    QFETCH(QString, runtime);
    QFETCH(QString, untouched);
    QFETCH(QString, unpacked);
    if (geteuid() != 0) {
        QSKIP("needs root to hand folders to another user");
    }
    const QString root = m_rig->path() + QStringLiteral("/scene");
    QVERIFY(QDir().mkpath(root));
    QVERIFY(SerialTestRig::buildScene(root, scene));
    const auto place = [&root](const QString &path) {
        return path.startsWith('/') ? path : root + '/' + path;
    };
    QVERIFY(QDir().mkpath(place(runtime)));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(place(runtime)));
    const QStringList before = SerialTestRig::entries(place(untouched));

    LogCapture log;
    makeManager();
    bool said = false;
    for (const LogCapture::Line &line : log.lines()) {
        said = said || (line.type == QtWarningMsg && line.text.contains(QLatin1String("refusing the program folder")));
    }
    QCOMPARE(said, unpacked.isEmpty());
    QCOMPARE(log.contains(managerLine("VirtualSerialPortsManager", QStringLiteral("com2tcp not copied"))),
             unpacked.isEmpty());
    QCOMPARE(SerialTestRig::entries(place(untouched)), before);
    QString error;
    QCOMPARE(HelperPrograms::com2tcpPath(&error), unpacked.isEmpty() ? QString() : place(unpacked));
    QCOMPARE(error.isEmpty(), !unpacked.isEmpty());
    QVERIFY(SerialTestRig::entries(m_rig->workingPath()).isEmpty());
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
    QVERIFY(StoredSettings::serialPortNames().isEmpty());
    QVERIFY(m_rig->pairLines().isEmpty());
}

void TestVirtualSerialPortsManager::bridgeFollowsTunnelAndReconnects_data()
{
    QTest::addColumn<bool>("holderKilled");
    QTest::addColumn<int>("reconnects");
    QTest::newRow("the device drops the bridge") << false << 1;
    // The bridge ends with its pair; the next one finds the pair gone, and the port makes it again.
    QTest::newRow("the pair's holder is killed, its number another user's terminal") << true << 2;
}

void TestVirtualSerialPortsManager::bridgeFollowsTunnelAndReconnects()
{
    QFETCH(bool, holderKilled);
    QFETCH(int, reconnects);
    if (holderKilled && geteuid() != 0) {
        QSKIP("needs root to hand a terminal to another user");
    }
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    QCOMPARE(m_rig->pairLines(), QStringList({"CNCA0 PortName=COM2", "CNCB0 PortName=CNCAORV2"}));
    QCOMPARE(StoredSettings::serialPortNames(), QStringList{"COM2"});
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

    // The bridge ends: one second later it is up again.
    LogCapture log;
    if (holderKilled) {
        QVERIFY(m_rig->killHolderOf(QStringLiteral("CNCAORV2")));
        QVERIFY(QTest::qWaitFor([&] { return m_rig->takeTerminalNumber(QStringLiteral("CNCAORV2")) >= 0; },
                                bridgeTimeoutMs));
    } else {
        m_echo->closeAll();
    }
    QTRY_COMPARE_WITH_TIMEOUT(log.count(reconnectLine), reconnects, bridgeTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->acceptedCount(), 2, bridgeTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    if (holderKilled) {
        // The port is back under its name, its bridge on its own pair.
        QCOMPARE(m_rig->pairLines(), QStringList({"CNCA0 PortName=COM2", "CNCB0 PortName=CNCAORV2"}));
        const int again = m_rig->openSide(QStringLiteral("COM2"));
        QVERIFY(again >= 0 && SerialTestRig::writeAll(again, "back again\n"));
        echoed.clear();
        QTRY_COMPARE_WITH_TIMEOUT(
            (echoed += SerialTestRig::readAvailable(again)), QByteArray("back again\n"), bridgeTimeoutMs);
    }

    // Tunnel down: the bridge stops and nothing reconnects it (the decision is taken as the bridge ends).
    tunnelDown();
    QVERIFY(!port->isConnected());
    QVERIFY(!port->execCommand->isRunning());
    QCOMPARE(log.count(reconnectLine), reconnects);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 0, bridgeTimeoutMs);
}

void TestVirtualSerialPortsManager::bridgeNeverOutlivesTunnel_data()
{
    QTest::addColumn<QString>("when"); // "delay": during the online delay; "request": while the device request is out
    QTest::addColumn<int>("tunnelAfter"); // the device the tunnel goes to afterwards, 0 for none
    QTest::addColumn<QString>("refusal"); // the port's last word; empty: the bridge comes up

    const QString notTunnel = portLine("connectPort", "Tunnel does not go to the device");
    const QString withdrawn = portLine("getRemoteAccessSuccess", "Bridge no longer wanted");
    QTest::newRow("tunnel stopped during the online delay") << "delay" << 0 << notTunnel;
    QTest::newRow("tunnel switched to another device during the online delay") << "delay" << 8 << notTunnel;
    QTest::newRow("tunnel stopped while the request is out") << "request" << 0 << withdrawn;
    QTest::newRow("tunnel switched to another device while the request is out") << "request" << 8 << withdrawn;
    QTest::newRow("tunnel back to the device during the online delay") << "delay" << 7 << QString();
}

// A port is bridged only while the tunnel goes to its device: a tunnel that goes away, or to another device,
// before the bridge starts leaves no bridge behind.
void TestVirtualSerialPortsManager::bridgeNeverOutlivesTunnel()
{
    QFETCH(QString, when);
    QFETCH(int, tunnelAfter);
    QFETCH(QString, refusal);
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    VirtualSerialPort *port = m_manager->getVirtualPorts(7).value(0);
    QVERIFY(port);
    TestPortal::Behaviour slowAnswer;
    slowAnswer.delayMs = 1000;
    m_device->setBehaviour(TestPortal::Route::RemoteAccess, slowAnswer);
    QSignalSpy asked(m_device.data(), &TestPortal::requestReceived);

    LogCapture log;
    tunnelUp(7);
    if (when == QLatin1String("request")) {
        QVERIFY(asked.wait(bridgeTimeoutMs));
    }
    tunnelDown();
    if (tunnelAfter != 0) {
        tunnelUp(tunnelAfter);
    }

    if (refusal.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
        QVERIFY(port->isConnected());
        QCOMPARE(log.texts().filter(QStringLiteral("/com2tcp\"")).size(), 1);
        return;
    }
    QTRY_VERIFY2_WITH_TIMEOUT(log.contains(refusal),
                              qPrintable(QStringLiteral("bridged: %1, device connections: %2")
                                             .arg(port->isConnected())
                                             .arg(m_echo->acceptedCount())),
                              bridgeTimeoutMs);
    QVERIFY(!port->isConnected());
    QVERIFY(!port->execCommand->isRunning());
    // No bridge program was started at all. The device's echo listens on loopback, where another test's
    // program retrying a port it once used can land, so its count of connections says less.
    QVERIFY(log.texts().filter(QStringLiteral("/com2tcp\"")).isEmpty());
    QCOMPARE(asked.count(), when == QLatin1String("request") ? 1 : 0);
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
    // brought online (connect in four). A port has one connect pending at most, the later one: each connects once.
    LogCapture log;
    QVERIFY(m_manager->create(1, m_first));
    QCOMPARE(log.count(reconnectLine), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 2, 3 * bridgeTimeoutMs);
    QCOMPARE(m_echo->acceptedCount(), before + 2);
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
    QCOMPARE(StoredSettings::serialPortNames(), namesLeft);
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
    QCOMPARE(StoredSettings::serialPortNames(), QStringList({"COM2", "COM3"}));
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

// Another instance starting and logging in while this one's port is bridged: the port keeps working. A new login
// of this one replaces its own pairs rather than leaving them behind.
void TestVirtualSerialPortsManager::secondInstanceSparesLivePairs()
{
    makeManager();
    QVERIFY(m_manager->create(0, m_first));
    tunnelUp(7);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, bridgeTimeoutMs);
    const int visible = m_rig->openSide(QStringLiteral("COM2"));
    QVERIFY(visible >= 0);

    VirtualSerialPortsManager second(m_vpn.data(), &m_domains, nullptr);
    second.loadVirtualPorts();
    QVERIFY(SerialTestRig::writeAll(visible, "still there\n"));
    QByteArray echoed;
    QTRY_COMPARE_WITH_TIMEOUT(
        (echoed += SerialTestRig::readAvailable(visible)), QByteArray("still there\n"), bridgeTimeoutMs);
    QCOMPARE(m_echo->acceptedCount(), 1);
    // Its own pair for the saved port is another one.
    QCOMPARE(second.getVirtualPorts(7).value(0)->serialName, QStringLiteral("COM3"));

    m_manager->loadVirtualPorts();
    QCOMPARE(m_rig->pairLines(),
             QStringList(
                 {"CNCA1 PortName=COM3", "CNCB1 PortName=CNCAORV3", "CNCA0 PortName=COM2", "CNCB0 PortName=CNCAORV2"}));
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
        StoredSettings::setSerialPorts(ports);
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
    QCOMPARE(StoredSettings::serialPortNames(), QStringList({"COM2", "COM3"}));

    // An unbound port told its device is online still refuses to connect.
    tunnelUp(99);
    QVERIFY(!unbound->connectPort());
    QVERIFY(!unbound->isConnected());
}

QTEST_GUILESS_MAIN(TestVirtualSerialPortsManager)
#include "TestVirtualSerialPortsManager.moc"

#include <csignal>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QScopedPointer>
#include <QSet>
#include <QtEndian>
#include <QtTest>

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/types.h>
#include <unistd.h>

#include "controller/Orv.h"
#include "serial/VirtualSerialPort.h"
#include "serial/VirtualSerialPortsManager.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OrvDriver.h"
#include "tests/support/PortalSession.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/SerialTestRig.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TunnelFixture.h"
#include "tools/testportal/TestPortal.h"
#include "tools/testtunnel/TestTunnel.h"
#include "vpn/engine/RouteLookup.h"

namespace
{
constexpr int waitMs = 30000;
// A server that went away is noticed by the keepalive the test server pushes (10 s), then connected to again.
constexpr int reconnectWaitMs = 60000;
// The manager's delays: a port brought online connects after four seconds, a bridge that ended after one.
// Qt may fire a coarse timer up to 5% early, so the lower bounds keep that margin.
constexpr qint64 onlineDelayFloorMs = 3800;
constexpr qint64 reconnectDelayFloorMs = 950;
constexpr const char *deviceKey = "device-key";
const QString reconnectLine =
    QStringLiteral("VirtualSerialPortsManager::onPortDisconnected(): \"Reconnect port after 100ms\"");
const QString connectLine = QStringLiteral("VirtualSerialPort::connectPort(): \"\"");

// A running com2tcp started from the program folder of this test's rig.
struct Bridge
{
    qint64 pid = 0;
    QString hiddenSide;
    // Its TCP connection to the device's echo is up: the bridge relays from now on.
    bool established = false;
};

// How /proc/net/tcp writes an IPv4 endpoint: the network-order address read as a native number, then the port.
QString procTcpEndpoint(const QString &address, quint16 port)
{
    const quint32 raw = qToBigEndian(QHostAddress(address).toIPv4Address());
    return QStringLiteral("%1:%2").arg(raw, 8, 16, QLatin1Char('0')).arg(port, 4, 16, QLatin1Char('0')).toUpper();
}

QSet<QByteArray> establishedSocketInodes(const QString &remoteEndpoint)
{
    QSet<QByteArray> inodes;
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) {
        return inodes;
    }
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
        if (fields.size() >= 10 && fields.at(2) == remoteEndpoint.toLatin1() && fields.at(3) == "01") {
            inodes.insert(fields.at(9));
        }
    }
    return inodes;
}

QList<Bridge> runningBridges(const QString &program, const QString &echoEndpoint)
{
    const QSet<QByteArray> echoSockets = establishedSocketInodes(echoEndpoint);
    QList<Bridge> bridges;
    for (const ProcessTable::Process &process : ProcessTable::processes()) {
        const QList<QByteArray> arguments = process.arguments();
        if (QString::fromLocal8Bit(arguments.value(0)) != program) {
            continue;
        }
        Bridge bridge;
        bridge.pid = process.pid;
        for (const QByteArray &argument : arguments) {
            if (argument.startsWith("//./")) {
                bridge.hiddenSide = QString::fromLocal8Bit(argument.mid(4));
            }
        }
        bridge.established = ProcessTable::socketInodes(process.pid).intersects(echoSockets);
        bridges.append(bridge);
    }
    return bridges;
}

QString hiddenSideOf(const QString &serialName)
{
    return QStringLiteral("CNCAORV") + serialName.mid(3);
}

QJsonObject device(int id, int type, int vpnStatus, const QString &vpnIp)
{
    return PortalSession::deviceAt(id, 1, vpnStatus, vpnIp, type, QLatin1String(deviceKey));
}

// A tap on a link: every packet that leaves through it from now on (only a tap of every protocol sees those).
int tapLink(int index)
{
    const int tap = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll link = {};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ALL);
    link.sll_ifindex = index;
    return tap >= 0 && bind(tap, reinterpret_cast<sockaddr *>(&link), sizeof link) == 0 ? tap : -1;
}

// The IPv4 packets that left since the last call, and how many of them went to port 443 over TCP.
QPair<int, int> packetsSent(int tap)
{
    QPair<int, int> sent;
    unsigned char packet[4096];
    sockaddr_ll from = {};
    socklen_t length = sizeof from;
    ssize_t n;
    while ((n = recvfrom(tap, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from), &length)) >= 20) {
        const int header = (packet[0] & 0x0f) * 4;
        const bool out = from.sll_pkttype == PACKET_OUTGOING && from.sll_protocol == htons(ETH_P_IP);
        sent.first += out;
        sent.second +=
            out && packet[9] == IPPROTO_TCP && n >= header + 4 && (packet[header + 2] << 8 | packet[header + 3]) == 443;
    }
    return sent;
}
} // namespace

// Virtual serial ports end to end: the controller, the portal, a real tunnel, and behind it a device (its
// remote-access service and a TCP echo) in the tunnel server's namespace. Bytes written to a port's visible
// side travel through the pair, com2tcp and the tunnel to the echo and back.
class TestSerialThroughTunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void bridgeComesUpReconnectsAndStopsWithTunnel();
    void bridgesFollowDeviceAndTunnel_data();
    void bridgesFollowDeviceAndTunnel();
    void logoutRemovesPairsAndLoginRebuildsThem();
    void bridgeNeverLeavesTheTunnel_data();
    void bridgeNeverLeavesTheTunnel();

private:
    QJsonObject portalData(int device10Status) const;
    QList<Bridge> bridges() const;
    bool isBridged(const QString &serialName, qint64 otherThanPid = 0) const;
    qint64 bridgePid(const QString &serialName) const;
    bool echoes(const QString &serialName, const QByteArray &payload);
    QStringList portNames(int deviceId);
    OrvVpn *vpn() const;

    QScopedPointer<TestTunnel> m_tunnel;
    QTemporaryDir m_vpnFiles;
    QScopedPointer<QProcess> m_echo;
    QScopedPointer<QProcess> m_deviceService;
    QString m_echoEndpoint;

    QScopedPointer<TestEnvironment> m_environment;
    QScopedPointer<SerialTestRig> m_rig;
    QScopedPointer<PortalSession> m_session;
    TestPortal *m_portal = nullptr;
    QScopedPointer<Orv> m_orv;
    QString m_bridgeProgram;
    QHash<QString, int> m_visibleSides;
};

void TestSerialThroughTunnel::initTestCase()
{
    installConnectionWarningCheck();
    REQUIRE_TUNNELS();
    QVERIFY(TestPortal::trustTestCertificateAuthority());
    m_tunnel.reset(new TestTunnel);
    QVERIFY2(m_tunnel->start(), qPrintable(m_tunnel->errorString()));
    QVERIFY(TunnelFixture::writeVpnFolder(*m_tunnel, m_vpnFiles.path()));

    // The device lives on the server's side of the tunnel: its echo on any port, its HTTPS service on 443.
    m_echo.reset(new QProcess);
    m_deviceService.reset(new QProcess);
    quint16 echoPort = 0;
    QVERIFY(TunnelFixture::startDevice(*m_tunnel,
                                       QStringLiteral(DEMO_ECHO_PATH),
                                       QStringLiteral(TESTPORTAL_PATH),
                                       QLatin1String(deviceKey),
                                       m_echo.data(),
                                       m_deviceService.data(),
                                       &echoPort));
    m_echoEndpoint = procTcpEndpoint(m_tunnel->serverTunnelAddress(), echoPort);
}

void TestSerialThroughTunnel::cleanupTestCase()
{
    m_deviceService.reset();
    m_echo.reset();
    m_tunnel.reset();
}

void TestSerialThroughTunnel::init()
{
    m_environment.reset(new TestEnvironment);
    m_rig.reset(new SerialTestRig);
    QVERIFY(m_rig->isValid());
    // The program runs com2tcp under exactly this name: its private folder in the runtime folder, then "/com2tcp".
    m_bridgeProgram = m_rig->runtimeFolder() + QStringLiteral("/lumenbridge-bin/com2tcp");
    m_visibleSides.clear();

    m_session.reset(new PortalSession);
    m_portal = &m_session->portal();
    QVERIFY(m_session->start(portalData(1)));
    PortalSession::storeLastUsername(QStringLiteral("alice"));
    m_orv.reset(new Orv);
    // Reloads happen when a test asks for them, never in the middle of a bridge check.
    m_orv->setReloadIntervalMs(3600 * 1000);
}

void TestSerialThroughTunnel::cleanup()
{
    const bool stopped = !m_orv || OrvDriver::stopTunnel(*m_orv, waitMs);
    // The controller first: its ports end their bridges; then the rig removes the pairs left.
    m_orv.reset();
    m_portal = nullptr;
    m_session.reset();
    m_rig.reset();
    m_environment.reset();
    QVERIFY(stopped);
    QVERIFY(bridges().isEmpty());
}

QJsonObject TestSerialThroughTunnel::portalData(int device10Status) const
{
    const QString address = m_tunnel->serverTunnelAddress();
    const QJsonArray domains{
        QJsonObject{{"id", 1},
                    {"name", "plant"},
                    {"vpn_enable", 1},
                    {"devices", QJsonArray{device(10, 1, device10Status, address), device(11, 5, 1, address)}},
                    {"vpn_folder", m_vpnFiles.path()}}};
    return PortalSession::data(domains);
}

OrvVpn *TestSerialThroughTunnel::vpn() const
{
    return OrvDriver::vpnOf(m_orv.data());
}

QList<Bridge> TestSerialThroughTunnel::bridges() const
{
    return runningBridges(m_bridgeProgram, m_echoEndpoint);
}

bool TestSerialThroughTunnel::isBridged(const QString &serialName, qint64 otherThanPid) const
{
    for (const Bridge &bridge : bridges()) {
        if (bridge.hiddenSide == hiddenSideOf(serialName) && bridge.established && bridge.pid != otherThanPid) {
            return true;
        }
    }
    return false;
}

qint64 TestSerialThroughTunnel::bridgePid(const QString &serialName) const
{
    for (const Bridge &bridge : bridges()) {
        if (bridge.hiddenSide == hiddenSideOf(serialName)) {
            return bridge.pid;
        }
    }
    return 0;
}

// Writes to the port's visible side and waits until exactly that comes back.
bool TestSerialThroughTunnel::echoes(const QString &serialName, const QByteArray &payload)
{
    if (!m_visibleSides.contains(serialName)) {
        const int fd = m_rig->openSide(serialName);
        if (fd < 0) {
            qWarning("cannot open %s", qPrintable(serialName));
            return false;
        }
        m_visibleSides.insert(serialName, fd);
    }
    const int fd = m_visibleSides.value(serialName);
    if (!SerialTestRig::writeAll(fd, payload)) {
        return false;
    }
    QByteArray received;
    const bool arrived = QTest::qWaitFor(
        [&] {
            received += SerialTestRig::readAvailable(fd);
            return received.size() >= payload.size();
        },
        waitMs);
    if (!arrived || received != payload) {
        qWarning() << serialName << "sent" << payload << "received" << received;
        return false;
    }
    return true;
}

QStringList TestSerialThroughTunnel::portNames(int deviceId)
{
    QStringList names;
    const QJsonArray ports = m_orv->getVirtualSerialPortsByDeviceIdJson(deviceId);
    for (const QJsonValue &port : ports) {
        names.append(port.toObject().value(QLatin1String("serialName")).toString());
    }
    return names;
}

void TestSerialThroughTunnel::bridgeComesUpReconnectsAndStopsWithTunnel()
{
    QVERIFY(OrvDriver::logIn(*m_orv, waitMs));
    // A port of another device on the same tunnel server: paired, never bridged while the tunnel goes to 10.
    QVERIFY(m_orv->create(0, 11));
    QVERIFY2(OrvDriver::connectDevice(*m_orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));

    QElapsedTimer sinceCreate;
    sinceCreate.start();
    QVERIFY(m_orv->create(2, 10));
    QCOMPARE(portNames(11), QStringList{"COM2"});
    QCOMPARE(portNames(10), QStringList{"COM3"});
    QCOMPARE(m_orv->getVirtualSerialPortsByDeviceIdJson(10).first().toObject().value("type").toInt(), 2);
    QCOMPARE(m_rig->pairLines(),
             QStringList(
                 {"CNCA0 PortName=COM2", "CNCB0 PortName=CNCAORV2", "CNCA1 PortName=COM3", "CNCB1 PortName=CNCAORV3"}));
    QCOMPARE(StoredSettings::serialPortNames(), QStringList({"COM2", "COM3"}));
    QVERIFY(bridges().isEmpty());

    // The bridge comes up after the online delay and carries bytes to the device and back through the tunnel.
    QTRY_VERIFY_WITH_TIMEOUT(isBridged("COM3"), waitMs);
    QVERIFY2(sinceCreate.elapsed() >= onlineDelayFloorMs, qPrintable(QString::number(sinceCreate.elapsed())));
    QVERIFY(echoes("COM3", "through the tunnel\n"));

    // com2tcp dies: one second later a new one runs and carries bytes again.
    LogCapture log;
    const qint64 firstPid = bridgePid("COM3");
    QElapsedTimer sinceKill;
    sinceKill.start();
    QCOMPARE(::kill(pid_t(firstPid), SIGKILL), 0);
    QTRY_COMPARE_WITH_TIMEOUT(log.count(reconnectLine), 1, waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(isBridged("COM3", firstPid), waitMs);
    QVERIFY2(sinceKill.elapsed() >= reconnectDelayFloorMs, qPrintable(QString::number(sinceKill.elapsed())));
    QVERIFY(echoes("COM3", "once more\n"));
    // Long after every connect armed so far has run, device 11's port is still not bridged.
    const QList<Bridge> running = bridges();
    QCOMPARE(running.size(), 1);
    QCOMPARE(running.first().hiddenSide, QStringLiteral("CNCAORV3"));
    QCOMPARE(log.count(reconnectLine), 1);

    // Tunnel down: the bridge stops, the pairs stay.
    QSignalSpy disconnected(vpn(), &OrvVpn::onDisconnected);
    m_orv->stopVpn();
    QVERIFY(disconnected.wait(waitMs));
    QTRY_VERIFY_WITH_TIMEOUT(bridges().isEmpty(), waitMs);
    QVERIFY(!m_orv->property("virtualSerialPortsManager")
                 .value<VirtualSerialPortsManager *>()
                 ->getVirtualPorts(10)
                 .first()
                 ->isConnected());
    QCOMPARE(m_rig->pairLines().size(), 4);
    QCOMPARE(StoredSettings::serialPortNames(), QStringList({"COM2", "COM3"}));
}

void TestSerialThroughTunnel::bridgesFollowDeviceAndTunnel_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("device offline at a reload: the bridges stop and so does the tunnel") << "reload";
    QTest::newRow("device offline at a load: the bridges stop, the tunnel stays, back online they return") << "load";
    // The server goes away and comes back pushing other options: the daemon reconnects on a new tun device.
    QTest::newRow("tunnel reconnects on a new device: the bridges come back on it") << "reconnect";
    QTest::newRow("tunnel interface down: the bridges end at once, nothing goes another way") << "down";
}

void TestSerialThroughTunnel::bridgesFollowDeviceAndTunnel()
{
    QFETCH(QString, change);
    const bool reload = change == QLatin1String("reload");
    QVERIFY(OrvDriver::logIn(*m_orv, waitMs));
    // Two ports made while the tunnel is down: both come up with the tunnel to their device.
    QVERIFY(m_orv->create(0, 10));
    QVERIFY(m_orv->create(1, 10));
    QVERIFY(bridges().isEmpty());
    QVERIFY2(OrvDriver::connectDevice(*m_orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));
    QTRY_VERIFY_WITH_TIMEOUT(isBridged("COM2") && isBridged("COM3"), waitMs);
    QVERIFY(echoes("COM2", "first port\n"));
    QVERIFY(echoes("COM3", "second port\n"));

    LogCapture log;
    QSignalSpy disconnected(vpn(), &OrvVpn::onDisconnected);
    if (change == QLatin1String("reconnect")) {
        const unsigned device = if_nametoindex(qPrintable(vpn()->interfaceName));
        QSignalSpy connected(vpn(), &OrvVpn::onConnected);
        m_tunnel->killServer();
        m_tunnel->setPushedOptions({QStringLiteral("route 10.203.0.0 255.255.0.0")});
        QVERIFY2(m_tunnel->startServer(), qPrintable(m_tunnel->errorString()));
        QVERIFY(connected.wait(reconnectWaitMs));
        QVERIFY(if_nametoindex(qPrintable(vpn()->interfaceName)) != device);
        QTRY_VERIFY_WITH_TIMEOUT(isBridged("COM2") && isBridged("COM3"), waitMs);
        QVERIFY(echoes("COM2", "first port, new device\n"));
        QVERIFY(echoes("COM3", "second port, new device\n"));
        QCOMPARE(disconnected.count(), 0);
        return;
    }
    if (change == QLatin1String("down")) {
        // The daemon notices at its keepalive's end; the bridges end at once, and their retries find no way through.
        QSignalSpy reconnecting(vpn(), &OrvVpn::onConnecting);
        QCOMPARE(QProcess::execute("ip", {"link", "set", vpn()->interfaceName, "down"}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(log.texts().filter(QStringLiteral("the device is not asked")).size(), 2, waitMs);
        QCOMPARE(reconnecting.count(), 0);
        QVERIFY(bridges().isEmpty());
        return;
    }
    QVERIFY(m_portal->setData(portalData(0)));
    if (reload) {
        QSignalSpy reloaded(m_orv.data(), &Orv::onReloadDomainsSuccess);
        m_orv->reloadDomains();
        QVERIFY(reloaded.wait(waitMs));
        QTRY_VERIFY_WITH_TIMEOUT(bridges().isEmpty(), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(vpn()->getStatus(), 1, waitMs);
        QVERIFY(disconnected.count() >= 1);
    } else {
        QSignalSpy loaded(m_orv.data(), &Orv::onLoadDomainsSuccess);
        m_orv->loadDomains();
        QVERIFY(loaded.wait(waitMs));
        QTRY_VERIFY_WITH_TIMEOUT(bridges().isEmpty(), waitMs);
        QCOMPARE(vpn()->getStatus(), 3);
        // The tunnel still goes to the device, so each stopped bridge arms its reconnect.
        QCOMPARE(log.count(reconnectLine), 2);
    }
    // Every reconnect armed by the stops runs, finds the device offline and brings nothing back.
    QTRY_COMPARE_WITH_TIMEOUT(log.count(connectLine), log.count(reconnectLine), waitMs);
    QVERIFY(bridges().isEmpty());
    for (VirtualSerialPort *port :
         m_orv->property("virtualSerialPortsManager").value<VirtualSerialPortsManager *>()->getVirtualPorts(10)) {
        QVERIFY(!port->isConnected());
    }
    QCOMPARE(m_rig->pairLines().size(), 4);

    if (!reload) {
        // The device answers again: the ports are brought online and bridged anew.
        QVERIFY(m_portal->setData(portalData(1)));
        QSignalSpy loaded(m_orv.data(), &Orv::onLoadDomainsSuccess);
        m_orv->loadDomains();
        QVERIFY(loaded.wait(waitMs));
        QTRY_VERIFY_WITH_TIMEOUT(isBridged("COM2") && isBridged("COM3"), waitMs);
        QVERIFY(echoes("COM2", "first port again\n"));
        QVERIFY(echoes("COM3", "second port again\n"));
        QCOMPARE(disconnected.count(), 0);
    }
}

void TestSerialThroughTunnel::logoutRemovesPairsAndLoginRebuildsThem()
{
    QVERIFY(OrvDriver::logIn(*m_orv, waitMs));
    QVERIFY(m_orv->create(3, 11));
    QVERIFY2(OrvDriver::connectDevice(*m_orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));
    QVERIFY(m_orv->create(0, 10));
    QTRY_VERIFY_WITH_TIMEOUT(isBridged("COM3"), waitMs);

    // Logout takes every pair and the running bridge, and keeps the port list.
    m_orv->logout();
    QVERIFY(m_rig->pairLines().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(bridges().isEmpty(), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(vpn()->getStatus(), 1, waitMs);
    QCOMPARE(StoredSettings::serialPortNames(), QStringList({"COM2", "COM3"}));
    QCOMPARE(portNames(10), QStringList{"COM3"});

    // The next login rebuilds the same pairs, and the rebuilt port bridges once the tunnel is up.
    QVERIFY(OrvDriver::logIn(*m_orv, waitMs));
    QCOMPARE(m_rig->pairLines(),
             QStringList(
                 {"CNCA0 PortName=COM2", "CNCB0 PortName=CNCAORV2", "CNCA1 PortName=COM3", "CNCB1 PortName=CNCAORV3"}));
    QCOMPARE(portNames(11), QStringList{"COM2"});
    QCOMPARE(portNames(10), QStringList{"COM3"});
    QCOMPARE(m_orv->getVirtualSerialPortsByDeviceIdJson(11).first().toObject().value("type").toInt(), 3);
    QVERIFY(bridges().isEmpty());
    QVERIFY2(OrvDriver::connectDevice(*m_orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));
    QTRY_VERIFY_WITH_TIMEOUT(isBridged("COM3"), waitMs);
    QVERIFY(echoes("COM3", "after the new login\n"));
    QCOMPARE(bridges().size(), 1);
}

void TestSerialThroughTunnel::bridgeNeverLeavesTheTunnel_data()
{
    QTest::addColumn<bool>("interfaceDown");
    QTest::newRow("tunnel interface down") << true;
    QTest::newRow("tunnel interface up, a more specific route outside") << false;
}

// The tunnel still counts as up, and a route leads to the device outside the tunnel (over the server's link, in
// clear): the device's request, which carries its key, is not sent that way, and no bridge starts.
void TestSerialThroughTunnel::bridgeNeverLeavesTheTunnel()
{
    QFETCH(bool, interfaceDown);
    QVERIFY(OrvDriver::logIn(*m_orv, waitMs));
    QVERIFY(m_orv->create(0, 10));
    LogCapture log;
    QVERIFY2(OrvDriver::connectDevice(*m_orv, 10, waitMs), qPrintable(m_tunnel->serverLog()));
    // The daemon's tun device; within the online delay, before the first bridge starts.
    const QString interface = vpn()->interfaceName;
    QVERIFY2(QFileInfo::exists(QStringLiteral("/sys/class/net/%1/tun_flags").arg(interface)), qPrintable(interface));
    const int tap = tapLink(RouteLookup::to(m_tunnel->serverAddress().toStdString()).interfaceIndex);
    QVERIFY(tap >= 0);
    const auto closeTap = qScopeGuard([tap] { close(tap); });
    const QString device = m_tunnel->serverTunnelAddress() + QStringLiteral("/32");
    QCOMPARE(QProcess::execute("ip", {"route", "add", device, "via", m_tunnel->serverAddress()}), 0);
    const auto removeRoute = qScopeGuard([device] { QProcess::execute("ip", {"route", "del", device}); });
    if (interfaceDown) {
        QCOMPARE(QProcess::execute("ip", {"link", "set", interface, "down"}), 0);
    }
    QVERIFY(log.count(connectLine) == 0);

    // The connect after the online delay finds the route and leaves the device unasked.
    QTRY_COMPARE_WITH_TIMEOUT(log.texts().filter(QStringLiteral("the device is not asked")).size(), 1, waitMs);
    const QPair<int, int> sent = packetsSent(tap);
    // The tunnel's own packets leave through that link; no request does.
    QVERIFY(sent.first > 0);
    QCOMPARE(sent.second, 0);
    QVERIFY(bridges().isEmpty());
}

// The tunnel, the portal and the bridges live in this process's own network namespace.
TUNNEL_TEST_MAIN(TestSerialThroughTunnel, QGuiApplication)

#include "TestSerialThroughTunnel.moc"

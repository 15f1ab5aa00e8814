#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include "core/ExecCommand.h"
#include "records/OrvDevice.h"
#include "serial/VirtualSerialPort.h"
#include "tests/serial/EchoServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SerialTestRig.h"
#include "tools/testportal/TestPortal.h"
#include "vpn/OrvVpn.h"
#include "vpn/OrvVpnSignals.h"

namespace
{
constexpr const char *deviceKey = "device-key";

QString logLine(const char *function, const char *message)
{
    return QStringLiteral("VirtualSerialPort::") + QLatin1String(function) + QStringLiteral("(): \"")
           + QLatin1String(message) + QLatin1Char('"');
}

// Records every call in calls.log; "busynames COM2" names COM20, as a tool matching by prefix would.
const QByteArray prefixMatchingSetupc = "#!/bin/sh\n"
                                        "echo \"$@\" >> calls.log\n"
                                        "if [ \"$1\" = busynames ] && [ \"$2\" = COM2 ]; then echo COM20; fi\n"
                                        "exit 0\n";
const QByteArray failingSetupc = "#!/bin/sh\n"
                                 "echo \"$@\" >> calls.log\n"
                                 "exit 1\n";
// Exit code 2 is the tool's "name in use".
const QByteArray allTakenSetupc = "#!/bin/sh\n"
                                  "exit 2\n";
// The real tool with a pair folder that others may write into, which it refuses.
const QByteArray refusingSetupc = "#!/bin/sh\n"
                                  "mkdir -p shared && chmod 0777 shared\n"
                                  "LUMENBRIDGE_SERIAL_DIR=\"$PWD/shared\" exec " SETUPC_PATH " \"$@\"\n";
} // namespace

// The live side of a port: its names, its pair, the device's reply and the bridge, run against the stand-ins.
class TestVirtualSerialPortBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void nameSearchAndCreate_data();
    void nameSearchAndCreate();
    void destroyRemovesOnlyItsOwnPair_data();
    void destroyRemovesOnlyItsOwnPair();
    void connectRefused_data();
    void connectRefused();
    void deviceReply_data();
    void deviceReply();
    void ownKillsAndBridgeEnd();
    void answerAfterWithdrawalStartsNothing_data();
    void answerAfterWithdrawalStartsNothing();

private:
    void tunnelTo(int deviceId);
    VirtualSerialPort *makePairedPort();

    QScopedPointer<SerialTestRig> m_rig;
    QScopedPointer<TestPortal> m_device;
    QScopedPointer<EchoServer> m_echo;
    QScopedPointer<OrvDevice> m_record;
    QScopedPointer<OrvVpn> m_vpn;
    QList<VirtualSerialPort *> m_ports;
};

void TestVirtualSerialPortBridge::initTestCase()
{
    installConnectionWarningCheck();
}

void TestVirtualSerialPortBridge::init()
{
    m_rig.reset(new SerialTestRig);
    QVERIFY(m_rig->isValid());
    // The manager would unpack com2tcp; the port only needs it to be there.
    QVERIFY(m_rig->placeCom2tcp());

    m_echo.reset(new EchoServer);
    m_device.reset(new TestPortal);
    QVERIFY(m_echo->startBehind(*m_device, QLatin1String(deviceKey)));

    m_record.reset(new OrvDevice);
    m_record->id = 7;
    m_record->vpnStatus = 1;
    m_record->vpnIp = m_device->hostAndPort();
    m_record->apiKey = QLatin1String(deviceKey);

    m_vpn.reset(new OrvVpn);
    tunnelTo(m_record->id);
}

void TestVirtualSerialPortBridge::cleanup()
{
    qDeleteAll(m_ports);
    m_ports.clear();
    m_vpn.reset();
    m_record.reset();
    m_device.reset();
    m_echo.reset();
    m_rig.reset();
}

// The tunnel goes to the device, as the relay of the VPN worker reports it; its interface is loopback, where the
// device's echo is.
void TestVirtualSerialPortBridge::tunnelTo(int deviceId)
{
    m_vpn->deviceId = deviceId;
    emit orvVpnSignals->connected();
    m_vpn->interfaceName = QStringLiteral("lo");
}

VirtualSerialPort *TestVirtualSerialPortBridge::makePairedPort()
{
    auto *port = new VirtualSerialPort;
    m_ports.append(port);
    port->device = m_record.data();
    port->deviceId = m_record->id;
    port->vpn = m_vpn.data();
    if (!port->create(m_ports)) {
        return nullptr;
    }
    return port;
}

void TestVirtualSerialPortBridge::nameSearchAndCreate_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("otherPairs");
    QTest::addColumn<QStringList>("listedNames");
    QTest::addColumn<QString>("serialName");
    QTest::addColumn<QString>("tcpName");
    QTest::addColumn<bool>("created");
    QTest::addColumn<QString>("critical"); // <work> stands for the working directory

    QTest::newRow("nothing taken") << QByteArray() << QStringList() << QStringList() << "COM2"
                                   << "CNCAORV2" << true << QString();
    QTest::newRow("listed ports take COM2 and CNCAORV3")
        << QByteArray() << QStringList() << QStringList{"COM2", "CNCAORV5", "COM9", "CNCAORV3"} << "COM4"
        << "CNCAORV4" << true << QString();
    QTest::newRow("another program holds COM2")
        << QByteArray() << QStringList{"COM2", "OTHER2"} << QStringList() << "COM3"
        << "CNCAORV3" << true << QString();
    // Port names know no case: com2 is COM2.
    QTest::newRow("another program holds com2")
        << QByteArray() << QStringList{"com2", "other2"} << QStringList() << "COM3"
        << "CNCAORV3" << true << QString();
    QTest::newRow("listed ports take com2 and cncaorv3")
        << QByteArray() << QStringList() << QStringList{"com2", "CNCAORV5", "COM9", "cncaorv3"} << "COM4"
        << "CNCAORV4" << true << QString();
    QTest::newRow("busynames names COM20 for candidate 2")
        << prefixMatchingSetupc << QStringList() << QStringList() << "COM3"
        << "CNCAORV3" << true << QString();
    QTest::newRow("no setupc.exe") << QByteArray("none") << QStringList() << QStringList() << "COM"
                                   << "CNCAORV" << false << logLine("assignPortsName", "com0com busynames not started");
    QTest::newRow("every name taken") << allTakenSetupc << QStringList() << QStringList() << "COM"
                                      << "CNCAORV" << false
                                      << logLine("assignPortsName", "No free port name up to COM256");
    // Any other failure is the tool's, not a busy name: the search ends at once, with the tool's own reason.
    QTest::newRow("pair folder refused") << refusingSetupc << QStringList() << QStringList() << "COM"
                                         << "CNCAORV" << false
                                         << logLine("assignPortsName",
                                                    "setupc.exe busynames failed with exit code 3: refusing the pair "
                                                    "folder <work>/shared: <work>/shared is writable by others");
}

void TestVirtualSerialPortBridge::nameSearchAndCreate()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, otherPairs);
    QFETCH(QStringList, listedNames);
    QFETCH(QString, serialName);
    QFETCH(QString, tcpName);
    QFETCH(bool, created);
    QFETCH(QString, critical);
    critical.replace(QLatin1String("<work>"), m_rig->workingPath());

    if (script == "none") {
        m_rig->removeSetupc();
    } else if (!script.isEmpty()) {
        QVERIFY(m_rig->useFakeSetupc(script));
    }
    if (!otherPairs.isEmpty()) {
        QCOMPARE(m_rig
                     ->runSetupc(QStringList{"install"}
                                 + QStringList{"PortName=" + otherPairs.at(0), "PortName=" + otherPairs.at(1)})
                     .exitCode,
                 0);
    }
    for (int i = 0; i + 1 < listedNames.size(); i += 2) {
        auto *listed = new VirtualSerialPort;
        listed->serialName = listedNames.at(i);
        listed->tcpName = listedNames.at(i + 1);
        m_ports.append(listed);
    }

    LogCapture log;
    auto *port = new VirtualSerialPort;
    // A port rebuilt at load is already listed: its own old names must not count against it.
    port->serialName = QStringLiteral("COM2");
    port->tcpName = QStringLiteral("CNCAORV2");
    m_ports.append(port);
    QCOMPARE(port->create(m_ports), created);
    QCOMPARE(port->serialName, serialName);
    QCOMPARE(port->tcpName, tcpName);
    QCOMPARE(log.count(critical), critical.isEmpty() ? 0 : 1);

    QFile calls(m_rig->workingPath() + QStringLiteral("/calls.log"));
    if (calls.open(QIODevice::ReadOnly)) {
        const QByteArray called = calls.readAll();
        // A failed search installs nothing; a fake that agreed was asked for the chosen names.
        QCOMPARE(called.contains("install"), created);
    }
    if (script.isEmpty() && created) {
        QVERIFY(m_rig->pairLines().contains(
            QStringLiteral("CNCB%1 PortName=%2").arg(otherPairs.isEmpty() ? 0 : 1).arg(tcpName)));
    }
}

void TestVirtualSerialPortBridge::destroyRemovesOnlyItsOwnPair_data()
{
    QTest::addColumn<QStringList>("otherPairs");
    QTest::addColumn<QString>("forcedName");
    QTest::addColumn<QString>("forcedHidden");
    QTest::addColumn<bool>("failingList");
    QTest::addColumn<bool>("destroyed");
    QTest::addColumn<bool>("ownPairRemoved");

    const QStringList other7{"COM7", "OTHER7"};
    QTest::newRow("COM2 spares COM20 and COM21")
        << QStringList{"COM20", "OTHER20", "COM21", "OTHER21"} << QString() << QString() << false << true << true;
    QTest::newRow("failed name search removes nothing") << other7 << "COM"
                                                        << "CNCAORV" << false << true << false;
    QTest::newRow("empty name removes nothing") << other7 << ""
                                                << "" << false << true << false;
    // A port that never made a pair this run (unbound at load) has no hidden name yet.
    QTest::newRow("never paired port spares a pair of its name") << other7 << "COM7"
                                                                 << "" << false << true << false;
    QTest::newRow("other program's pair of the same name") << other7 << "COM7"
                                                           << "CNCAORV7" << false << true << false;
    // Port names know no case: a port saved as com2 owns the pair listed as COM2.
    QTest::newRow("own pair named in another case") << other7 << "com2"
                                                    << "cncaorv2" << false << true << true;
    QTest::newRow("list fails") << other7 << QString() << QString() << true << false << false;
}

void TestVirtualSerialPortBridge::destroyRemovesOnlyItsOwnPair()
{
    QFETCH(QStringList, otherPairs);
    QFETCH(QString, forcedName);
    QFETCH(QString, forcedHidden);
    QFETCH(bool, failingList);
    QFETCH(bool, destroyed);
    QFETCH(bool, ownPairRemoved);

    for (int i = 0; i + 1 < otherPairs.size(); i += 2) {
        QCOMPARE(
            m_rig->runSetupc({"install", "PortName=" + otherPairs.at(i), "PortName=" + otherPairs.at(i + 1)}).exitCode,
            0);
    }
    const QStringList othersOnly = m_rig->pairLines();
    VirtualSerialPort *port = makePairedPort();
    QVERIFY(port);
    QCOMPARE(port->serialName, QStringLiteral("COM2"));
    if (!forcedName.isNull()) {
        port->serialName = forcedName;
        port->tcpName = forcedHidden;
    }
    if (failingList) {
        QVERIFY(m_rig->useFakeSetupc(failingSetupc));
    }

    QCOMPARE(port->destroy(), destroyed);
    QCOMPARE(port->apiDevice == nullptr, destroyed);
    const QStringList remaining = m_rig->pairLines();
    if (ownPairRemoved) {
        QCOMPARE(remaining, othersOnly);
    } else {
        // Our own pair stays: nothing was removed.
        QCOMPARE(remaining.size(), othersOnly.size() + 2);
    }
}

void TestVirtualSerialPortBridge::connectRefused_data()
{
    QTest::addColumn<QString>("why");
    QTest::newRow("no device") << "no device";
    QTest::newRow("device offline") << "offline";
    QTest::newRow("device deleted") << "deleted";
    QTest::newRow("requester released") << "released";
    QTest::newRow("tunnel down") << "tunnel down";
    QTest::newRow("tunnel to another device") << "other device";
    QTest::newRow("no tunnel object") << "no tunnel";
}

void TestVirtualSerialPortBridge::connectRefused()
{
    QFETCH(QString, why);
    VirtualSerialPort *port = makePairedPort();
    QVERIFY(port);
    auto *doomed = new OrvDevice;
    if (why == "no device") {
        port->device = nullptr;
    } else if (why == "offline") {
        m_record->vpnStatus = 0;
    } else if (why == "deleted") {
        port->device = doomed;
    } else if (why == "tunnel down") {
        emit orvVpnSignals->disconnected();
    } else if (why == "other device") {
        m_vpn->deviceId = 8;
    } else if (why == "no tunnel") {
        port->vpn = nullptr;
    } else {
        QVERIFY(port->destroy());
    }
    delete doomed;
    QVERIFY(!port->connectPort());
    QVERIFY(!port->isConnected());

    // A request of another port must be the first the device sees.
    m_record->vpnStatus = 1;
    tunnelTo(m_record->id);
    auto *witness = new VirtualSerialPort;
    m_ports.append(witness);
    witness->device = m_record.data();
    witness->deviceId = m_record->id;
    witness->vpn = m_vpn.data();
    QSignalSpy received(m_device.data(), &TestPortal::requestReceived);
    QVERIFY(witness->connectPort());
    QVERIFY(received.wait(10000));
    QCOMPARE(m_device->requests().size(), 1);
}

void TestVirtualSerialPortBridge::deviceReply_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("lastLine");

    QTest::newRow("status 500") << 500 << QByteArray("<remote_access/>") << logLine("getRemoteAccessError", "");
    QTest::newRow("status 204") << 204 << QByteArray() << logLine("getRemoteAccessError", "");
    QTest::newRow("body not XML") << 200 << QByteArray("dst_ip_port=4001 <")
                                  << logLine("getRemoteAccessSuccess", "XML has error");
    QTest::newRow("port element holds elements") << 200 << QByteArray("<r><dst_ip_port><x>1</x></dst_ip_port></r>")
                                                 << logLine("getRemoteAccessSuccess", "XML has error");
    QTest::newRow("no dst_ip_port and no port known")
        << 200 << QByteArray("<remote_access><type>0</type></remote_access>")
        << logLine("getRemoteAccessSuccess", "No remote port");
    QTest::newRow("port is not a number") << 200 << QByteArray("<r><dst_ip_port>serial</dst_ip_port></r>")
                                          << logLine("getRemoteAccessSuccess", "No remote port");
}

void TestVirtualSerialPortBridge::deviceReply()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, lastLine);

    VirtualSerialPort *port = makePairedPort();
    QVERIFY(port);
    TestPortal::Behaviour behaviour;
    behaviour.status = status;
    behaviour.body = body;
    m_device->setBehaviour(TestPortal::Route::RemoteAccess, behaviour);

    LogCapture log;
    QVERIFY(port->connectPort());
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(lastLine), 10000);
    QVERIFY(!port->isConnected());
    QCOMPARE(port->remotePort, 0);
    QVERIFY(!port->execCommand->isRunning());
    QCOMPARE(m_echo->acceptedCount(), 0);
    // The answer is read in memory: nothing lands in the working directory.
    QVERIFY(QDir(m_rig->workingPath()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System));
}

void TestVirtualSerialPortBridge::ownKillsAndBridgeEnd()
{
    VirtualSerialPort *port = makePairedPort();
    QVERIFY(port);
    QSignalSpy ended(port, &VirtualSerialPort::onDisconnected);

    QVERIFY(port->connectPort());
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, 10000);
    QVERIFY(port->isConnected());
    QCOMPARE(port->remotePort, int(m_echo->serverPort()));
    const int visible = m_rig->openSide(port->serialName);
    QVERIFY(visible >= 0);
    QVERIFY(SerialTestRig::writeAll(visible, "AT+PING\r"));
    QByteArray echoed;
    QTRY_COMPARE_WITH_TIMEOUT((echoed += SerialTestRig::readAvailable(visible)), QByteArray("AT+PING\r"), 10000);

    // A second connect replaces the bridge; that is not the bridge ending.
    QVERIFY(port->connectPort());
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->acceptedCount(), 2, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, 10000);
    QCOMPARE(ended.count(), 0);
    QVERIFY(port->isConnected());

    // The device dropping the connection ends the bridge: reported once, the port still counts as connected.
    m_echo->closeAll();
    QVERIFY(ended.wait(10000));
    QCOMPARE(ended.count(), 1);
    QVERIFY(port->isConnected());

    // disconnectPort ends a running bridge and reports it before it returns.
    QVERIFY(port->connectPort());
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->acceptedCount(), 3, 10000);
    QVERIFY(port->disconnectPort());
    QCOMPARE(ended.count(), 2);
    QVERIFY(!port->isConnected());
    QVERIFY(!port->execCommand->isRunning());
}

void TestVirtualSerialPortBridge::answerAfterWithdrawalStartsNothing_data()
{
    QTest::addColumn<QString>("withdrawal");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("port disconnected") << "disconnect" << logLine("getRemoteAccessSuccess", "Bridge no longer wanted");
    QTest::newRow("tunnel down") << "tunnel down"
                                 << logLine("getRemoteAccessSuccess", "Tunnel does not go to the device");
    QTest::newRow("tunnel to another device")
        << "other device" << logLine("getRemoteAccessSuccess", "Tunnel does not go to the device");
    // The bridge goes through the tunnel or nowhere.
    QTest::newRow("tunnel interface not known")
        << "no interface" << logLine("getRemoteAccessSuccess", "No tunnel interface to bind the bridge to");
}

// The device answers after the bridge stopped being wanted: no bridge comes up, whether the port was told or not.
void TestVirtualSerialPortBridge::answerAfterWithdrawalStartsNothing()
{
    QFETCH(QString, withdrawal);
    QFETCH(QString, refusal);
    VirtualSerialPort *port = makePairedPort();
    QVERIFY(port);
    TestPortal::Behaviour behaviour;
    behaviour.delayMs = 300;
    m_device->setBehaviour(TestPortal::Route::RemoteAccess, behaviour);

    LogCapture log;
    QVERIFY(port->connectPort());
    if (withdrawal == "disconnect") {
        QVERIFY(port->disconnectPort());
    } else if (withdrawal == "tunnel down") {
        emit orvVpnSignals->disconnected();
    } else if (withdrawal == "no interface") {
        m_vpn->interfaceName.clear();
    } else {
        emit orvVpnSignals->disconnected();
        tunnelTo(8);
    }
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(refusal), 10000);
    QVERIFY(!port->isConnected());
    QVERIFY(!port->execCommand->isRunning());
    QCOMPARE(m_echo->acceptedCount(), 0);

    // With the tunnel back to the device, a connect after that is served as usual.
    tunnelTo(m_record->id);
    QVERIFY(port->connectPort());
    QTRY_COMPARE_WITH_TIMEOUT(m_echo->openCount(), 1, 10000);
    QVERIFY(port->isConnected());
}

QTEST_GUILESS_MAIN(TestVirtualSerialPortBridge)
#include "TestVirtualSerialPortBridge.moc"

#include "serial/VirtualSerialPort.h"

#include <QJsonValue>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTimer>
#include <QXmlStreamReader>

#include <net/if.h>

#include "core/ExecCommand.h"
#include "core/Log.h"
#include "portal/ApiDevice.h"
#include "serial/HelperPrograms.h"
#include "vpn/OrvVpn.h"
#include "vpn/engine/RouteLookup.h"

namespace
{
constexpr const char *logModule = "orv_serials";
constexpr int firstPortNumber = 2;
// Windows numbers COM ports up to 256; a search that finds nothing below that will not find anything above.
constexpr int lastPortNumber = 256;
constexpr int onlineConnectDelayMs = 4000;
constexpr int maxTcpPort = 65535;
constexpr int tunnelConnected = 3;
// The pair tool's answer that a name is in use; any other failure ends the name search.
constexpr int setupcNameTaken = 2;
// com2tcp's answer that its port is not the second side of a live pair.
constexpr int com2tcpPairGone = 6;

void log(int level, const char *function, const QString &message)
{
    writeLog(level, logModule, function, message);
}

// Points the runner at the checked setupc.exe, with what it needs of our environment; at no program (so that the
// run fails to start) when it may not be run.
void useSetupc(ExecCommand *runner, const char *function)
{
    QString error;
    const QString path = HelperPrograms::setupcPath(&error);
    if (path.isEmpty()) {
        log(2, function, error);
    }
    runner->setProgram(path);
    runner->setInheritedVariables(HelperPrograms::setupcVariables());
}

// The tool's own reason, so that a refusal reads as itself and not as a busy name.
QString toolFailure(const QString &command, ExecCommand *runner)
{
    const QString reason = runner->errorLine();
    return QStringLiteral("setupc.exe %1 failed with exit code %2").arg(command).arg(runner->exitCode())
           + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
}

// Windows port names know no case: "com2" and "COM2" are one port.
bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Only numbered names can be ours: a port whose name search failed, or that never made a pair, has none.
bool numberedNames(const QString &serialName, const QString &tcpName)
{
    static const QRegularExpression ownSerialName(QStringLiteral("^COM[0-9]+$"),
                                                  QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression ownTcpName(QStringLiteral("^CNCAORV[0-9]+$"),
                                               QRegularExpression::CaseInsensitiveOption);
    return ownSerialName.match(serialName).hasMatch() && ownTcpName.match(tcpName).hasMatch();
}

// The numbers of the pairs in the tool's listing that carry both names, each on its own side.
QStringList ownPairs(const QString &listing, const QString &serialName, const QString &tcpName)
{
    // The tool lists names as they were given; the side markers are its own and keep their case.
    const QString nameEnd = QStringLiteral("(?:[,\\s].*)?$");
    const QRegularExpression visibleSide(QStringLiteral("^.*CNCA([0-9]+)\\b.*[=\\s](?i)")
                                         + QRegularExpression::escape(serialName) + nameEnd);
    const QRegularExpression hiddenSide(QStringLiteral("^.*CNCB([0-9]+)\\b.*[=\\s](?i)")
                                        + QRegularExpression::escape(tcpName) + nameEnd);
    const QStringList lines = listing.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    QStringList hidden;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = hiddenSide.match(line);
        if (match.hasMatch()) {
            hidden.append(match.captured(1));
        }
    }
    QStringList own;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = visibleSide.match(line);
        if (match.hasMatch() && hidden.contains(match.captured(1))) {
            own.append(match.captured(1));
        }
    }
    return own;
}

// The address part of a device's address, which test devices on loopback give with a port ("127.0.0.1:4443").
QString hostOf(const QString &address)
{
    const int colon = address.indexOf(QLatin1Char(':'));
    return colon < 0 || address.indexOf(QLatin1Char(':'), colon + 1) >= 0 ? address : address.left(colon);
}
} // namespace

VirtualSerialPort::VirtualSerialPort(QObject *parent)
    : QObject(parent)
    , apiDevice(new ApiDevice())
    , execCommand(new ExecCommand())
    , m_connectTimer(new QTimer(this))
{
    connect(
        apiDevice, SIGNAL(onGetRemoteAccessSuccess(int, QString)), this, SLOT(getRemoteAccessSuccess(int, QString)));
    connect(apiDevice, SIGNAL(onGetRemoteAccessError(int, QString)), this, SLOT(getRemoteAccessError(int, QString)));
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, SIGNAL(timeout()), this, SLOT(connectPort()));
}

VirtualSerialPort::~VirtualSerialPort()
{
    // The runner ends a bridge still running without reporting it: nobody is left to hear of it.
    delete execCommand;
    delete apiDevice;
}

QJsonObject VirtualSerialPort::toJson() const
{
    QJsonObject object;
    object.insert(QLatin1String("baudRate"), baudRate);
    object.insert(QLatin1String("dataBit"), dataBit);
    object.insert(QLatin1String("stopBit"), stopBit);
    object.insert(QLatin1String("parity"), parity);
    object.insert(QLatin1String("type"), type);
    object.insert(QLatin1String("deviceId"), deviceId);
    object.insert(QLatin1String("serialName"), serialName);
    object.insert(QLatin1String("raw"), raw);
    object.insert(QLatin1String("echo"), echo);
    object.insert(QLatin1String("terminator"), terminator);
    return object;
}

VirtualSerialPort *VirtualSerialPort::fromJson(QJsonObject object)
{
    // A missing key reads as 0, not as the constructor's value; the device is bound later by the manager.
    auto *port = new VirtualSerialPort();
    port->baudRate = object.value(QLatin1String("baudRate")).toInt(0);
    port->dataBit = object.value(QLatin1String("dataBit")).toInt(0);
    port->stopBit = object.value(QLatin1String("stopBit")).toInt(0);
    port->parity = object.value(QLatin1String("parity")).toInt(0);
    port->type = object.value(QLatin1String("type")).toInt(0);
    port->deviceId = object.value(QLatin1String("deviceId")).toInt(0);
    port->serialName = object.value(QLatin1String("serialName")).toString();
    port->raw = object.value(QLatin1String("raw")).toInt(0);
    port->echo = object.value(QLatin1String("echo")).toInt(0);
    port->terminator = object.value(QLatin1String("terminator")).toInt(0);
    return port;
}

bool VirtualSerialPort::runSetupc(const QStringList &arguments)
{
    if (execCommand->isRunning()) {
        execCommand->kill();
    }
    useSetupc(execCommand, "VirtualSerialPort::runSetupc");
    execCommand->setArguments(arguments);
    if (!execCommand->start() || !execCommand->waitForStarted() || !execCommand->waitForFinished()) {
        return false;
    }
    if (execCommand->exitCode() != 0) {
        log(2, "VirtualSerialPort::runSetupc", toolFailure(arguments.value(0), execCommand));
        return false;
    }
    return true;
}

bool VirtualSerialPort::assignPortsName(const QList<VirtualSerialPort *> &ports)
{
    const char *function = "VirtualSerialPort::assignPortsName";
    log(4, function, QLatin1String(""));
    serialName = QStringLiteral("COM");
    tcpName = QStringLiteral("CNCAORV");
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();

    for (int n = firstPortNumber; n <= lastPortNumber; ++n) {
        const QString serial = QStringLiteral("COM") + QString::number(n);
        const QString tcp = QStringLiteral("CNCAORV") + QString::number(n);
        bool busy = false;
        for (const QSerialPortInfo &info : present) {
            if (sameName(info.portName(), serial) || sameName(info.portName(), tcp)) {
                busy = true;
            }
        }
        for (const VirtualSerialPort *port : ports) {
            if (port != this && (sameName(port->serialName, serial) || sameName(port->tcpName, tcp))) {
                busy = true;
            }
        }

        // The pair tool is asked for every candidate: it also knows the names of other programs' pairs.
        if (execCommand->isRunning()) {
            execCommand->kill();
        }
        useSetupc(execCommand, function);
        execCommand->setArguments({QStringLiteral("busynames"), serial});
        if (!execCommand->start() || !execCommand->waitForStarted()) {
            log(1, function, QStringLiteral("com0com busynames not started"));
            return false;
        }
        if (!execCommand->waitForFinished()) {
            log(1, function, QStringLiteral("com0com busynames not finished"));
            return false;
        }
        if (execCommand->exitCode() != 0 && execCommand->exitCode() != setupcNameTaken) {
            log(1, function, toolFailure(QStringLiteral("busynames"), execCommand));
            return false;
        }
        // The tool prints names as they were given, in any case.
        if (execCommand->exitCode() != 0 || execCommand->output.contains(serial, Qt::CaseInsensitive)) {
            busy = true;
        }

        if (!busy) {
            serialName = serial;
            tcpName = tcp;
            log(4, function, QStringLiteral("serialName = '") + serialName + QLatin1Char('\''));
            log(4, function, QStringLiteral("tcpName = '") + tcpName + QLatin1Char('\''));
            return true;
        }
    }
    log(1, function, QStringLiteral("No free port name up to COM") + QString::number(lastPortNumber));
    return false;
}

bool VirtualSerialPort::create(const QList<VirtualSerialPort *> &ports)
{
    log(4, "VirtualSerialPort::create", QLatin1String(""));
    connected = false;
    bridgeWanted = false;
    m_pairGone = false;
    // Without a numbered name there is nothing sensible to install.
    if (!assignPortsName(ports)) {
        return false;
    }
    return runSetupc(
        {QStringLiteral("install"), QStringLiteral("PortName=") + serialName, QStringLiteral("PortName=") + tcpName});
}

bool VirtualSerialPort::destroy()
{
    const char *function = "VirtualSerialPort::destroy";
    log(4, function, QLatin1String(""));
    if (execCommand->isRunning()) {
        log(4, function, QStringLiteral("is running then kill"));
        execCommand->kill();
    }
    if (execCommand->isRunning()) {
        execCommand->kill();
    }

    connected = false;
    bridgeWanted = false;
    m_pairGone = false;
    // A port without numbered names must not take another program's pair with it. The names must stand alone on
    // their lines: COM5 never removes COM50.
    if (numberedNames(serialName, tcpName)) {
        QString error;
        log(4, function, QStringLiteral("Execute: ") + HelperPrograms::setupcPath(&error) + QStringLiteral(" list"));
        if (!runSetupc({QStringLiteral("list")})) {
            return false;
        }
        for (const QString &number : ownPairs(execCommand->output, serialName, tcpName)) {
            log(4, function, QStringLiteral("Remove com ") + number);
            if (!runSetupc({QStringLiteral("remove"), number})) {
                return false;
            }
        }
    }
    delete apiDevice;
    apiDevice = nullptr;
    return true;
}

bool VirtualSerialPort::connectPort()
{
    const char *function = "VirtualSerialPort::connectPort";
    log(4, function, QLatin1String(""));
    if (execCommand->isRunning()) {
        log(4, function, QStringLiteral("is running then kill"));
        // Replacing our own bridge is not the bridge going away: reporting it would arm another connect.
        disconnect(execCommand, SIGNAL(finished()), this, SLOT(onFinished()));
        execCommand->kill();
    }
    // Until an answer starts a bridge, none runs: a port that goes no further can be brought online again.
    connected = false;
    if (!device || !apiDevice) {
        log(4, function, QStringLiteral("No device to connect to"));
        return false;
    }
    if (m_pairGone && !remakePair()) {
        return false;
    }
    if (device->vpnStatus != 1) {
        return false;
    }
    // A connect armed earlier may run after the tunnel went down or to another device.
    if (!mayBridge()) {
        log(4, function, QStringLiteral("Tunnel does not go to the device"));
        return false;
    }
    // The request carries the device's key: it goes through the tunnel or not at all. The next connect (the tunnel
    // connecting again, the next domain list) asks again.
    QString reason;
    if (!deviceRoutedThroughTunnel(&reason)) {
        log(2, function, reason + QStringLiteral(": the device is not asked"));
        return false;
    }
    log(4, function, QStringLiteral("Get port number..."));
    bridgeWanted = true;
    apiDevice->getRemoteAccess(device->vpnIp, device->apiKey, type);
    return true;
}

void VirtualSerialPort::getRemoteAccessSuccess(int status, QString data)
{
    const char *function = "VirtualSerialPort::getRemoteAccessSuccess";
    log(4, function, QLatin1String(""));
    if (status != 200) {
        getRemoteAccessError(status, data);
        return;
    }
    // An answer to a connect that a disconnect has since withdrawn (or that an earlier answer already served)
    // starts nothing.
    if (!bridgeWanted) {
        log(4, function, QStringLiteral("Bridge no longer wanted"));
        return;
    }

    // The answer is read where it is: a file in the working directory would be written wherever a link there
    // pointed.
    int port = remotePort;
    QXmlStreamReader reader(data);
    while (!reader.atEnd() && !reader.hasError()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("dst_ip_port")) {
            port = reader.readElementText().toInt(nullptr, 10);
        }
    }
    if (reader.hasError()) {
        log(4, function, QStringLiteral("XML has error"));
        getRemoteAccessError(200, data);
        return;
    }
    // A reply that names no usable port, with none known from before, leaves nothing to bridge to.
    if (port <= 0 || port > maxTcpPort) {
        log(4, function, QStringLiteral("No remote port"));
        getRemoteAccessError(200, data);
        return;
    }
    remotePort = port;
    if (!device) {
        log(4, function, QStringLiteral("No device to connect to"));
        return;
    }
    // The tunnel may have gone down, or to another device, while the request was out.
    if (!mayBridge()) {
        log(4, function, QStringLiteral("Tunnel does not go to the device"));
        bridgeWanted = false;
        return;
    }
    // The bridge goes through the tunnel or nowhere: without its interface it is not started.
    if (vpn->interfaceName.isEmpty()) {
        log(2, function, QStringLiteral("No tunnel interface to bind the bridge to"));
        bridgeWanted = false;
        return;
    }
    QString error;
    const QString program = HelperPrograms::com2tcpPath(&error);
    if (program.isEmpty()) {
        log(2, function, error);
        bridgeWanted = false;
        return;
    }

    connect(execCommand, SIGNAL(finished()), this, SLOT(onFinished()), Qt::UniqueConnection);
    const QStringList arguments = {QStringLiteral("--interface"),
                                   vpn->interfaceName,
                                   QStringLiteral("//./") + tcpName,
                                   device->vpnIp,
                                   QString::number(remotePort, 10)};
    execCommand->setProgram(program);
    execCommand->setArguments(arguments);
    execCommand->setInheritedVariables(HelperPrograms::com2tcpVariables());
    log(4, function, QStringLiteral("Connect to: "));
    for (const QString &argument : arguments) {
        log(4, function, argument);
    }
    if (!execCommand->start()) {
        log(4, function, QStringLiteral("com2tcp not started"));
    }
    connected = true;
    bridgeWanted = false;
}

void VirtualSerialPort::getRemoteAccessError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    log(4, "VirtualSerialPort::getRemoteAccessError", QLatin1String(""));
}

void VirtualSerialPort::onFinished()
{
    disconnect(execCommand, SIGNAL(finished()), this, SLOT(onFinished()));
    if (execCommand->exitCode() == com2tcpPairGone) {
        log(2,
            "VirtualSerialPort::onFinished",
            QStringLiteral("The pair of ") + serialName + QStringLiteral(" has ended"));
        m_pairGone = true;
    }
    emit onDisconnected();
}

bool VirtualSerialPort::remakePair()
{
    const char *function = "VirtualSerialPort::remakePair";
    if (!numberedNames(serialName, tcpName)) {
        return false;
    }
    // The tool forgets ended pairs, links and all, whenever it runs: a pair it still lists is alive after all. Else
    // the user's port comes back under its name, with its owner.
    if (!runSetupc({QStringLiteral("list")})) {
        return false;
    }
    if (!ownPairs(execCommand->output, serialName, tcpName).isEmpty()) {
        m_pairGone = false;
        return true;
    }
    if (!runSetupc({QStringLiteral("install"),
                    QStringLiteral("PortName=") + serialName,
                    QStringLiteral("PortName=") + tcpName})) {
        log(2, function, QStringLiteral("The pair of ") + serialName + QStringLiteral(" was not made again"));
        return false;
    }
    log(3, function, QStringLiteral("The pair of ") + serialName + QStringLiteral(" was made again"));
    m_pairGone = false;
    return true;
}

bool VirtualSerialPort::deviceRoutedThroughTunnel(QString *reason) const
{
    const QString interface = vpn ? vpn->interfaceName : QString();
    const unsigned index = interface.isEmpty() ? 0 : if_nametoindex(interface.toLocal8Bit().constData());
    if (index == 0) {
        *reason = QStringLiteral("The tunnel's interface '%1' is not there").arg(interface);
        return false;
    }
    const QString host = hostOf(device->vpnIp);
    const RouteLookup::Route route = RouteLookup::to(host.toStdString());
    if (!route.found) {
        *reason = QStringLiteral("No IPv4 route to the device's address '%1'").arg(host);
        return false;
    }
    if (route.interfaceIndex != int(index)) {
        char name[IF_NAMESIZE] = {};
        *reason = QStringLiteral("The route to the device's address %1 goes through %2, not the tunnel's %3")
                      .arg(host,
                           QString::fromLocal8Bit(if_indextoname(unsigned(route.interfaceIndex), name) ? name : "?"),
                           interface);
        return false;
    }
    return true;
}

bool VirtualSerialPort::disconnectPort()
{
    log(4, "VirtualSerialPort::disconnectPort", QLatin1String(""));
    bridgeWanted = false;
    if (execCommand->isRunning()) {
        execCommand->kill();
    }
    connected = false;
    return true;
}

void VirtualSerialPort::deviceOnline()
{
    if (connected) {
        return;
    }
    log(4, "VirtualSerialPort::deviceOnline", QLatin1String(""));
    scheduleConnect(onlineConnectDelayMs);
}

void VirtualSerialPort::scheduleConnect(int delayMs)
{
    m_connectTimer->start(delayMs);
}

void VirtualSerialPort::deviceOffline()
{
    // A request still out counts: its answer must not bring the bridge up.
    if (!connected && !bridgeWanted) {
        return;
    }
    log(4, "VirtualSerialPort::deviceOffline", QLatin1String(""));
    disconnectPort();
}

bool VirtualSerialPort::isConnected() const
{
    return connected;
}

bool VirtualSerialPort::mayBridge() const
{
    return device && apiDevice && device->vpnStatus == 1 && vpn && vpn->status == tunnelConnected
           && vpn->deviceId == deviceId;
}

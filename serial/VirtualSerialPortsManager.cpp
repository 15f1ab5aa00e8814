#include "serial/VirtualSerialPortsManager.h"

#include <QDirIterator>
#include <QFileInfo>

#include "core/ExecCommand.h"
#include "core/Log.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"
#include "serial/HelperPrograms.h"
#include "serial/VirtualSerialPort.h"
#include "vpn/OrvVpn.h"

// Resources of a static library are registered by hand, outside any namespace.
static void initCom2tcpResource()
{
    Q_INIT_RESOURCE(com2tcp);
}

namespace
{
constexpr const char *logModule = "orv_serials";
constexpr int reconnectDelayMs = 1000;
constexpr int tunnelConnected = 3;

void log(int level, const char *function, const QString &message)
{
    writeLog(level, logModule, function, message);
}
} // namespace

VirtualSerialPortsManager::VirtualSerialPortsManager(OrvVpn *vpn,
                                                     QList<OrvDomain *> *domains,
                                                     Auth *auth,
                                                     QObject *parent)
    : QObject(parent)
{
    const char *function = "VirtualSerialPortsManager::VirtualSerialPortsManager";
    // com2tcp runs as root: it is unpacked afresh into a folder only we can change, never into the working
    // directory, and never taken from a file that was already there.
    QString error;
    const QString folder = HelperPrograms::com2tcpFolder(&error);
    writeLog(4, logModule, QStringLiteral("Copy com2tcp files into ") + folder);
    if (folder.isEmpty()) {
        log(2, function, error);
    }
    initCom2tcpResource();
    QDirIterator it(QStringLiteral(":/bin/com2tcp/"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString fileName = it.fileInfo().fileName();
        if (folder.isEmpty()) {
            log(4, function, fileName + QStringLiteral(" not copied"));
        } else if (!HelperPrograms::unpack(it.filePath(), folder + QLatin1Char('/') + fileName, &error)) {
            log(4, function, fileName + QStringLiteral(" not copied"));
            log(2, function, error);
        }
    }

    cleanPreviousVirtualSerialPorts();

    this->vpn = vpn;
    this->domains = domains;
    this->auth = auth;

    if (vpn) {
        connect(vpn, SIGNAL(onConnecting(int)), this, SLOT(onVpnConnecting()));
        connect(vpn, SIGNAL(onConnected(int)), this, SLOT(onVpnConnected(int)));
        connect(vpn, SIGNAL(onDisconnected()), this, SLOT(onVpnDisconnected()));
    }
}

VirtualSerialPortsManager::~VirtualSerialPortsManager()
{
    qDeleteAll(ports);
}

void VirtualSerialPortsManager::cleanPreviousVirtualSerialPorts()
{
    QString error;
    const QString program = HelperPrograms::setupcPath(&error);
    if (program.isEmpty()) {
        log(2, "VirtualSerialPortsManager::cleanPreviousVirtualSerialPorts", error);
        return;
    }
    // A pair ends with the program that made it: its holder watches that program and goes with it, and the tool
    // forgets every pair whose holder no longer holds its lock whenever it runs, as it does for this listing. Each
    // pair still listed is held by a running program, this one or another instance, and stays: removing it would
    // cut off that program's port and bridge.
    ExecCommand command;
    command.setProgram(program);
    command.setArguments({QStringLiteral("list")});
    command.setInheritedVariables(HelperPrograms::setupcVariables());
    if (command.start() && command.waitForStarted()) {
        command.waitForFinished();
    }
}

bool VirtualSerialPortsManager::create(int type, OrvDevice *device)
{
    const char *function = "VirtualSerialPortsManager::create";
    log(4, function, QLatin1String(""));
    if (static_cast<unsigned int>(type) > 3) {
        log(2, function, QStringLiteral("Parity invalid"));
        return false;
    }
    if (!device) {
        log(2, function, QStringLiteral("Device is NULL"));
        return false;
    }

    auto *port = new VirtualSerialPort();
    port->type = type;
    port->deviceId = device->id;
    port->device = device;
    port->vpn = vpn;

    onVpnDisconnected();

    if (!port->create(ports)) {
        log(2, function, QStringLiteral("Serial not created"));
        delete port;
        return false;
    }
    log(4, function, QStringLiteral("Serial created"));
    ports.append(port);
    connect(port, SIGNAL(onDisconnected()), this, SLOT(onPortDisconnected()));
    save();

    if (tunnelUp()) {
        onVpnConnected(vpn->deviceId);
    }
    return true;
}

bool VirtualSerialPortsManager::destroy(int deviceId, int type)
{
    const char *function = "VirtualSerialPortsManager::destroy";
    log(4, function, QLatin1String(""));
    VirtualSerialPort *port = nullptr;
    for (VirtualSerialPort *candidate : qAsConst(ports)) {
        if (candidate->deviceId == deviceId && candidate->type == type) {
            port = candidate;
            break;
        }
    }
    if (!port) {
        return false;
    }

    disconnect(port, SIGNAL(onDisconnected()), this, SLOT(onPortDisconnected()));
    if (port->isConnected()) {
        port->disconnectPort();
    }
    if (!port->destroy()) {
        log(2, function, QStringLiteral("Serial not destroyed"));
        return false;
    }
    ports.removeOne(port);
    delete port;
    save();
    return true;
}

void VirtualSerialPortsManager::destroyAll()
{
    // The list and the saved ports stay: the next login rebuilds the pairs.
    for (VirtualSerialPort *port : qAsConst(ports)) {
        static_cast<void>(port->destroy());
    }
}

OrvDevice *VirtualSerialPortsManager::findDevice(int id)
{
    if (!domains) {
        return nullptr;
    }
    for (OrvDomain *domain : qAsConst(*domains)) {
        for (OrvDevice *device : qAsConst(domain->devices)) {
            if (device->id == id) {
                return device;
            }
        }
    }
    return nullptr;
}

QList<VirtualSerialPort *> VirtualSerialPortsManager::getVirtualPorts(int deviceId)
{
    QList<VirtualSerialPort *> result;
    for (VirtualSerialPort *port : qAsConst(ports)) {
        if (port->deviceId == deviceId) {
            result.append(port);
        }
    }
    return result;
}

void VirtualSerialPortsManager::updateDevicePorts(OrvDevice *device)
{
    if (!device) {
        return;
    }
    const bool online = tunnelUp() && device->vpnStatus == 1;
    const QList<VirtualSerialPort *> current = ports;
    for (VirtualSerialPort *port : current) {
        if (port->deviceId != device->id) {
            continue;
        }
        if (online) {
            port->deviceOnline();
        } else {
            port->deviceOffline();
        }
    }
}

void VirtualSerialPortsManager::onDomainsUpdated(QList<OrvDomain *> *domains)
{
    log(4, "VirtualSerialPortsManager::onDomainsUpdated", QLatin1String(""));
    this->domains = domains;
    stopUnqualifiedPorts();
    if (!tunnelUp() || !domains) {
        return;
    }
    // A port whose device the merge deleted is no longer in any domain: its bridge stops like an offline one's.
    for (VirtualSerialPort *port : qAsConst(ports)) {
        if (!port->device) {
            port->deviceOffline();
        }
    }
    for (OrvDomain *domain : qAsConst(*domains)) {
        const QList<OrvDevice *> devices = domain->devices;
        for (OrvDevice *device : devices) {
            if (device->vpnStatus == 1 && device->id == vpn->deviceId) {
                updateDevicePorts(device);
                continue;
            }
            for (VirtualSerialPort *port : getVirtualPorts(device->id)) {
                port->deviceOffline();
            }
        }
    }
}

void VirtualSerialPortsManager::onPortDisconnected()
{
    log(4, "VirtualSerialPortsManager::onPortDisconnected", QLatin1String(""));
    auto *port = qobject_cast<VirtualSerialPort *>(sender());
    if (!port || !port->device || !tunnelUp() || vpn->deviceId != port->deviceId) {
        return;
    }
    log(4, "VirtualSerialPortsManager::onPortDisconnected", QStringLiteral("Reconnect port after 100ms"));
    port->scheduleConnect(reconnectDelayMs);
}

void VirtualSerialPortsManager::onVpnConnected(int device_id)
{
    log(4, "VirtualSerialPortsManager::onVpnConnected", QLatin1String(""));
    stopUnqualifiedPorts();
    updateDevicePorts(findDevice(device_id));
}

// The tunnel (re)connecting: whatever its bridges were bound to (a device that may be gone, a connection the other
// end may have dropped) is no longer theirs. They stop, and the tunnel's next connected brings them up on its
// current interface.
void VirtualSerialPortsManager::onVpnConnecting()
{
    log(4, "VirtualSerialPortsManager::onVpnConnecting", QLatin1String(""));
    onVpnDisconnected();
}

void VirtualSerialPortsManager::onVpnDisconnected()
{
    log(4, "VirtualSerialPortsManager::onVpnDisconnected", QLatin1String(""));
    const QList<VirtualSerialPort *> current = ports;
    for (VirtualSerialPort *port : current) {
        // A port whose device request is still out is stopped too, or its answer would bring the bridge up.
        if (port->isConnected() || port->bridgeWanted) {
            port->disconnectPort();
        }
    }
}

void VirtualSerialPortsManager::stopUnqualifiedPorts()
{
    const QList<VirtualSerialPort *> current = ports;
    for (VirtualSerialPort *port : current) {
        if ((port->isConnected() || port->bridgeWanted) && !port->mayBridge()) {
            port->disconnectPort();
        }
    }
}

void VirtualSerialPortsManager::loadVirtualPorts()
{
    const char *function = "VirtualSerialPortsManager::loadVirtualPorts";
    cleanPreviousVirtualSerialPorts();
    // The clean-up spares live pairs, this program's too: the pairs of the ports this load replaces go with them.
    for (VirtualSerialPort *port : qAsConst(ports)) {
        if (port->apiDevice) {
            static_cast<void>(port->destroy());
        }
    }

    QList<VirtualSerialPort *> saved;
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        saved = settings.getVirtualSerialPorts();
    }
    qDeleteAll(ports);
    ports = saved;

    log(4, function, QStringLiteral("Load saved serials"));
    for (VirtualSerialPort *port : qAsConst(ports)) {
        port->vpn = vpn;
        port->device = findDevice(port->deviceId);
        if (!port->device) {
            continue;
        }
        if (!port->create(ports)) {
            log(1, function, QStringLiteral("Virtual serial port not created!"));
        }
        connect(port, SIGNAL(onDisconnected()), this, SLOT(onPortDisconnected()));
    }

    if (tunnelUp()) {
        log(4, function, QStringLiteral("VPN is connected try to connect serials"));
        updateDevicePorts(findDevice(vpn->deviceId));
    }
}

bool VirtualSerialPortsManager::tunnelUp() const
{
    return vpn && vpn->getStatus() == tunnelConnected;
}

void VirtualSerialPortsManager::save()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    settings.setVirtualSerialPorts(ports);
}

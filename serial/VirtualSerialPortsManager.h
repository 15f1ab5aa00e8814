#pragma once

#include <QList>
#include <QObject>

class Auth;
class OrvDevice;
class OrvDomain;
class OrvVpn;
class VirtualSerialPort;

// Keeps the user's virtual serial ports, saves them, and brings their bridges up and down with the tunnel and
// the devices' online state. Lives on the GUI thread; the controller makes one and owns it. It owns its ports
// and borrows the tunnel object, the login object and the controller's domain list.
class VirtualSerialPortsManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VirtualSerialPortsManager)

public:
    VirtualSerialPortsManager(OrvVpn *vpn, QList<OrvDomain *> *domains, Auth *auth, QObject *parent = nullptr);
    ~VirtualSerialPortsManager() override;

    void cleanPreviousVirtualSerialPorts();
    bool create(int type, OrvDevice *device);
    bool destroy(int deviceId, int type);
    void destroyAll();
    OrvDevice *findDevice(int id);
    QList<VirtualSerialPort *> getVirtualPorts(int deviceId);
    void onDomainsUpdated(QList<OrvDomain *> *domains);
    void updateDevicePorts(OrvDevice *device);

private slots:
    void onPortDisconnected();
    void onVpnConnecting();

public slots:
    void onVpnConnected(int device_id);
    void onVpnDisconnected();
    void loadVirtualPorts();

private:
    bool tunnelUp() const;
    // Stops every port that is bridged, or about to be, although the tunnel no longer goes to its online device.
    void stopUnqualifiedPorts();
    void save();

    QList<VirtualSerialPort *> ports;
    OrvVpn *vpn = nullptr;
    Auth *auth = nullptr;
    QList<OrvDomain *> *domains = nullptr;
};

#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "records/OrvDevice.h"

class ApiDevice;
class ExecCommand;
class OrvVpn;
class QTimer;

// A virtual serial port of a device: a pair made with setupc.exe whose hidden side com2tcp bridges to the
// device's TCP port, and the record saved under "virtual_serial_ports" and shown to the page.
// Lives on the GUI thread; the serial-port manager owns it. It owns its process runner and its requester and
// borrows its device, which the domain list may delete at any merge (hence the QPointer), and the tunnel object.
class VirtualSerialPort : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VirtualSerialPort)

public:
    explicit VirtualSerialPort(QObject *parent = nullptr);
    ~VirtualSerialPort() override;

    // Chooses COM<n> and CNCAORV<n>; false (names left "COM" and "CNCAORV") when no free number was found or the
    // pair tool failed for another reason than a name in use.
    bool assignPortsName(const QList<VirtualSerialPort *> &ports);
    [[nodiscard]] bool create(const QList<VirtualSerialPort *> &ports);
    [[nodiscard]] bool destroy();
    void deviceOnline();
    void deviceOffline();
    // Connects after delayMs. A port has one connect pending at most: a new one replaces the one that was.
    void scheduleConnect(int delayMs);
    bool isConnected() const;
    // Whether a bridge may run now: the tunnel is connected to this port's own device and that device is online.
    bool mayBridge() const;

    QJsonObject toJson() const;
    static VirtualSerialPort *fromJson(QJsonObject object);

    // Codes of the page's port form, kept and handed back only: 9600 baud, 8 data bits, 1 stop bit,
    // no parity, CRNL, raw on, echo off.
    int baudRate = 2;
    int dataBit = 3;
    int stopBit = 0;
    int parity = 0;
    int type = 0;
    int deviceId = -1;
    // 0 until a remote-access reply names the device's TCP port.
    int remotePort = 0;
    int terminator = 0;
    int raw = 1;
    int echo = 0;
    QPointer<OrvDevice> device;
    ApiDevice *apiDevice = nullptr;
    bool connected = false;
    // A connect's device request is out and its answer may start the bridge.
    bool bridgeWanted = false;
    // The tunnel, set by the manager; a port without one is never bridged.
    QPointer<OrvVpn> vpn;
    QString serialName = QLatin1String("");
    QString tcpName = QLatin1String("");
    ExecCommand *execCommand = nullptr;

signals:
    void onDisconnected();

private slots:
    void getRemoteAccessSuccess(int status, QString data);
    void getRemoteAccessError(int status, QString data);
    void onFinished();

public slots:
    bool connectPort();
    bool disconnectPort();

private:
    bool runSetupc(const QStringList &arguments);
    // Makes the pair again under its names, after its holder ended.
    bool remakePair();
    // Whether the kernel sends packets for the device through the tunnel's interface; the reason when not.
    bool deviceRoutedThroughTunnel(QString *reason) const;

    QTimer *m_connectTimer = nullptr;
    // The last bridge found the pair's holder gone: the next connect makes the pair again first.
    bool m_pairGone = false;
};

#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class OrvVpnThread;
class OrvVpnTransportStats;

// The one VPN tunnel: its status (0 stopping, 1 disconnected, 2 connecting, 3 connected), start and stop.
// Lives on the GUI thread; each controller makes one. Each start runs the tunnel on a new OrvVpnThread, which
// waits for the program's previous tunnel to be gone: there is one tunnel daemon at most.
class OrvVpn : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int status READ getStatus NOTIFY statusChanged)
    Q_DISABLE_COPY_MOVE(OrvVpn)

public:
    explicit OrvVpn(QObject *parent = nullptr);
    ~OrvVpn() override;

    bool setConfigPath(QString path);
    void setCredentials(QString user, QString password);
    QString readConfig(QString path);
    [[nodiscard]] bool start();
    bool stop();
    OrvVpnTransportStats *getTransportStats();

    int deviceId = -1;
    // Read directly by the controller and the serial-port manager; only OrvVpn writes it.
    int status = 1;
    // The tunnel's network interface while it is connected, as the kernel names the daemon's tun device; empty when
    // not known. Serial bridges are bound to it.
    QString interfaceName;

signals:
    void onConnecting(int deviceId);
    void onConnected(int deviceId);
    void onDisconnected();
    void onOperationNotPermitted();
    void statusChanged();

public slots:
    int getStatus();
    // The device of the tunnel that is starting or up.
    int getDeviceId();

private slots:
    void connecting();
    void connected();
    void disconnected();
    void operationNotPermitted();
    void startWorker();

private:
    void dropWorker();
    bool isOwnEvent() const;

    QString user;
    QString password;
    QString configPath;
    QString dynamicChallengeCookie;
    QString challengeResponse;
    // A started worker deletes itself when its thread ends, with or without a DISCONNECTED event;
    // the guarded pointer turns null then, so a gone worker is never used.
    QPointer<OrvVpnThread> worker;
    // The worker told to stop and not yet reported down. Until its DISCONNECTED arrives, a further stop must
    // not report the tunnel down: a start made on that report would lose its worker to the late event.
    QPointer<OrvVpnThread> stopping;
    // The worker this object started, until it is deleted: the relay's events are ours only while it runs.
    QPointer<OrvVpnThread> m_started;
};

#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "portal/Api.h"
#include "portal/Auth.h"
#include "serial/VirtualSerialPortsManager.h"
#include "vpn/OrvVpn.h"

class OrvDevice;
class OrvDomain;
class QTimer;

// The application's controller and the one object the page sees on the web channel ("ORV").
// Lives on the GUI thread; each main window makes one without a parent. It owns the portal client, the login,
// the tunnel object, the serial-port manager and the domain records. Once its window has closed (m_exit) it stays
// alive without a key: what was on its way then starts nothing, and what needs a key is refused until a new login.
class Orv : public QObject
{
    Q_OBJECT
    // Read-only: the page only reads them, and a write from the page must not replace a program object.
    Q_PROPERTY(Api *api READ apiObject CONSTANT)
    Q_PROPERTY(QString language READ currentLanguage)
    Q_PROPERTY(VirtualSerialPortsManager *virtualSerialPortsManager READ serialPortsManagerObject CONSTANT)
    Q_PROPERTY(Auth *auth READ authObject CONSTANT)
    Q_PROPERTY(OrvVpn *vpn READ vpnObject CONSTANT)
    Q_DISABLE_COPY_MOVE(Orv)

public:
    explicit Orv(QObject *parent = nullptr);
    ~Orv() override;

    OrvDevice *findDeviceById(int id) const;
    OrvDomain *findDomainByDeviceId(int id) const;
    const QList<OrvDomain *> &domainList() const;

    // Test seam: the reload interval, 30000 ms unless a test shortens it.
    void setReloadIntervalMs(int intervalMs);

    // The command line that restarts the program elevated: "-c", the shell command, "&". The path is
    // single-quoted so that no character of it reaches the shell as syntax; the password is not in it at all; the
    // shell reads it from its standard input (restartAsRootInput), where no other process can see it.
    static QStringList restartAsRootArguments(const QString &applicationFilePath);
    static QByteArray restartAsRootInput(const QString &password);

    // Whether a file name from the portal may be written into the application-data folder as it stands.
    static bool isSafeConfigFileName(const QString &name);

signals:
    void onLoadDomainsSuccess();
    void onLoadDomainsError();
    void onReloadDomainsSuccess();
    void onReloadDomainsError();
    void onVpnStartNotAuthenticated();
    void onVpnStartInvalidDomain();
    void onVpnStartGetConfigError();
    void onKill();

public slots:
    QString getAllPageFiles(QString page_name);
    void setLanguage(QString language);
    QJsonArray getDomainsJson();
    QJsonArray getDeviceByIdJson(int device_id);
    void loadDomains();
    void reloadDomains();
    void startReloadDomainsTimer();
    void stopReloadDomainsTimer();
    void startVpnDevice(int id);
    void startVpnLastDevice(bool emitConnectingSignal);
    void stopVpn();
    QJsonObject getVpnStatsJson();
    bool create(int type, int deviceId);
    bool destroyVirtualSerialPort(int deviceId, int type);
    QJsonArray getVirtualSerialPortsByDeviceIdJson(int device_id);
    int getLastDomainIdOpened();
    void setLastDomainIdOpened(int domainId);
    void openDeviceWebUI(int device_id);
    void forgotPassword();
    void logout();
    void m_exit();
    QString getApplicationVersion();
    QString getApplicationName();
    bool tour1IsNeeded();
    bool tour2IsNeeded();
    bool tour3IsNeeded();
    bool tour4IsNeeded();
    void tour1IsNotNeeded();
    void tour2IsNotNeeded();
    void tour3IsNotNeeded();
    void tour4IsNotNeeded();
    bool canObtainRootPermissions();
    bool checkRootPermissions();
    bool checkRootPermissionsWithPassword(QString password);
    void restartAsRoot(QString password);
    void kill();
    void debug(QString message);

private slots:
    void loadDomainsSuccess(int status, QString data);
    void loadDomainsError(int status, QString data);
    void getVpnDomainConfigSuccess(int status, QString data);
    void getVpnDomainConfigError(int status, QString data);
    void onVpnConnected(int device_id);
    void onVpnDisconnected();
    void onGetApiKeySuccess();

private:
    Api *apiObject() const;
    QString currentLanguage() const;
    VirtualSerialPortsManager *serialPortsManagerObject() const;
    Auth *authObject() const;
    OrvVpn *vpnObject() const;
    void mergeDomains(QList<OrvDomain *> fresh);
    bool tourIsNeeded(const QString &key);
    void tourIsNotNeeded(const QString &key);
    void cancelPendingStarts();
    bool isReplyOfCurrentStart();
    bool hasExited(const char *function);
    void configError(const QString &message);
    void forgetProfileFiles();

    Api *api = nullptr;
    Auth *auth = nullptr;
    OrvVpn *vpn = nullptr;
    QString language;
    VirtualSerialPortsManager *virtualSerialPortsManager = nullptr;
    QList<OrvDomain *> domains;
    QTimer *reloadTimer = nullptr;
    bool reloading = false;
    int lastDeviceId = -1;
    bool autoStartPending = false;
    bool vpnStartPending = false;

    int m_reloadIntervalMs;
    // The portal client carrying the configuration request of the start under way; null once answered or disowned.
    // Each request has a client of its own (a child named "configRequest", gone after its one answer), so a reply is
    // told from those of earlier or cancelled starts, whatever their order.
    Api *m_configRequest = nullptr;
    int m_configDeviceId = -1;
    // The device of the start waiting for the old tunnel to go down.
    int m_pendingDeviceId = -1;
    // The profile files on disk: those of the configuration waiting to start, and those of the tunnel that
    // started from them. They hold keys, so they go when that tunnel has ended or the start was given up.
    QStringList m_pendingProfileFiles;
    QStringList m_tunnelProfileFiles;
    // The domain reply whose list was last merged and stored, as UTF-8.
    QByteArray m_storedDomainsReply;
    // Set by m_exit(): the window has closed, and replies or tunnel events still on their way start nothing until a
    // login made since brings a key.
    bool m_exited = false;
};

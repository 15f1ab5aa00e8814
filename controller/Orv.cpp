#include "controller/Orv.h"

#include <memory>
#include <string>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocale>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include "controller/BrowserOpener.h"
#include "core/ExecCommand.h"
#include "core/FreedMemory.h"
#include "core/Log.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "core/PrivateFolder.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"
#include "serial/VirtualSerialPort.h"
#include "vpn/OrvVpnTransportStats.h"

namespace
{
constexpr int reloadIntervalMs = 30000;
constexpr int killDelayMs = 500;
constexpr const char *vpnModule = "orv_vpn";
constexpr const char *credentialsFileName = "credentials.txt";
constexpr const char *profileFileName = "client.ovpn";

// Every settings operation opens its own store in the registered encrypted format.
void useOrvSettingsFormat()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
}

QString shellQuote(QString text)
{
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
}

// The credentials file as text: UTF-8, ending at the first zero byte, as a C string would.
QString credentialsText(QByteArray bytes)
{
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) {
        bytes.truncate(zero);
    }
    return QString::fromUtf8(bytes);
}

// The profile folder holds private keys: made 0700 if missing, and refused when it, or any folder on the way to
// it, is a link in a place another user controls, belongs to another user or is open to others.
bool preparePrivateFolder(const QString &folder, QString *reason)
{
    std::string error;
    if (PrivateFolder::ensure(QFile::encodeName(folder).toStdString(), &error)) {
        return true;
    }
    *reason = QFile::decodeName(error.c_str());
    return false;
}

void removeFiles(const QStringList &paths)
{
    for (const QString &path : paths) {
        QFile::remove(path);
    }
}

QStringList without(QStringList paths, const QStringList &kept)
{
    for (const QString &path : kept) {
        paths.removeAll(path);
    }
    return paths;
}
} // namespace

Orv::Orv(QObject *parent)
    : QObject(parent)
    , m_reloadIntervalMs(reloadIntervalMs)
{
    api = new Api();
    connect(api, SIGNAL(onGetDomainsSuccess(int, QString)), this, SLOT(loadDomainsSuccess(int, QString)));
    connect(api, SIGNAL(onGetDomainsError(int, QString)), this, SLOT(loadDomainsError(int, QString)));
    // Configuration requests go out on a client of their own each (startVpnDevice); a reply this one brings belongs
    // to no start of ours and is ignored.
    connect(
        api, SIGNAL(onGetVpnDomainConfigSuccess(int, QString)), this, SLOT(getVpnDomainConfigSuccess(int, QString)));
    connect(api, SIGNAL(onGetVpnDomainConfigError(int, QString)), this, SLOT(getVpnDomainConfigError(int, QString)));

    reloading = false;

    reloadTimer = new QTimer(this);
    connect(reloadTimer, SIGNAL(timeout()), this, SLOT(reloadDomains()));

    const QString defaultLanguage = QLocale().name().left(2);

    useOrvSettingsFormat();
    OrvSettings settings;
    settings.beginGroup(QStringLiteral("orv"));
    language = settings.value(QStringLiteral("language"), defaultLanguage).toString();
    settings.endGroup();

    domains = settings.getDomains();

    auth = new Auth();
    connect(auth, SIGNAL(onGetApiKeySuccess()), this, SLOT(onGetApiKeySuccess()));

    vpnStartPending = false;

    vpn = new OrvVpn();
    connect(vpn, SIGNAL(onConnected(int)), this, SLOT(onVpnConnected(int)));
    connect(vpn, SIGNAL(onDisconnected()), this, SLOT(onVpnDisconnected()));

    lastDeviceId = -1;
    settings.beginGroup(QStringLiteral("vpn"));
    lastDeviceId = settings.value(QStringLiteral("last_device_id"), -1).toInt();
    settings.endGroup();

    autoStartPending = false;
    qDebug() << lastDeviceId;
    if (lastDeviceId != -1) {
        autoStartPending = true;
    }

    // The manager reads the list through this pointer and learns of every merge through onDomainsUpdated.
    virtualSerialPortsManager = new VirtualSerialPortsManager(vpn, &domains, auth, nullptr);
    connect(auth, SIGNAL(onLoginSuccess()), virtualSerialPortsManager, SLOT(loadVirtualPorts()));
}

// The window keeps its controller for the whole run; a controller that does go (in tests)
// takes what it made with it, the manager first because it borrows the tunnel object and the list.
Orv::~Orv()
{
    forgetProfileFiles();
    delete virtualSerialPortsManager;
    for (OrvDomain *domain : qAsConst(domains)) {
        domain->clearDevices();
        delete domain;
    }
    domains.clear();
    delete vpn;
    delete auth;
    delete api;
}

OrvDevice *Orv::findDeviceById(int id) const
{
    for (OrvDomain *domain : domains) {
        for (OrvDevice *device : qAsConst(domain->devices)) {
            if (device->id == id) {
                return device;
            }
        }
    }
    return nullptr;
}

OrvDomain *Orv::findDomainByDeviceId(int id) const
{
    for (OrvDomain *domain : domains) {
        for (OrvDevice *device : qAsConst(domain->devices)) {
            if (device->id == id) {
                return domain;
            }
        }
    }
    return nullptr;
}

const QList<OrvDomain *> &Orv::domainList() const
{
    return domains;
}

void Orv::setReloadIntervalMs(int intervalMs)
{
    m_reloadIntervalMs = intervalMs;
    if (reloadTimer->isActive()) {
        reloadTimer->start(m_reloadIntervalMs);
    }
}

QStringList Orv::restartAsRootArguments(const QString &applicationFilePath)
{
    // The shell reads the first line of its input with read -r, which keeps it as it is, and hands it to sudo
    // with builtins only (printf, not echo, which would swallow a password such as "-n" as its own option), so
    // the password never becomes part of any process's command line.
    return {QStringLiteral("-c"),
            QStringLiteral("IFS= read -r password; printf '%s\\n' \"$password\" | sudo -k -S ")
                + shellQuote(applicationFilePath) + QStringLiteral(" &"),
            QStringLiteral("&")};
}

QByteArray Orv::restartAsRootInput(const QString &password)
{
    return password.toLocal8Bit() + '\n';
}

Api *Orv::apiObject() const
{
    return api;
}

QString Orv::currentLanguage() const
{
    return language;
}

VirtualSerialPortsManager *Orv::serialPortsManagerObject() const
{
    return virtualSerialPortsManager;
}

Auth *Orv::authObject() const
{
    return auth;
}

OrvVpn *Orv::vpnObject() const
{
    return vpn;
}

bool Orv::isSafeConfigFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        return false;
    }
    // A separator or a drive would put the file outside the folder; a colon is also an alternate data stream.
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char(':'))
           && !name.contains(QChar(0));
}

QString Orv::getAllPageFiles(QString page_name)
{
    const QString path = QStringLiteral(":/pages/") + page_name;
    QDir dir(path);
    if (!dir.exists()) {
        return QLatin1String("");
    }
    QString result = QLatin1String("");
    const QStringList entries = dir.entryList();
    for (const QString &entry : entries) {
        QFile file(path + QLatin1Char('/') + entry);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        QTextStream stream(&file);
        stream.setCodec("UTF-8");
        QString text = stream.readAll();
        if (QFileInfo(file).suffix() == QLatin1String("js")) {
            text = QStringLiteral("<script type='application/javascript'>") + text + QStringLiteral("</script>");
        }
        result += text;
    }
    return result;
}

void Orv::setLanguage(QString language)
{
    this->language = language;
    useOrvSettingsFormat();
    OrvSettings settings;
    settings.beginGroup(QStringLiteral("orv"));
    settings.setValue(QStringLiteral("language"), language);
    settings.endGroup();
}

bool Orv::create(int type, int deviceId)
{
    OrvDevice *device = findDeviceById(deviceId);
    if (!device) {
        return false;
    }
    return virtualSerialPortsManager->create(type, device);
}

bool Orv::destroyVirtualSerialPort(int deviceId, int type)
{
    if (!findDeviceById(deviceId)) {
        return false;
    }
    return virtualSerialPortsManager->destroy(deviceId, type);
}

QJsonArray Orv::getVirtualSerialPortsByDeviceIdJson(int device_id)
{
    const QList<VirtualSerialPort *> ports = virtualSerialPortsManager->getVirtualPorts(device_id);
    qDebug() << ports.size();
    QJsonArray result;
    for (VirtualSerialPort *port : ports) {
        result.append(port->toJson());
    }
    return result;
}

int Orv::getLastDomainIdOpened()
{
    useOrvSettingsFormat();
    OrvSettings settings;
    return settings.getLastDomainIdOpened();
}

void Orv::setLastDomainIdOpened(int domainId)
{
    useOrvSettingsFormat();
    OrvSettings settings;
    settings.setLastDomainIdOpened(domainId);
}

void Orv::openDeviceWebUI(int device_id)
{
    const OrvDevice *device = findDeviceById(device_id);
    if (!device || device->vpnStatus != 1) {
        return;
    }
    // The address comes from the portal: only the device's own host (and port) is opened, never a page of
    // another host hidden behind a user part, nor a path, query or fragment.
    const QUrl url(QStringLiteral("https://") + device->vpnIp, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || !url.path().isEmpty() || url.hasQuery()
        || url.hasFragment()) {
        writeLog(2, "all", "Orv::openDeviceWebUI", QStringLiteral("Device web address refused"));
        return;
    }
    const bool opened = BrowserOpener::open(url);
    Q_UNUSED(opened)
}

void Orv::forgotPassword()
{
    const bool opened = BrowserOpener::open(QUrl(Api::baseAddress() + QStringLiteral("/auth//forgot")));
    Q_UNUSED(opened)
}

void Orv::logout()
{
    // The next login may be another user's, whose login clears the stored list: its first reply is stored again.
    m_storedDomainsReply.clear();
    auth->logout();
    // Cleared before the stop: its disconnection must not start the tunnel that was waiting.
    cancelPendingStarts();
    vpn->stop();
    // The tunnel has read its files when it started; the program may end before the stop is reported.
    forgetProfileFiles();
    if (reloadTimer->isActive()) {
        reloadTimer->stop();
    }
    virtualSerialPortsManager->destroyAll();
}

void Orv::m_exit()
{
    // The window is gone and a new one brings its own controller. This one drops its key, so the page's calls meet
    // their own checks for a login; its login and key renewal end, and replies or tunnel events still on their way
    // start no work.
    m_exited = true;
    auth->abandon();
    m_storedDomainsReply.clear();
    cancelPendingStarts();
    vpn->stop();
    // The tunnel has read its files when it started; the program may end before the stop is reported.
    forgetProfileFiles();
    if (reloadTimer->isActive()) {
        reloadTimer->stop();
    }
    virtualSerialPortsManager->destroyAll();
}

QString Orv::getApplicationVersion()
{
    return QStringLiteral(LUMENBRIDGE_VERSION);
}

QString Orv::getApplicationName()
{
    return QStringLiteral("Lumenbridge");
}

bool Orv::tour1IsNeeded()
{
    return tourIsNeeded(QStringLiteral("tour1"));
}

bool Orv::tour2IsNeeded()
{
    return tourIsNeeded(QStringLiteral("tour2"));
}

bool Orv::tour3IsNeeded()
{
    return tourIsNeeded(QStringLiteral("tour3"));
}

bool Orv::tour4IsNeeded()
{
    return tourIsNeeded(QStringLiteral("tour4"));
}

void Orv::tour1IsNotNeeded()
{
    tourIsNotNeeded(QStringLiteral("tour1"));
}

void Orv::tour2IsNotNeeded()
{
    tourIsNotNeeded(QStringLiteral("tour2"));
}

void Orv::tour3IsNotNeeded()
{
    tourIsNotNeeded(QStringLiteral("tour3"));
}

void Orv::tour4IsNotNeeded()
{
    tourIsNotNeeded(QStringLiteral("tour4"));
}

bool Orv::tourIsNeeded(const QString &key)
{
    useOrvSettingsFormat();
    OrvSettings settings;
    settings.beginGroup(QStringLiteral("orv"));
    const bool needed = settings.value(key, true).toBool();
    settings.endGroup();
    return needed;
}

void Orv::tourIsNotNeeded(const QString &key)
{
    useOrvSettingsFormat();
    OrvSettings settings;
    settings.beginGroup(QStringLiteral("orv"));
    settings.setValue(key, false);
    settings.endGroup();
}

bool Orv::canObtainRootPermissions()
{
    return true;
}

bool Orv::checkRootPermissions()
{
    return true;
}

bool Orv::checkRootPermissionsWithPassword(QString password)
{
    Q_UNUSED(password)
    return true;
}

void Orv::restartAsRoot(QString password)
{
    writeLog(4, "exec_command", QStringLiteral("Restart as root..."));
    // Started detached, the runner refuses any further start; it goes with the controller.
    auto *command = new ExecCommand(this);
    command->setProgram(QStringLiteral("bash"));
    command->setArguments(restartAsRootArguments(QCoreApplication::applicationFilePath()));
    command->setStandardInput(restartAsRootInput(password));
    if (command->startDetached()) {
        writeLog(4, "exec_command", QStringLiteral("Start detached"));
    } else {
        writeLog(4, "exec_command", QStringLiteral("Fail to start detached"));
    }
    QTimer::singleShot(killDelayMs, this, SLOT(kill()));
}

void Orv::kill()
{
    emit onKill();
}

void Orv::debug(QString message)
{
    Q_UNUSED(message)
}

QJsonArray Orv::getDomainsJson()
{
    QJsonArray result;
    for (const OrvDomain *domain : qAsConst(domains)) {
        result.append(domain->toJson());
    }
    // The channel sends the answer as a few copies of the whole list; they are gone in a moment.
    FreedMemory::releaseSoon();
    return result;
}

QJsonArray Orv::getDeviceByIdJson(int device_id)
{
    QJsonArray result;
    if (const OrvDevice *device = findDeviceById(device_id)) {
        result.append(device->toJson());
    }
    return result;
}

void Orv::loadDomains()
{
    if (!auth->isAuthenticated()) {
        emit onLoadDomainsError();
        return;
    }
    reloading = false;
    api->getDomains(auth->apiKey);
}

void Orv::reloadDomains()
{
    if (!auth->isAuthenticated()) {
        emit onReloadDomainsError();
        reloading = false;
        return;
    }
    reloading = true;
    api->getDomains(auth->apiKey);
}

void Orv::startReloadDomainsTimer()
{
    if (!reloadTimer->isActive()) {
        reloadTimer->start(m_reloadIntervalMs);
    }
}

void Orv::stopReloadDomainsTimer()
{
    if (reloadTimer->isActive()) {
        reloadTimer->stop();
    }
}

void Orv::onGetApiKeySuccess()
{
    // The login in flight when the window closed was disowned: a key now comes from a login made since.
    m_exited = false;
    loadDomains();
}

void Orv::loadDomainsError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    if (hasExited("Orv::loadDomainsError")) {
        return;
    }
    if (reloading) {
        emit onReloadDomainsError();
    } else {
        emit onLoadDomainsError();
    }
    reloading = false;
}

void Orv::loadDomainsSuccess(int status, QString data)
{
    if (hasExited("Orv::loadDomainsSuccess")) {
        return;
    }
    if (status != 200) {
        loadDomainsError(status, data);
        return;
    }
    // The body came decoded from UTF-8; encoding it back the same way keeps names such as "Caffè" intact.
    QByteArray body = data.toUtf8();
    // The conversion reserves three bytes a character; the copy kept below is the reply's own size.
    body.squeeze();
    // A reply that brings the very list already merged and stored changes nothing: the parse, the merge and the
    // store are skipped, everything that follows them runs as usual.
    const bool unchanged = !m_storedDomainsReply.isEmpty() && body == m_storedDomainsReply;
    if (!unchanged) {
        const QJsonDocument document = QJsonDocument::fromJson(body);
        if (!document.isObject() || !document.object().contains(QLatin1String("domains"))) {
            loadDomainsError(status, data);
            return;
        }
        const QJsonArray array = document.object().value(QLatin1String("domains")).toArray();
        QList<OrvDomain *> fresh;
        fresh.reserve(array.size());
        for (const QJsonValue &value : array) {
            fresh.append(OrvDomain::fromJson(value.toObject()));
        }
        mergeDomains(fresh);
    }

    if (reloading) {
        emit onReloadDomainsSuccess();
        const OrvDevice *device = findDeviceById(vpn->deviceId);
        if (device && device->vpnStatus != 1 && vpn->status == 3) {
            vpn->stop();
        }
    } else {
        emit onLoadDomainsSuccess();
    }
    reloading = false;

    if (!unchanged) {
        useOrvSettingsFormat();
        OrvSettings settings;
        settings.setDomains(domains);
        settings.sync();
        // Only a list known to be on disk may let a later identical reply skip its store.
        m_storedDomainsReply = settings.status() == QSettings::NoError ? body : QByteArray();
    }

    if (!reloadTimer->isActive()) {
        reloadTimer->start(m_reloadIntervalMs);
    }

    virtualSerialPortsManager->onDomainsUpdated(&domains);

    if (autoStartPending) {
        autoStartPending = false;
        if (lastDeviceId != -1) {
            startVpnDevice(lastDeviceId);
        }
    }
    FreedMemory::releaseSoon();
}

void Orv::mergeDomains(QList<OrvDomain *> fresh)
{
    // Each kept domain takes the first fresh domain with its id that no earlier one took; the rest are new.
    QHash<int, QVector<int>> freshById;
    freshById.reserve(fresh.size());
    for (int j = 0; j < fresh.size(); ++j) {
        freshById[fresh.at(j)->id].append(j);
    }
    QVector<bool> taken(fresh.size(), false);
    QList<OrvDomain *> kept;
    kept.reserve(domains.size());
    for (OrvDomain *old : qAsConst(domains)) {
        int match = -1;
        const auto sameId = freshById.find(old->id);
        if (sameId != freshById.end()) {
            for (const int j : qAsConst(*sameId)) {
                if (!taken.at(j)) {
                    match = j;
                    break;
                }
            }
        }
        if (match >= 0) {
            taken[match] = true;
            OrvDomain *nw = fresh.at(match);
            old->name = nw->name;
            old->vpnEnable = nw->vpnEnable;
            old->updateDevices(nw->devices);
            nw->devices.clear();
            delete nw;
            kept.append(old);
        } else {
            // Deleting records here is safe only because nobody keeps a raw pointer to one across the event
            // loop: this controller keeps ids, the serial ports hold QPointers (null once the device is gone),
            // and the manager is handed the new list right after the merge.
            old->clearDevices();
            delete old;
        }
    }
    for (int j = 0; j < fresh.size(); ++j) {
        if (!taken.at(j)) {
            kept.append(fresh.at(j));
        }
    }
    domains = kept;
}

void Orv::startVpnDevice(int id)
{
    const char *function = "Orv::startVpnDevice";
    if (!auth->isAuthenticated()) {
        writeLog(4, vpnModule, function, QStringLiteral("Not authenticated"));
        emit onVpnStartNotAuthenticated();
        return;
    }
    const OrvDomain *domain = findDomainByDeviceId(id);
    if (!domain) {
        writeLog(4, vpnModule, function, QStringLiteral("Domain is NULL"));
        emit onVpnStartInvalidDomain();
        return;
    }
    if (!domain->vpnEnable) {
        writeLog(4, vpnModule, function, QStringLiteral("Domain has not the VPN"));
        emit onVpnStartInvalidDomain();
        return;
    }
    const OrvDevice *device = findDeviceById(id);
    if (device && device->vpnStatus == 1) {
        writeLog(4, vpnModule, function, QStringLiteral("Getting VPN domain config..."));
        lastDeviceId = id;
        // A start still waiting for its reply is superseded: its reply will be ignored.
        m_configRequest = new Api(this);
        m_configRequest->setObjectName(QStringLiteral("configRequest"));
        connect(m_configRequest,
                SIGNAL(onGetVpnDomainConfigSuccess(int, QString)),
                this,
                SLOT(getVpnDomainConfigSuccess(int, QString)));
        connect(m_configRequest,
                SIGNAL(onGetVpnDomainConfigError(int, QString)),
                this,
                SLOT(getVpnDomainConfigError(int, QString)));
        m_configRequest->getVpnDomainConfig(auth->apiKey, domain->id);
        m_configDeviceId = id;
        return;
    }
    // The running tunnel, if any, keeps running; its receivers are told the device is not reachable.
    writeLog(4, vpnModule, function, QStringLiteral("Device is OFFLINE"));
    onVpnDisconnected();
    emit vpn->onDisconnected();
}

void Orv::startVpnLastDevice(bool emitConnectingSignal)
{
    if (emitConnectingSignal) {
        emit vpn->onConnecting(lastDeviceId);
    }
    startVpnDevice(lastDeviceId);
}

void Orv::stopVpn()
{
    // A stop asked for while another device's start waits wins: starting now, before the old tunnel has
    // reported its end, would let that late report drop the new tunnel's worker.
    cancelPendingStarts();
    vpn->stop();
    forgetProfileFiles();
}

QJsonObject Orv::getVpnStatsJson()
{
    QJsonObject result;
    const std::unique_ptr<OrvVpnTransportStats> stats(vpn->getTransportStats());
    if (stats) {
        result.insert(QStringLiteral("bytesIn"), static_cast<double>(stats->bytesIn));
        result.insert(QStringLiteral("bytesOut"), static_cast<double>(stats->bytesOut));
        result.insert(QStringLiteral("packetsIn"), static_cast<double>(stats->packetsIn));
        result.insert(QStringLiteral("packetsOut"), static_cast<double>(stats->packetsOut));
        result.insert(QStringLiteral("lastPacketReceived"), static_cast<int>(stats->lastPacketReceived));
    } else {
        result.insert(QStringLiteral("bytesIn"), 0);
        result.insert(QStringLiteral("bytesOut"), 0);
        result.insert(QStringLiteral("packetsIn"), 0);
        result.insert(QStringLiteral("packetsOut"), 0);
        result.insert(QStringLiteral("lastPacketReceived"), 0);
    }
    return result;
}

bool Orv::hasExited(const char *function)
{
    if (m_exited) {
        writeLog(4, vpnModule, function, QStringLiteral("The window has closed: nothing is started"));
    }
    return m_exited;
}

void Orv::cancelPendingStarts()
{
    vpnStartPending = false;
    m_configRequest = nullptr;
}

// A configuration asked for before logout, exit, a stop or a newer start must not bring a tunnel up afterwards, nor
// carry another start's device. Such a reply says nothing about the start under way, so no signal goes out.
bool Orv::isReplyOfCurrentStart()
{
    QObject *request = sender();
    // A request's own client has done its work with its one answer; the controller's client stays.
    if (request != nullptr && request != api) {
        request->deleteLater();
    }
    if (request != m_configRequest || m_configRequest == nullptr) {
        writeLog(4,
                 vpnModule,
                 "Orv::isReplyOfCurrentStart",
                 QStringLiteral("Reply of an earlier or cancelled start ignored"));
        return false;
    }
    m_configRequest = nullptr;
    return true;
}

void Orv::configError(const QString &message)
{
    writeLog(4, vpnModule, "Orv::getVpnDomainConfigSuccess", message);
    emit onVpnStartGetConfigError();
}

void Orv::getVpnDomainConfigSuccess(int status, QString data)
{
    if (!isReplyOfCurrentStart()) {
        return;
    }
    if (status != 200) {
        configError(QStringLiteral("Status not 200 (") + QString::number(status) + QLatin1Char(')'));
        return;
    }
    const QJsonDocument document = QJsonDocument::fromJson(data.toUtf8());
    if (!document.isObject()) {
        configError(QStringLiteral("Doc is not object"));
        return;
    }
    const QJsonObject object = document.object();
    if (!object.contains(QLatin1String("files"))) {
        configError(QStringLiteral("Doc not contains files"));
        return;
    }

    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QString configPath = QLatin1String("");
    QString username = QLatin1String("");
    QString password = QLatin1String("");
    // Written by this reply; on a failure those no start uses are removed again.
    QStringList written;
    const auto fail = [&](const QString &message) {
        removeFiles(without(without(written, m_pendingProfileFiles), m_tunnelProfileFiles));
        configError(message);
    };
    const QJsonArray files = object.value(QLatin1String("files")).toArray();
    for (const QJsonValue &value : files) {
        const QJsonObject file = value.toObject();
        const QString md5 = file.value(QLatin1String("md5")).toString();
        const QString name = file.value(QLatin1String("name")).toString();
        // The bytes are written as sent: a binary file (a key in DER, a PKCS#12) stays intact.
        const QByteArray bytes = QByteArray::fromBase64(file.value(QLatin1String("file")).toString().toLatin1());

        // Portals digest either those bytes or, as the first ones did, the Latin-1 form of the file read as UTF-8
        // text up to a zero byte; the latter is the digest the mismatch line shows.
        const auto md5Hex = [](const QByteArray &data) {
            return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
        };
        const QString computed = md5Hex(credentialsText(bytes).toLatin1());
        if (computed != md5 && md5Hex(bytes) != md5) {
            fail(QStringLiteral("Wrong md5 for ") + name + QLatin1Char(' ') + computed + QStringLiteral(" != ") + md5);
            return;
        }

        if (name == QLatin1String(credentialsFileName)) {
            const QStringList parts = credentialsText(bytes).split(QLatin1Char('\n'));
            if (parts.size() != 2) {
                // The text holds the tunnel's password: its shape is logged, never its content.
                fail(QStringLiteral("Credentials are not 2: ") + QString::number(parts.size())
                     + QStringLiteral(" lines"));
                return;
            }
            username = parts.at(0).trimmed();
            password = parts.at(1).trimmed();
            continue;
        }

        if (!isSafeConfigFileName(name)) {
            fail(QStringLiteral("File name refused: ") + name);
            return;
        }
        QString reason;
        if (!preparePrivateFolder(folder, &reason)) {
            writeLog(
                2, vpnModule, "Orv::getVpnDomainConfigSuccess", QStringLiteral("Profile folder refused: ") + reason);
            fail(QStringLiteral("Fail to create dir") + folder);
            return;
        }
        const QString path = folder + QLatin1Char('/') + name;
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly)) {
            fail(QStringLiteral("File open error (") + path + QLatin1Char(')'));
            return;
        }
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (out.write(bytes) != bytes.size() || !out.commit()) {
            fail(QStringLiteral("File write error (") + path + QLatin1Char(')'));
            return;
        }
        if (!written.contains(path)) {
            written.append(path);
        }
        if (name == QLatin1String(profileFileName)) {
            configPath = path;
        }
    }

    if (configPath.isEmpty()) {
        fail(QStringLiteral("Config file path empty: ") + configPath);
        return;
    }
    if (username.isEmpty() || password.isEmpty()) {
        fail(QStringLiteral("Username or password is empty"));
        return;
    }

    // An earlier configuration that was still waiting is replaced by this one.
    removeFiles(without(without(m_pendingProfileFiles, written), m_tunnelProfileFiles));
    m_pendingProfileFiles = written;
    vpn->setConfigPath(configPath);
    vpn->setCredentials(username, password);
    vpnStartPending = true;
    m_pendingDeviceId = m_configDeviceId;
    vpn->stop();
}

void Orv::getVpnDomainConfigError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    if (!isReplyOfCurrentStart()) {
        return;
    }
    emit onVpnStartGetConfigError();
}

void Orv::onVpnConnected(int device_id)
{
    Q_UNUSED(device_id)
    if (hasExited("Orv::onVpnConnected")) {
        return;
    }
    useOrvSettingsFormat();
    OrvSettings settings;
    settings.beginGroup(QStringLiteral("vpn"));
    settings.setValue(QStringLiteral("last_device_id"), lastDeviceId);
    settings.endGroup();
}

void Orv::onVpnDisconnected()
{
    // Only the tunnel object's own report of the end (status 1) starts the waiting tunnel, not the
    // disconnection this controller announces for an offline device while the old tunnel is still going down.
    if (vpn->status != 1) {
        return;
    }
    // The tunnel that ran has ended: its files go, but not those the waiting start reads.
    removeFiles(without(m_tunnelProfileFiles, m_pendingProfileFiles));
    m_tunnelProfileFiles.clear();
    if (!vpnStartPending) {
        forgetProfileFiles();
        return;
    }
    vpnStartPending = false;
    m_tunnelProfileFiles = m_pendingProfileFiles;
    m_pendingProfileFiles.clear();
    if (vpn->start()) {
        // The device whose configuration this is, even when a newer start has been asked for meanwhile.
        vpn->deviceId = m_pendingDeviceId;
    } else {
        forgetProfileFiles();
        emit onVpnStartGetConfigError();
    }
}

void Orv::forgetProfileFiles()
{
    removeFiles(m_tunnelProfileFiles + m_pendingProfileFiles);
    m_tunnelProfileFiles.clear();
    m_pendingProfileFiles.clear();
}

#include "vpn/OrvVpn.h"

#include "core/Log.h"
#include "vpn/OrvVpnSignals.h"
#include "vpn/OrvVpnThread.h"
#include "vpn/OrvVpnTransportStats.h"
#include "vpn/engine/ClientApi.h"

OrvVpn::OrvVpn(QObject *parent)
    : QObject(parent)
{
    connect(orvVpnSignals, SIGNAL(connected()), this, SLOT(connected()));
    connect(orvVpnSignals, SIGNAL(disconnected()), this, SLOT(disconnected()));
    connect(orvVpnSignals, SIGNAL(connecting()), this, SLOT(connecting()));
    connect(orvVpnSignals, SIGNAL(operationNotPermitted()), this, SLOT(operationNotPermitted()));
}

OrvVpn::~OrvVpn() = default;

bool OrvVpn::setConfigPath(QString path)
{
    if (path.isEmpty()) {
        return false;
    }
    configPath = path;
    return true;
}

void OrvVpn::setCredentials(QString user, QString password)
{
    this->user = user;
    this->password = password;
    challengeResponse = QString();
    dynamicChallengeCookie = QString();
}

QString OrvVpn::readConfig(QString path)
{
    return OrvVpnClient::readProfile(path);
}

void OrvVpn::dropWorker()
{
    delete worker.data();
    worker = nullptr;
}

bool OrvVpn::start()
{
    writeLog(4, "orv_vpn", "OrvVpn::start", QStringLiteral("New worker thread"));
    worker = new OrvVpnThread;

    lumen::engine::init_process();

    lumen::engine::Config config;
    config.content = readConfig(configPath).toStdString();
    config.guiVersion = "ORVvpn 1.0";
    config.connTimeout = 0;
    config.tunPersist = false;
    config.googleDnsFallback = false;
    config.autologinSessions = false;
    config.externalPkiAlias = "epki";
    config.disableClientCert = true;
    config.sslDebugLevel = 0;
    config.defaultKeyDirection = -1;
    config.forceAesCbcCiphersuites = false;
    config.altProxy = false;
    config.dco = false;
    config.info = true;

    const lumen::engine::EvalConfig eval = worker->client.eval_config(config);
    if (eval.error) {
        writeLog(1,
                 "orv_vpn",
                 "OrvVpn::start",
                 QStringLiteral("eval config error: ") + QString::fromStdString(eval.message));
        dropWorker();
        return false;
    }

    if (!eval.autologin) {
        writeLog(4, "orv_vpn", "OrvVpn::start", QStringLiteral("Need credentials"));
        if (password.isEmpty() || user.isEmpty()) {
            dropWorker();
            return false;
        }
        lumen::engine::ProvideCreds creds;
        creds.username = user.toStdString();
        creds.password = password.toStdString();
        creds.response = challengeResponse.toStdString();
        creds.dynamicChallengeCookie = dynamicChallengeCookie.toStdString();
        creds.replacePasswordWithSessionID = false;
        creds.cachePassword = true;
        const lumen::engine::Status credsStatus = worker->client.provide_creds(creds);
        if (credsStatus.error) {
            writeLog(1,
                     "orv_vpn",
                     "OrvVpn::start",
                     QStringLiteral("creds error: ") + QString::fromStdString(credsStatus.message));
            dropWorker();
            return false;
        }
    }

    writeLog(4, "orv_vpn", "OrvVpn::start", QStringLiteral("Connecting..."));
    connect(worker, SIGNAL(finished()), worker, SLOT(deleteLater()));
    startWorker();
    return true;
}

void OrvVpn::startWorker()
{
    if (!worker || worker->isRunning() || worker->isFinished()) {
        return;
    }
    OrvVpnThread *previous = OrvVpnThread::running();
    if (previous && previous != worker) {
        // Another tunnel, this object's last or another window's, is still going: the newest start wins, and it
        // starts once that worker is deleted, when every event of it has been delivered.
        writeLog(4, "orv_vpn", "OrvVpn::startWorker", QStringLiteral("Waiting for the previous tunnel to end"));
        static_cast<void>(previous->stop());
        connect(previous, SIGNAL(destroyed()), this, SLOT(startWorker()), Qt::UniqueConnection);
        return;
    }
    if (worker->startTunnel()) {
        m_started = worker;
    }
}

// The relay carries the events of the one running worker to every tunnel object: each heeds only its own. With
// no worker running they come from whoever drives the relay directly.
bool OrvVpn::isOwnEvent() const
{
    const OrvVpnThread *running = OrvVpnThread::running();
    return running == nullptr || running == m_started;
}

bool OrvVpn::stop()
{
    status = 0;
    if (worker && !worker->isRunning() && !worker->isFinished()) {
        // Still waiting for the previous tunnel to end: it never ran, so nothing of it will report its end.
        dropWorker();
        if (!stopping) {
            status = 1;
            emit onDisconnected();
        }
        return true;
    }
    if (worker) {
        const bool stopped = worker->stop();
        writeLog(4, "orv_vpn", "OrvVpn::stop", QStringLiteral("Delete worker thread"));
        stopping = worker;
        worker = nullptr;
        return stopped;
    }
    if (stopping) {
        // The previous tunnel is still going down; its own DISCONNECTED reports the end.
        return false;
    }
    status = 1;
    emit onDisconnected();
    return false;
}

int OrvVpn::getStatus()
{
    return status;
}

int OrvVpn::getDeviceId()
{
    return deviceId;
}

OrvVpnTransportStats *OrvVpn::getTransportStats()
{
    if (!worker) {
        return nullptr;
    }
    return worker->getTransportStats();
}

void OrvVpn::connecting()
{
    if (!isOwnEvent()) {
        return;
    }
    writeLog(4, "orv_vpn", "OrvVpn::connecting", QStringLiteral("Connecting"));
    status = 2;
    emit onConnecting(deviceId);
}

void OrvVpn::connected()
{
    if (!isOwnEvent()) {
        return;
    }
    writeLog(4, "orv_vpn", "OrvVpn::connected", QStringLiteral("Connected"));
    interfaceName = worker ? QString::fromStdString(worker->client.tun_device()) : QString();
    status = 3;
    emit onConnected(deviceId);
}

void OrvVpn::disconnected()
{
    if (!isOwnEvent()) {
        return;
    }
    writeLog(4, "orv_vpn", "OrvVpn::disconnected", QStringLiteral("Disconnected"));
    status = 1;
    interfaceName.clear();
    writeLog(4, "orv_vpn", "OrvVpn::disconnected", QStringLiteral("Delete worker thread"));
    worker = nullptr;
    stopping = nullptr;
    emit onDisconnected();
}

void OrvVpn::operationNotPermitted()
{
    if (!isOwnEvent()) {
        return;
    }
    writeLog(4, "orv_vpn", "OrvVpn::operationNotPermitted", QStringLiteral("Operation not permitted"));
    emit onOperationNotPermitted();
}

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
    worker->start(QThread::InheritPriority);
    return true;
}

bool OrvVpn::stop()
{
    status = 0;
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
    writeLog(4, "orv_vpn", "OrvVpn::connecting", QStringLiteral("Connecting"));
    status = 2;
    emit onConnecting(deviceId);
}

void OrvVpn::connected()
{
    writeLog(4, "orv_vpn", "OrvVpn::connected", QStringLiteral("Connected"));
    status = 3;
    emit onConnected(deviceId);
}

void OrvVpn::disconnected()
{
    writeLog(4, "orv_vpn", "OrvVpn::disconnected", QStringLiteral("Disconnected"));
    status = 1;
    writeLog(4, "orv_vpn", "OrvVpn::disconnected", QStringLiteral("Delete worker thread"));
    worker = nullptr;
    stopping = nullptr;
    emit onDisconnected();
}

void OrvVpn::operationNotPermitted()
{
    writeLog(4, "orv_vpn", "OrvVpn::operationNotPermitted", QStringLiteral("Operation not permitted"));
    emit onOperationNotPermitted();
}

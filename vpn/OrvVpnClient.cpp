#include "vpn/OrvVpnClient.h"

#include <QDebug>

#include "core/Log.h"
#include "vpn/OrvVpnSignals.h"
#include "vpn/engine/ProfileMerge.h"

namespace
{
constexpr std::size_t profileMaxLineLength = 512;
constexpr std::size_t profileMaxSizeBytes = 0x40000;

QString mergeStatusName(int status)
{
    static const char *const names[] = {"MERGE_UNDEFINED",
                                        "MERGE_SUCCESS",
                                        "MERGE_EXCEPTION",
                                        "MERGE_OVPN_EXT_FAIL",
                                        "MERGE_OVPN_FILE_FAIL",
                                        "MERGE_REF_FAIL",
                                        "MERGE_MULTIPLE_REF_FAIL"};
    if (status < 0 || status > 6) {
        return QStringLiteral("MERGE_?");
    }
    return QString::fromLatin1(names[status]);
}
} // namespace

bool OrvVpnClient::socket_protect(int socket)
{
    qDebug().nospace() << "*** socket_protect " << socket;
    return true;
}

bool OrvVpnClient::pause_on_connection_timeout()
{
    return false;
}

void OrvVpnClient::event(const lumen::engine::Event &ev)
{
    QString text = QStringLiteral("Event ") + QString::fromStdString(ev.name) + QStringLiteral(": ");
    if (!ev.info.empty()) {
        text += QString::fromStdString(ev.info);
    }
    const int level = ev.fatal ? 1 : ev.error ? 2 : 4;
    writeLog(level, "orv_vpn", "OrvVpnClient::event", text);

    const std::string &name = ev.name;
    if (name == "DISCONNECTED") {
        emit orvVpnSignals->disconnected();
    } else if (name == "CONNECTED") {
        emit orvVpnSignals->connected();
    } else if (name == "RECONNECTING" || name == "CONNECTING") {
        emit orvVpnSignals->connecting();
    } else if (name == "TUN_SETUP_FAILED") {
        emit orvVpnSignals->operationNotPermitted();
    }
    // PAUSE, RESUME, AUTH_FAILED and every other event are only logged.
}

void OrvVpnClient::external_pki_cert_request(lumen::engine::ExternalPKICertRequest &request)
{
    request.error = true;
    request.errorText = "external_pki_cert_request not implemented";
}

void OrvVpnClient::external_pki_sign_request(lumen::engine::ExternalPKISignRequest &request)
{
    request.error = true;
    request.errorText = "external_pki_sign_request not implemented";
}

void OrvVpnClient::clock_tick()
{
    qDebug() << "clock_tick";
}

void OrvVpnClient::log(const lumen::engine::LogInfo &info)
{
    qDebug() << QString::fromStdString(lumen::engine::date_time()) << ' ' << QString::fromStdString(info.text);
}

QString OrvVpnClient::readProfile(QString path)
{
    const lumen::engine::ProfileMerge merge(path.toStdString(),
                                            "ovpn",
                                            "",
                                            lumen::engine::ProfileMerge::FOLLOW_FULL,
                                            profileMaxLineLength,
                                            profileMaxSizeBytes);
    if (merge.status() == lumen::engine::ProfileMerge::MERGE_SUCCESS) {
        return QString::fromStdString(merge.profile_content());
    }
    writeLog(2,
             "orv_vpn",
             "OrvVpnClient::readProfile",
             QStringLiteral("Merge config error: ") + mergeStatusName(merge.status()) + QStringLiteral(" : ")
                 + QString::fromStdString(merge.error()));
    return QString();
}

#include "tests/support/PortalSession.h"

#include "tests/support/StoredSettings.h"

PortalSession::PortalSession() = default;

PortalSession::~PortalSession()
{
    m_portal.stop();
}

bool PortalSession::start(const QJsonObject &data)
{
    if (!TestPortal::trustTestCertificateAuthority() || !m_portal.setData(data) || !m_portal.start()) {
        return false;
    }
    StoredSettings::setValue(QStringLiteral("portal/base_address"), m_portal.baseAddress());
    return true;
}

bool PortalSession::startLoggedIn(const QJsonObject &data)
{
    storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    return start(data);
}

TestPortal &PortalSession::portal()
{
    return m_portal;
}

int PortalSession::requestCount(TestPortal::Route route) const
{
    int n = 0;
    for (const TestPortal::Request &request : m_portal.requests()) {
        n += request.route == route ? 1 : 0;
    }
    return n;
}

void PortalSession::storeCredentials(const QString &username, const QString &password)
{
    StoredSettings::setValue(QStringLiteral("auth/username"), username);
    StoredSettings::setValue(QStringLiteral("auth/password"), password);
    StoredSettings::setValue(QStringLiteral("auth/last_username"), username);
}

void PortalSession::storeLastDomainIdOpened(int domainId)
{
    StoredSettings::setValue(QStringLiteral("last_domain_id_opened"), domainId);
}

void PortalSession::storeLastUsername(const QString &username)
{
    StoredSettings::setValue(QStringLiteral("auth/last_username"), username);
}

QJsonObject PortalSession::data(const QJsonArray &domains, const QString &password)
{
    const QJsonArray users{
        QJsonObject{{QStringLiteral("username"), QStringLiteral("alice")}, {QStringLiteral("password"), password}}};
    return QJsonObject{{QStringLiteral("users"), users}, {QStringLiteral("domains"), domains}};
}

QJsonObject PortalSession::device(int id, const QString &name, int type, int domainId, int vpnStatus)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("type"), type},
                       {QStringLiteral("domain_id"), domainId},
                       {QStringLiteral("data_delivery_enable"), 1},
                       {QStringLiteral("remote_access_enable"), 1},
                       {QStringLiteral("vpn_status"), vpnStatus},
                       {QStringLiteral("vpn_ip"), QStringLiteral("10.200.0.%1").arg(id % 250)},
                       {QStringLiteral("api_key"), QStringLiteral("device-key-%1").arg(id)}};
}

QJsonObject
PortalSession::deviceAt(int id, int domainId, int vpnStatus, const QString &vpnIp, int type, const QString &apiKey)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), QStringLiteral("device %1").arg(id)},
                       {QStringLiteral("type"), type},
                       {QStringLiteral("domain_id"), domainId},
                       {QStringLiteral("data_delivery_enable"), 0},
                       {QStringLiteral("remote_access_enable"), 1},
                       {QStringLiteral("vpn_status"), vpnStatus},
                       {QStringLiteral("vpn_ip"), vpnIp},
                       {QStringLiteral("api_key"), apiKey}};
}

QJsonObject PortalSession::sampleData(const QJsonObject &northFields)
{
    const QJsonArray north{device(101, QStringLiteral("Press 1"), 1, 10, 1),
                           device(102, QStringLiteral("Press 2"), 3, 10, 0),
                           device(103, QStringLiteral("Gateway"), 5, 10, 1),
                           device(104, QStringLiteral("Hidden"), 2, 10, 1)};
    const QJsonArray south{device(201, QStringLiteral("Meter"), 3, 20, 1)};
    QJsonObject first{{QStringLiteral("id"), 10},
                      {QStringLiteral("name"), QStringLiteral("Plant North")},
                      {QStringLiteral("vpn_enable"), 1},
                      {QStringLiteral("devices"), north}};
    for (auto field = northFields.begin(); field != northFields.end(); ++field) {
        first.insert(field.key(), field.value());
    }
    const QJsonArray domains{
        first,
        QJsonObject{{QStringLiteral("id"), 20},
                    {QStringLiteral("name"), QStringLiteral("Plant South")},
                    {QStringLiteral("vpn_enable"), 0},
                    {QStringLiteral("devices"), south}},
        QJsonObject{{QStringLiteral("id"), 30},
                    {QStringLiteral("name"), QStringLiteral("Empty site")},
                    {QStringLiteral("vpn_enable"), 1},
                    {QStringLiteral("devices"), QJsonArray()}},
    };
    const QJsonArray users{QJsonObject{{QStringLiteral("username"), QStringLiteral("alice")},
                                       {QStringLiteral("password"), QStringLiteral("secret")}}};
    return QJsonObject{{QStringLiteral("users"), users}, {QStringLiteral("domains"), domains}};
}

QJsonObject PortalSession::longData()
{
    QJsonObject data = sampleData();
    QJsonArray domains;
    for (int i = 1; i <= 16; ++i) {
        domains.append(QJsonObject{
            {QStringLiteral("id"), 100 + i},
            {QStringLiteral("name"), QStringLiteral("Site %1").arg(i)},
            {QStringLiteral("vpn_enable"), 1},
            {QStringLiteral("devices"),
             QJsonArray{PortalSession::device(1000 + i, QStringLiteral("Unit %1").arg(i), 1, 100 + i, 1)}}});
    }
    data.insert(QStringLiteral("domains"), domains);
    return data;
}

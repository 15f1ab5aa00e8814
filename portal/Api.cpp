#include "portal/Api.h"

#include <QDebug>
#include <QSettings>
#include <QUrl>

#include "core/Log.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "core/SecretMask.h"
#include "portal/HttpRequest.h"

namespace
{
const QString apiPath = QStringLiteral("/api/v2/");

constexpr const char *logModule = "http_request";

bool isHttpsAddress(const QString &address)
{
    const QUrl url(address, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty()
           && address.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

QString url(const QString &resource)
{
    return Api::baseAddress() + apiPath + resource;
}
} // namespace

Api::Api(QObject *parent)
    : QObject(parent)
{}

QString Api::baseAddress()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    QString address = settings.value(QStringLiteral("portal/base_address"), QString()).toString().trimmed();
    if (!address.isEmpty() && !isHttpsAddress(address)) {
        // Anything but TLS would send the credentials and the key in clear.
        static QString lastRefused;
        if (address != lastRefused) {
            lastRefused = address;
            writeLog(2,
                     logModule,
                     "Api::baseAddress",
                     QStringLiteral("Portal address refused, not https: ")
                         + QUrl(address, QUrl::TolerantMode).toString(QUrl::RemoveUserInfo)
                         + QStringLiteral("; using the built-in one"));
        }
        address.clear();
    }
    if (address.isEmpty()) {
        address = QStringLiteral(LUMENBRIDGE_PORTAL_BASE_ADDRESS);
    }
    // The paths are appended with their own leading slash.
    while (address.endsWith(QLatin1Char('/'))) {
        address.chop(1);
    }
    return address;
}

void Api::getApiKey(QString username, QString password)
{
    auto *request = new HttpRequest;
    request->setBasicAuth(username, password);
    connect(request, SIGNAL(success(int, QString)), this, SLOT(getApiKeySuccess(int, QString)));
    connect(request, SIGNAL(error(int, QString)), this, SLOT(getApiKeyError(int, QString)));
    request->get(url(QStringLiteral("api_key")));
}

void Api::getNewApiKey(QString api_key)
{
    send(QStringLiteral("api_key"),
         api_key,
         SLOT(getNewApiKeySuccess(int, QString)),
         SLOT(getNewApiKeyError(int, QString)));
}

void Api::getDomains(QString api_key)
{
    send(QStringLiteral("domain"), api_key, SLOT(getDomainsSuccess(int, QString)), SLOT(getDomainsError(int, QString)));
}

void Api::getVpnDomainConfig(QString api_key, int domain_id)
{
    send(QStringLiteral("vpn/domain/") + QString::number(domain_id),
         api_key,
         SLOT(getVpnDomainConfigSuccess(int, QString)),
         SLOT(getVpnDomainConfigError(int, QString)));
}

void Api::send(const QString &resource, const QString &apiKey, const char *successSlot, const char *errorSlot)
{
    auto *request = new HttpRequest;
    QByteArray token = apiKey.toLatin1();
    if (token.isNull()) {
        // A null value would drop the header; an empty key is still sent, as an empty header.
        token = QByteArray("");
    }
    request->setRawHeader(QByteArrayLiteral("x-access-token"), token);
    connect(request, SIGNAL(success(int, QString)), this, successSlot);
    connect(request, SIGNAL(error(int, QString)), this, errorSlot);
    request->get(url(resource));
}

void Api::getApiKeySuccess(int status, QString data)
{
    qDebug() << SecretMask::inText(data);
    emit onGetApiKeySuccess(status, data);
}

void Api::getApiKeyError(int status, QString data)
{
    emit onGetApiKeyError(status, data);
}

void Api::getNewApiKeySuccess(int status, QString data)
{
    qDebug() << SecretMask::inText(data);
    emit onGetNewApiKeySuccess(status, data);
}

void Api::getNewApiKeyError(int status, QString data)
{
    emit onGetNewApiKeyError(status, data);
}

void Api::getDomainsSuccess(int status, QString data)
{
    emit onGetDomainsSuccess(status, data);
}

void Api::getDomainsError(int status, QString data)
{
    emit onGetDomainsError(status, data);
}

void Api::getVpnDomainConfigSuccess(int status, QString data)
{
    emit onGetVpnDomainConfigSuccess(status, data);
}

void Api::getVpnDomainConfigError(int status, QString data)
{
    emit onGetVpnDomainConfigError(status, data);
}

#pragma once

#include <QObject>
#include <QString>

// Client of the portal's REST service: each slot sends one HttpRequest and its answer comes back as a signal pair.
// GUI thread; stateless. The controller owns one for the page and the domain requests and one for each configuration
// request, Auth one for the key requests.
class Api : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Api)

public:
    explicit Api(QObject *parent = nullptr);

    // The portal's base address: the settings key "portal/base_address" when it holds an https:// address, else the
    // built-in one (anything else is refused with a warning).
    static QString baseAddress();

signals:
    void onGetApiKeySuccess(int status, QString data);
    void onGetApiKeyError(int status, QString data);
    void onGetNewApiKeySuccess(int status, QString data);
    void onGetNewApiKeyError(int status, QString data);
    void onGetDomainsSuccess(int status, QString data);
    void onGetDomainsError(int status, QString data);
    void onGetVpnDomainConfigSuccess(int status, QString data);
    void onGetVpnDomainConfigError(int status, QString data);

public slots:
    void getApiKey(QString username, QString password);
    void getNewApiKey(QString api_key);
    void getDomains(QString api_key);
    void getVpnDomainConfig(QString api_key, int domain_id);

private slots:
    void getApiKeySuccess(int status, QString data);
    void getApiKeyError(int status, QString data);
    void getNewApiKeySuccess(int status, QString data);
    void getNewApiKeyError(int status, QString data);
    void getDomainsSuccess(int status, QString data);
    void getDomainsError(int status, QString data);
    void getVpnDomainConfigSuccess(int status, QString data);
    void getVpnDomainConfigError(int status, QString data);

private:
    void send(const QString &resource, const QString &apiKey, const char *successSlot, const char *errorSlot);
};

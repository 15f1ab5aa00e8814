#include "portal/Auth.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTimer>

#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "portal/Api.h"

namespace
{
constexpr int keyCheckIntervalMs = 30000;
// The key is renewed once this little of its life is left.
constexpr qint32 renewBeforeExpirySeconds = 30;

qint32 nowSeconds()
{
    return static_cast<qint32>(QDateTime::currentSecsSinceEpoch());
}

// Other builds of the program store these texts empty, never null (a null string is a different record in the
// file); the fields are null when they were never set.
QString storedText(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}
} // namespace

Auth::Auth(QObject *parent)
    : QObject(parent)
{
    makeApi();

    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.beginGroup(QStringLiteral("auth"));
        username = settings.value(QStringLiteral("username"), QString()).toString();
        password = settings.value(QStringLiteral("password"), QString()).toString();
        lastUsername = settings.value(QStringLiteral("last_username"), QString()).toString();
        settings.endGroup();
    }

    timer = new QTimer(this);
    timer->setInterval(keyCheckIntervalMs);
    connect(timer, SIGNAL(timeout()), this, SLOT(checkApiKey()));

    if (!username.isEmpty() && !password.isEmpty()) {
        tryLogin = true;
        api->getApiKey(username, password);
    }
}

Auth::~Auth() = default;

void Auth::makeApi()
{
    if (api) {
        // Answers still on their way belong to a log-in that has been left: they reach the old client, which
        // nobody listens to any more, so they can neither log the user back in nor replace a newer key.
        disconnect(api, nullptr, this, nullptr);
        api->deleteLater();
    }
    api = new Api(this);
    connect(api, SIGNAL(onGetApiKeyError(int, QString)), this, SLOT(getApiKeyError(int, QString)));
    connect(api, SIGNAL(onGetApiKeySuccess(int, QString)), this, SLOT(getApiKeySuccess(int, QString)));
    connect(api, SIGNAL(onGetNewApiKeyError(int, QString)), this, SLOT(getNewApiKeyError(int, QString)));
    connect(api, SIGNAL(onGetNewApiKeySuccess(int, QString)), this, SLOT(getNewApiKeySuccess(int, QString)));
}

QString Auth::getUsername()
{
    return username;
}

bool Auth::isAuthenticated()
{
    return authenticated;
}

bool Auth::isTryLogin()
{
    return tryLogin;
}

int Auth::getLoginErrorStatus()
{
    return loginErrorStatus;
}

void Auth::login(QString username, QString password)
{
    makeApi();
    tryLogin = true;
    loginErrorStatus = 0;
    this->username = username;
    this->password = password;
    api->getApiKey(username, password);
    emit usernameChanged();
}

void Auth::abandon()
{
    makeApi();
    tryLogin = false;
    dropKey();
}

void Auth::logout()
{
    makeApi();
    tryLogin = false;
    authenticated = false;
    loginErrorStatus = 0;
    username.clear();
    password.clear();
    type = -1;
    apiKey.clear();
    expire = 0;
    if (timer->isActive()) {
        timer->stop();
    }
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.beginGroup(QStringLiteral("auth"));
        settings.setValue(QStringLiteral("username"), storedText(username));
        settings.setValue(QStringLiteral("password"), storedText(password));
        settings.endGroup();
    }
    emit usernameChanged();
    emit onLogout();
}

bool Auth::readKeyReply(int status, const QString &data)
{
    if (status != 200) {
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(data.toLatin1());
    if (!document.isObject()) {
        return false;
    }
    const QJsonObject reply = document.object();
    if (!reply.contains(QStringLiteral("authentication"))) {
        return false;
    }
    const QJsonObject authentication = reply.value(QStringLiteral("authentication")).toObject();
    const QString newKey = authentication.value(QStringLiteral("api_key")).toString();
    const qint32 newExpire = authentication.value(QStringLiteral("expire")).toInt();
    const int newType = authentication.value(QStringLiteral("type")).toInt();
    // An empty key would leave us authenticated with nothing to send.
    if (newKey.isEmpty() || nowSeconds() >= newExpire) {
        return false;
    }
    apiKey = newKey;
    expire = newExpire;
    type = newType;
    authenticated = true;
    startCheckTimer();
    return true;
}

void Auth::dropKey()
{
    authenticated = false;
    apiKey.clear();
    if (timer->isActive()) {
        timer->stop();
    }
}

void Auth::startCheckTimer()
{
    if (!timer->isActive()) {
        timer->start(keyCheckIntervalMs);
    }
}

void Auth::getApiKeySuccess(int status, QString data)
{
    if (!readKeyReply(status, data)) {
        getApiKeyError(status, data);
        return;
    }
    // One settings object, one rewrite of the file, done before any signal: a receiver that opens the settings
    // while changes are pending would write them out a second time. So receivers already read the new state.
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        if (tryLogin && lastUsername != username) {
            // A different user: what is stored belongs to the previous one.
            settings.clearVirtualSerialPorts();
            settings.clearDomains();
            settings.clearLastDomainIdOpened();
        }
        settings.beginGroup(QStringLiteral("auth"));
        settings.setValue(QStringLiteral("username"), storedText(username));
        settings.setValue(QStringLiteral("password"), storedText(password));
        settings.setValue(QStringLiteral("last_username"), storedText(username));
        settings.endGroup();
    }

    if (tryLogin) {
        loginErrorStatus = 0;
        emit onLoginSuccess();
    }
    lastUsername = username;
    tryLogin = false;
    emit onGetApiKeySuccess();
}

void Auth::getApiKeyError(int status, QString data)
{
    Q_UNUSED(data)
    dropKey();
    if (tryLogin) {
        // Read by the page on onLoginError: an unreachable portal is not a refusal of the credentials.
        loginErrorStatus = status;
        emit onLoginError();
    }
    tryLogin = false;
}

void Auth::checkApiKey()
{
    // A log-in in flight brings a fresh key of its own; a renewal of the old one could overwrite it.
    if (tryLogin) {
        return;
    }
    if (nowSeconds() >= expire - renewBeforeExpirySeconds) {
        timer->stop();
        api->getNewApiKey(apiKey);
    }
}

void Auth::getNewApiKeySuccess(int status, QString data)
{
    if (!readKeyReply(status, data)) {
        dropKey();
    }
}

void Auth::getNewApiKeyError(int status, QString data)
{
    Q_UNUSED(status)
    Q_UNUSED(data)
    dropKey();
}

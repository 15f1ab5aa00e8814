#pragma once

#include <QObject>
#include <QString>

class Api;
class QTimer;

// The user's log-in with the portal: credentials, the API key and its renewal before it expires.
// GUI thread; the controller creates one at start-up and keeps it for the whole run.
class Auth : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString username READ getUsername NOTIFY usernameChanged)
    Q_DISABLE_COPY_MOVE(Auth)

public:
    explicit Auth(QObject *parent = nullptr);
    ~Auth() override;

    // Ends this object's part in the run without logging out, for a controller whose window has closed: the login
    // or renewal in flight is disowned, the key is dropped and never renewed. The stored login stays.
    void abandon();

    // The current key, empty whenever not authenticated; the controller reads it before each portal request.
    QString apiKey;

signals:
    void onLoginSuccess();
    void onLoginError();
    void onLogout();
    void onGetApiKeySuccess();
    void usernameChanged();

private slots:
    QString getUsername();
    void getApiKeySuccess(int status, QString data);
    void getApiKeyError(int status, QString data);
    void checkApiKey();
    void getNewApiKeySuccess(int status, QString data);
    void getNewApiKeyError(int status, QString data);

public slots:
    bool isAuthenticated();
    bool isTryLogin();
    // The HTTP status that refused the last login, -1 when it got no HTTP answer at all; 0 while no login has
    // failed since the last start of a login, success or logout.
    int getLoginErrorStatus();
    void login(QString username, QString password);
    void logout();

private:
    [[nodiscard]] bool readKeyReply(int status, const QString &data);
    void dropKey();
    void startCheckTimer();
    void makeApi();

    Api *api = nullptr;
    QString username;
    QString lastUsername;
    QString password;
    qint32 expire = 0;
    bool authenticated = false;
    int type = -1;
    QTimer *timer = nullptr;
    bool tryLogin = false;
    int loginErrorStatus = 0;
};

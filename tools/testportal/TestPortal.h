#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

class QSslSocket;
class QTcpServer;

// A real HTTPS server on loopback that answers the portal's REST calls from a JSON data file, or, in device mode,
// only a device's remote-access call. Every route can be told to answer late, never, with another status or with a
// malformed body; every request is logged for the tests. Main thread; owned by whoever made it.
class TestPortal : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TestPortal)

public:
    enum class Route
    {
        Login,
        Renew,
        Domains,
        VpnConfig,
        RemoteAccess,
        Other
    };
    Q_ENUM(Route)

    // How a route answers. The default answers from the data.
    struct Behaviour
    {
        int delayMs = 0;
        bool neverAnswer = false;
        // Answer only when releaseHeld() is called with the request's index, so a test sets the order of answers.
        bool hold = false;
        // Non-zero: answer this status with `body` instead of the route's own answer.
        int status = 0;
        QByteArray body;
        // Status 200 with a body that does not parse.
        bool malformedBody = false;
    };

    struct Request
    {
        Route route = Route::Other;
        QByteArray method;
        QByteArray target;
        QByteArray path;
        QByteArray query;
        QList<QPair<QByteArray, QByteArray>> headers;
        int status = 0;
        bool answered = false;
        bool closed = false;

        bool hasHeader(const QByteArray &name) const;
        QByteArray header(const QByteArray &name) const;
    };

    explicit TestPortal(QObject *parent = nullptr);
    ~TestPortal() override;

    // Data file, a JSON object:
    //   "users": [{"username", "password", "domains": [ids]}]   (no "domains": the user sees every domain)
    //   "domains": [domain records as the client stores them, each optionally with
    //               "vpn_files": [{"name", "text" | "base64"}] and/or "vpn_folder": a folder whose files are served]
    //   "key_lifetime": seconds (3600), "key_type": number (1).
    // Relative folders are taken from the data file's folder (setData: from baseFolder).
    [[nodiscard]] bool loadData(const QString &path);
    [[nodiscard]] bool setData(const QJsonObject &data, const QString &baseFolder = QString());
    [[nodiscard]] bool setCertificate(const QString &certificatePath, const QString &keyPath);
    // Serve only a device's remote-access route, checking the device's own key.
    void setDeviceMode(const QString &deviceKey, int remotePort);
    void setBehaviour(Route route, const Behaviour &behaviour);
    // Sends the answer held for request `index`; false when none is held (or its connection has gone).
    bool releaseHeld(int index);
    void resetBehaviours();
    // Lifetime of the keys issued from now on; zero or less issues keys that have already expired.
    void setKeyLifetimeSeconds(qint64 seconds);
    void setRefuseCredentials(bool refuse);

    [[nodiscard]] bool start(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    void stop();
    quint16 port() const;
    QString hostAndPort() const;
    QString baseAddress() const;
    QString errorString() const;

    QList<Request> requests() const;
    void clearRequests();
    QString lastIssuedKey() const;
    // The user a key was issued to; empty for a key this portal never issued.
    QString keyOwner(const QString &key) const;

    static QString caCertificatePath();
    static QString serverCertificatePath();
    static QString serverKeyPath();
    static QString deviceCertificatePath();
    static QString deviceKeyPath();
    // Adds the test CA to the process's default TLS configuration, which every later request starts from.
    [[nodiscard]] static bool trustTestCertificateAuthority();

signals:
    void requestReceived(int index);
    void requestAnswered(int index);
    void connectionClosed(int index);

private:
    struct User
    {
        QString password;
        QList<int> domainIds;
        bool allDomains = true;
    };

    struct IssuedKey
    {
        QString username;
        qint64 expire = 0;
    };

    struct VpnFile
    {
        QString name;
        QByteArray contents;
    };

    struct Answer
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
    };

    struct Connection
    {
        QByteArray buffer;
        int requestIndex = -1;
        bool held = false;
        Answer heldAnswer;
    };

    void acceptConnection(qintptr descriptor);
    void readRequest(QSslSocket *socket);
    void socketClosed(QSslSocket *socket);
    void answer(QSslSocket *socket, int index, const Answer &reply);
    Route routeOf(const Request &request) const;
    Answer routeAnswer(const Request &request);
    Answer loginAnswer(const Request &request);
    Answer renewAnswer(const Request &request);
    Answer domainsAnswer(const Request &request);
    Answer vpnConfigAnswer(const Request &request);
    Answer remoteAccessAnswer(const Request &request) const;
    Answer issueKey(const QString &username);
    const IssuedKey *validKey(const Request &request) const;
    QJsonArray domainsOf(const QString &username) const;

    QTcpServer *m_server = nullptr;
    QHash<QSslSocket *, Connection> m_connections;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QString m_errorString;
    QMap<QString, User> m_users;
    QJsonArray m_domains;
    QMap<int, QList<VpnFile>> m_vpnFiles;
    QMap<QString, IssuedKey> m_keys;
    QString m_lastIssuedKey;
    QHash<int, Behaviour> m_behaviours;
    QList<Request> m_requests;
    qint64 m_keyLifetimeSeconds = 3600;
    int m_keyType = 1;
    bool m_refuseCredentials = false;
    bool m_deviceMode = false;
    QString m_deviceKey;
    int m_remotePort = 0;
};

#include "tools/testportal/TestPortal.h"

#include <functional>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrlQuery>

namespace
{
constexpr int maximumHeaderBytes = 64 * 1024;
// A client that keeps a connection open after its answer is closed by the server after this long.
constexpr int closeAfterAnswerMs = 10000;

class TlsServer : public QTcpServer
{
public:
    explicit TlsServer(std::function<void(qintptr)> accept, QObject *parent)
        : QTcpServer(parent)
        , m_accept(std::move(accept))
    {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        m_accept(descriptor);
    }

private:
    std::function<void(qintptr)> m_accept;
};

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray jsonBody(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray errorBody(const QString &message)
{
    return jsonBody(QJsonObject{{QStringLiteral("error"), message}});
}

QString certificateFile(const char *name)
{
    return QStringLiteral(TESTPORTAL_CERTIFICATE_DIR "/") + QLatin1String(name);
}
} // namespace

bool TestPortal::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (field.first == name.toLower()) {
            return true;
        }
    }
    return false;
}

QByteArray TestPortal::Request::header(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (field.first == name.toLower()) {
            return field.second;
        }
    }
    return QByteArray();
}

TestPortal::TestPortal(QObject *parent)
    : QObject(parent)
{
    if (!setCertificate(serverCertificatePath(), serverKeyPath())) {
        qWarning("TestPortal: %s", qPrintable(m_errorString));
    }
}

TestPortal::~TestPortal()
{
    stop();
}

QString TestPortal::caCertificatePath()
{
    return certificateFile("ca.pem");
}

QString TestPortal::serverCertificatePath()
{
    return certificateFile("server.pem");
}

QString TestPortal::serverKeyPath()
{
    return certificateFile("server.key");
}

QString TestPortal::deviceCertificatePath()
{
    return certificateFile("device.pem");
}

QString TestPortal::deviceKeyPath()
{
    return certificateFile("device.key");
}

bool TestPortal::trustTestCertificateAuthority()
{
    const QList<QSslCertificate> authority = QSslCertificate::fromPath(caCertificatePath());
    if (authority.isEmpty()) {
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(authority);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

bool TestPortal::setCertificate(const QString &certificatePath, const QString &keyPath)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(certificatePath);
    QFile keyFile(keyPath);
    if (certificates.isEmpty() || !keyFile.open(QIODevice::ReadOnly)) {
        m_errorString = QStringLiteral("cannot read certificate %1 or key %2").arg(certificatePath, keyPath);
        return false;
    }
    const QByteArray keyBytes = keyFile.readAll();
    QSslKey key(keyBytes, QSsl::Rsa);
    if (key.isNull()) {
        key = QSslKey(keyBytes, QSsl::Ec);
    }
    if (key.isNull()) {
        m_errorString = QStringLiteral("cannot read key %1").arg(keyPath);
        return false;
    }
    m_certificate = certificates.first();
    m_key = key;
    return true;
}

bool TestPortal::loadData(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_errorString = QStringLiteral("cannot open %1").arg(path);
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        m_errorString = QStringLiteral("%1 is not a JSON object: %2").arg(path, parseError.errorString());
        return false;
    }
    return setData(document.object(), QFileInfo(path).absolutePath());
}

bool TestPortal::setData(const QJsonObject &data, const QString &baseFolder)
{
    m_users.clear();
    m_domains = QJsonArray();
    m_vpnFiles.clear();
    m_keyLifetimeSeconds = data.value(QStringLiteral("key_lifetime")).toInt(3600);
    m_keyType = data.value(QStringLiteral("key_type")).toInt(1);

    for (const QJsonValue &value : data.value(QStringLiteral("users")).toArray()) {
        const QJsonObject object = value.toObject();
        User user;
        user.password = object.value(QStringLiteral("password")).toString();
        user.allDomains = !object.contains(QStringLiteral("domains"));
        for (const QJsonValue &id : object.value(QStringLiteral("domains")).toArray()) {
            user.domainIds.append(id.toInt());
        }
        m_users.insert(object.value(QStringLiteral("username")).toString(), user);
    }

    const QDir base(baseFolder.isEmpty() ? QDir::currentPath() : baseFolder);
    for (const QJsonValue &value : data.value(QStringLiteral("domains")).toArray()) {
        QJsonObject domain = value.toObject();
        const int id = domain.value(QStringLiteral("id")).toInt();
        QList<VpnFile> files;
        for (const QJsonValue &fileValue : domain.value(QStringLiteral("vpn_files")).toArray()) {
            const QJsonObject file = fileValue.toObject();
            const QByteArray contents =
                file.contains(QStringLiteral("base64"))
                    ? QByteArray::fromBase64(file.value(QStringLiteral("base64")).toString().toLatin1())
                    : file.value(QStringLiteral("text")).toString().toUtf8();
            files.append({file.value(QStringLiteral("name")).toString(), contents});
        }
        const QString folder = domain.value(QStringLiteral("vpn_folder")).toString();
        if (!folder.isEmpty()) {
            const QDir dir(base.absoluteFilePath(folder));
            if (!dir.exists()) {
                m_errorString = QStringLiteral("VPN folder %1 does not exist").arg(dir.path());
                return false;
            }
            for (const QFileInfo &info : dir.entryInfoList(QDir::Files, QDir::Name)) {
                QFile file(info.absoluteFilePath());
                if (!file.open(QIODevice::ReadOnly)) {
                    m_errorString = QStringLiteral("cannot read %1").arg(info.absoluteFilePath());
                    return false;
                }
                files.append({info.fileName(), file.readAll()});
            }
        }
        m_vpnFiles.insert(id, files);
        domain.remove(QStringLiteral("vpn_files"));
        domain.remove(QStringLiteral("vpn_folder"));
        m_domains.append(domain);
    }
    return true;
}

void TestPortal::setDeviceMode(const QString &deviceKey, int remotePort)
{
    m_deviceMode = true;
    m_deviceKey = deviceKey;
    m_remotePort = remotePort;
}

void TestPortal::setBehaviour(Route route, const Behaviour &behaviour)
{
    m_behaviours.insert(static_cast<int>(route), behaviour);
}

bool TestPortal::releaseHeld(int index)
{
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->held && it->requestIndex == index) {
            it->held = false;
            answer(it.key(), index, it->heldAnswer);
            return true;
        }
    }
    return false;
}

void TestPortal::resetBehaviours()
{
    m_behaviours.clear();
}

void TestPortal::setKeyLifetimeSeconds(qint64 seconds)
{
    m_keyLifetimeSeconds = seconds;
}

void TestPortal::setRefuseCredentials(bool refuse)
{
    m_refuseCredentials = refuse;
}

bool TestPortal::start(const QHostAddress &address, quint16 port)
{
    if (m_certificate.isNull() || m_key.isNull()) {
        return false;
    }
    stop();
    m_server = new TlsServer([this](qintptr descriptor) { acceptConnection(descriptor); }, this);
    if (!m_server->listen(address, port)) {
        m_errorString = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    return true;
}

void TestPortal::stop()
{
    const QList<QSslSocket *> sockets = m_connections.keys();
    m_connections.clear();
    for (QSslSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    delete m_server;
    m_server = nullptr;
}

quint16 TestPortal::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QString TestPortal::hostAndPort() const
{
    const QHostAddress address = m_server ? m_server->serverAddress() : QHostAddress(QHostAddress::LocalHost);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port());
}

QString TestPortal::baseAddress() const
{
    return QStringLiteral("https://") + hostAndPort();
}

QString TestPortal::errorString() const
{
    return m_errorString;
}

QList<TestPortal::Request> TestPortal::requests() const
{
    return m_requests;
}

void TestPortal::clearRequests()
{
    m_requests.clear();
    for (Connection &connection : m_connections) {
        connection.requestIndex = -1;
    }
}

QString TestPortal::lastIssuedKey() const
{
    return m_lastIssuedKey;
}

QString TestPortal::keyOwner(const QString &key) const
{
    return m_keys.value(key).username;
}

void TestPortal::acceptConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    m_connections.insert(socket, Connection());
    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { readRequest(socket); });
    connect(socket, &QSslSocket::disconnected, this, [this, socket] { socketClosed(socket); });
    // A client that refuses our certificate ends the handshake with an error and no request.
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError) {
        if (socket->state() == QAbstractSocket::UnconnectedState) {
            socketClosed(socket);
        }
    });
    socket->startServerEncryption();
}

void TestPortal::socketClosed(QSslSocket *socket)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end()) {
        return;
    }
    const int index = found->requestIndex;
    m_connections.erase(found);
    socket->deleteLater();
    if (index >= 0 && index < m_requests.size()) {
        m_requests[index].closed = true;
        emit connectionClosed(index);
    }
}

void TestPortal::readRequest(QSslSocket *socket)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end()) {
        return;
    }
    found->buffer.append(socket->readAll());
    if (found->requestIndex >= 0) {
        // One request per connection; anything after it is ignored.
        return;
    }
    const int headerEnd = found->buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (found->buffer.size() > maximumHeaderBytes) {
            Request request;
            m_requests.append(request);
            found->requestIndex = m_requests.size() - 1;
            answer(socket, found->requestIndex, {431, "text/plain", "header too large"});
        }
        return;
    }

    Request request;
    const QList<QByteArray> lines = found->buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    const int queryStart = request.target.indexOf('?');
    request.path = queryStart < 0 ? request.target : request.target.left(queryStart);
    request.query = queryStart < 0 ? QByteArray() : request.target.mid(queryStart + 1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0) {
            request.headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
        }
    }
    request.route = routeOf(request);
    m_requests.append(request);
    const int index = m_requests.size() - 1;
    found->requestIndex = index;
    emit requestReceived(index);

    const Behaviour behaviour = m_behaviours.value(static_cast<int>(request.route));
    if (behaviour.neverAnswer) {
        return;
    }
    Answer reply;
    if (behaviour.status != 0) {
        reply = {behaviour.status, "application/json", behaviour.body};
    } else if (behaviour.malformedBody) {
        reply = request.route == Route::RemoteAccess ? Answer{200, "application/xml", "<remote_access><dst_ip_port>"}
                                                     : Answer{200, "application/json", "{\"authentication\": {"};
    } else {
        reply = routeAnswer(request);
    }
    if (behaviour.hold) {
        found->held = true;
        found->heldAnswer = reply;
    } else if (behaviour.delayMs > 0) {
        QTimer::singleShot(behaviour.delayMs, socket, [this, socket, index, reply] {
            if (m_connections.contains(socket)) {
                answer(socket, index, reply);
            }
        });
    } else {
        answer(socket, index, reply);
    }
}

void TestPortal::answer(QSslSocket *socket, int index, const Answer &reply)
{
    const bool noBody = reply.status == 204;
    QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    if (!noBody) {
        response += "Content-Type: " + reply.contentType + "\r\n";
    }
    if (reply.status == 302) {
        response += "Location: /moved\r\n";
    }
    response += "Content-Length: " + QByteArray::number(noBody ? 0 : reply.body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n";
    if (!noBody) {
        response += reply.body;
    }
    socket->write(response);
    if (index >= 0 && index < m_requests.size()) {
        m_requests[index].status = reply.status;
        m_requests[index].answered = true;
        emit requestAnswered(index);
    }
    // The client closes after reading the answer; that close is what tests wait for. Should it not, we do.
    QTimer::singleShot(closeAfterAnswerMs, socket, [socket] { socket->disconnectFromHost(); });
}

TestPortal::Route TestPortal::routeOf(const Request &request) const
{
    if (m_deviceMode) {
        return request.path.startsWith("/api/v1/remote/access/") ? Route::RemoteAccess : Route::Other;
    }
    if (request.path == "/api/v2/api_key") {
        return request.hasHeader("authorization") || !request.hasHeader("x-access-token") ? Route::Login : Route::Renew;
    }
    if (request.path == "/api/v2/domain") {
        return Route::Domains;
    }
    if (request.path.startsWith("/api/v2/vpn/domain/")) {
        return Route::VpnConfig;
    }
    return Route::Other;
}

TestPortal::Answer TestPortal::routeAnswer(const Request &request)
{
    if (request.method != "GET") {
        return {400, "application/json", errorBody(QStringLiteral("only GET is served"))};
    }
    switch (request.route) {
    case Route::Login:
        return loginAnswer(request);
    case Route::Renew:
        return renewAnswer(request);
    case Route::Domains:
        return domainsAnswer(request);
    case Route::VpnConfig:
        return vpnConfigAnswer(request);
    case Route::RemoteAccess:
        return remoteAccessAnswer(request);
    case Route::Other:
        break;
    }
    return {404, "application/json", errorBody(QStringLiteral("not found"))};
}

TestPortal::Answer TestPortal::loginAnswer(const Request &request)
{
    const QByteArray authorization = request.header("authorization");
    if (!authorization.startsWith("Basic ")) {
        return {401, "application/json", errorBody(QStringLiteral("credentials required"))};
    }
    const QByteArray credentials = QByteArray::fromBase64(authorization.mid(6));
    const int colon = credentials.indexOf(':');
    const QString username = QString::fromUtf8(credentials.left(colon < 0 ? credentials.size() : colon));
    const QString password = colon < 0 ? QString() : QString::fromUtf8(credentials.mid(colon + 1));
    const auto user = m_users.constFind(username);
    if (m_refuseCredentials || colon < 0 || user == m_users.constEnd() || user->password != password) {
        return {401, "application/json", errorBody(QStringLiteral("invalid credentials"))};
    }
    return issueKey(username);
}

TestPortal::Answer TestPortal::renewAnswer(const Request &request)
{
    const IssuedKey *key = validKey(request);
    if (!key) {
        return {401, "application/json", errorBody(QStringLiteral("invalid or expired key"))};
    }
    return issueKey(key->username);
}

TestPortal::Answer TestPortal::issueKey(const QString &username)
{
    // 32 hexadecimal digits, as the portal's keys always have.
    const QString key = QStringLiteral("%1%2")
                            .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'))
                            .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    const qint64 expire = QDateTime::currentSecsSinceEpoch() + m_keyLifetimeSeconds;
    m_keys.insert(key, {username, expire});
    m_lastIssuedKey = key;
    const QJsonObject authentication{
        {QStringLiteral("api_key"), key}, {QStringLiteral("expire"), expire}, {QStringLiteral("type"), m_keyType}};
    return {200, "application/json", jsonBody(QJsonObject{{QStringLiteral("authentication"), authentication}})};
}

const TestPortal::IssuedKey *TestPortal::validKey(const Request &request) const
{
    const auto key = m_keys.constFind(QString::fromLatin1(request.header("x-access-token")));
    if (key == m_keys.constEnd() || key->expire <= QDateTime::currentSecsSinceEpoch()) {
        return nullptr;
    }
    return &key.value();
}

QJsonArray TestPortal::domainsOf(const QString &username) const
{
    const User user = m_users.value(username);
    QJsonArray result;
    for (const QJsonValue &domain : m_domains) {
        if (user.allDomains || user.domainIds.contains(domain.toObject().value(QStringLiteral("id")).toInt())) {
            result.append(domain);
        }
    }
    return result;
}

TestPortal::Answer TestPortal::domainsAnswer(const Request &request)
{
    const IssuedKey *key = validKey(request);
    if (!key) {
        return {401, "application/json", errorBody(QStringLiteral("invalid or expired key"))};
    }
    return {200, "application/json", jsonBody(QJsonObject{{QStringLiteral("domains"), domainsOf(key->username)}})};
}

TestPortal::Answer TestPortal::vpnConfigAnswer(const Request &request)
{
    const IssuedKey *key = validKey(request);
    if (!key) {
        return {401, "application/json", errorBody(QStringLiteral("invalid or expired key"))};
    }
    bool isNumber = false;
    const int domainId = request.path.mid(int(qstrlen("/api/v2/vpn/domain/"))).toInt(&isNumber);
    bool allowed = false;
    for (const QJsonValue &domain : domainsOf(key->username)) {
        allowed = allowed || domain.toObject().value(QStringLiteral("id")).toInt() == domainId;
    }
    if (!isNumber || !allowed || !m_vpnFiles.contains(domainId)) {
        return {404, "application/json", errorBody(QStringLiteral("no such domain"))};
    }
    QJsonArray files;
    for (const VpnFile &file : m_vpnFiles.value(domainId)) {
        files.append(QJsonObject{
            {QStringLiteral("name"), file.name},
            {QStringLiteral("file"), QString::fromLatin1(file.contents.toBase64())},
            {QStringLiteral("md5"),
             QString::fromLatin1(QCryptographicHash::hash(file.contents, QCryptographicHash::Md5).toHex())}});
    }
    return {200, "application/json", jsonBody(QJsonObject{{QStringLiteral("files"), files}})};
}

TestPortal::Answer TestPortal::remoteAccessAnswer(const Request &request) const
{
    const QUrlQuery query(QString::fromLatin1(request.query));
    if (!query.hasQueryItem(QStringLiteral("api_key"))
        || query.queryItemValue(QStringLiteral("api_key"), QUrl::FullyDecoded) != m_deviceKey) {
        return {403, "application/xml", "<remote_access><error>invalid key</error></remote_access>"};
    }
    const QByteArray body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<remote_access><type>"
                            + request.path.mid(int(qstrlen("/api/v1/remote/access/"))) + "</type><dst_ip_port>"
                            + QByteArray::number(m_remotePort) + "</dst_ip_port></remote_access>\n";
    return {200, "application/xml", body};
}

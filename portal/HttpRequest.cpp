#include "portal/HttpRequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#include "core/Log.h"
#include "core/SecretMask.h"

namespace
{
constexpr const char *logModule = "http_request";
constexpr int defaultTimeoutMs = 30000;
int requestTimeoutMs = defaultTimeoutMs;
// Room for ten thousand domains of fifty devices (about 100 MB of JSON); a portal sending more is refused
// before the body can grow the process without bound.
constexpr qint64 defaultMaxReplyBytes = qint64(256) * 1024 * 1024;
qint64 maxReplyBytes = defaultMaxReplyBytes;

// A hostile server's certificates are not allowed to flood the log.
constexpr int certificateErrorsLogged = 8;
constexpr int certificateNameChars = 256;

// The body as the signals carry it: UTF-8, up to the first NUL byte.
QString bodyText(const QByteArray &body)
{
    return QString::fromUtf8(body.constData());
}

// A certificate's subject or issuer as "CN=…, O=…".
QString distinguishedName(const QSslCertificate &certificate, bool issuer)
{
    QStringList parts;
    const QList<QByteArray> attributes =
        issuer ? certificate.issuerInfoAttributes() : certificate.subjectInfoAttributes();
    for (const QByteArray &attribute : attributes) {
        const QStringList values = issuer ? certificate.issuerInfo(attribute) : certificate.subjectInfo(attribute);
        for (const QString &value : values) {
            parts.append(QString::fromLatin1(attribute) + QLatin1Char('=') + value);
        }
    }
    return parts.join(QStringLiteral(", ")).left(certificateNameChars);
}

QString certificateErrorText(const QSslError &error)
{
    QString text = error.errorString();
    const QSslCertificate certificate = error.certificate();
    if (!certificate.isNull()) {
        text += QStringLiteral(" (subject: ") + distinguishedName(certificate, false) + QStringLiteral("; issuer: ")
                + distinguishedName(certificate, true) + QLatin1Char(')');
    }
    return text;
}
} // namespace

HttpRequest::HttpRequest(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager)
    , request(new QNetworkRequest(QUrl()))
{
    timer.setSingleShot(true);
    connect(manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(parseNetworkResponse(QNetworkReply *)));
    connect(manager,
            SIGNAL(sslErrors(QNetworkReply *, QList<QSslError>)),
            this,
            SLOT(onSslError(QNetworkReply *, QList<QSslError>)));
    connect(&timer, SIGNAL(timeout()), this, SLOT(onTimeout()));
}

HttpRequest::~HttpRequest()
{
    // Normally both went with the answer; this covers a request destroyed before it was answered.
    delete manager;
    delete request;
}

void HttpRequest::setTimeoutMsForTests(int timeoutMs)
{
    requestTimeoutMs = timeoutMs > 0 ? timeoutMs : defaultTimeoutMs;
}

void HttpRequest::setMaxReplyBytesForTests(qint64 maxBytes)
{
    maxReplyBytes = maxBytes > 0 ? maxBytes : defaultMaxReplyBytes;
}

void HttpRequest::get(QString url)
{
    Q_ASSERT(!reply && request);
    if (reply || !request) {
        writeLog(2, logModule, "HttpRequest::get", QStringLiteral("request already sent"));
        return;
    }
    request->setUrl(QUrl(url, QUrl::TolerantMode));
    writeLog(4, logModule, "HttpRequest::get", QStringLiteral("url: ") + SecretMask::inText(url));

    QSslConfiguration configuration = request->sslConfiguration();
    configuration.setProtocol(QSsl::AnyProtocol);
    request->setSslConfiguration(configuration);

    timedOut = false;
    timer.start(requestTimeoutMs);
    reply = manager->get(*request);
    connect(reply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(onDownloadProgress(qint64, qint64)));
}

void HttpRequest::setBasicAuth(QString user, QString password)
{
    const QByteArray credentials = (user + QLatin1Char(':') + password).toLocal8Bit().toBase64();
    request->setRawHeader(QByteArrayLiteral("Authorization"), QByteArrayLiteral("Basic ") + credentials);
}

void HttpRequest::setRawHeader(QByteArray name, QByteArray value)
{
    request->setRawHeader(name, value);
}

void HttpRequest::onSslError(QNetworkReply *r, QList<QSslError> l)
{
    if (ignoreSslErrors) {
        r->ignoreSslErrors();
    } else {
        certificateErrors += l;
    }
}

void HttpRequest::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (tooLarge || answered || !reply || (bytesReceived <= maxReplyBytes && bytesTotal <= maxReplyBytes)) {
        return;
    }
    tooLarge = true;
    writeLog(2,
             logModule,
             "HttpRequest::onDownloadProgress",
             QStringLiteral("Reply over %1 bytes refused").arg(maxReplyBytes));
    // The abort answers with a network error, so the body is never read.
    reply->abort();
}

void HttpRequest::onTimeout()
{
    timedOut = true;
    writeLog(2, logModule, "HttpRequest::onTimeout", QStringLiteral("onTimeout"));
    if (!reply) {
        writeLog(4, logModule, "HttpRequest::onTimeout", QStringLiteral("reply is NULL"));
        return;
    }
    if (timer.isActive()) {
        writeLog(4, logModule, "HttpRequest::onTimeout", QStringLiteral("Timer is active, stopping..."));
        timer.stop();
    }
    writeLog(4, logModule, "HttpRequest::onTimeout", QStringLiteral("Abort request"));
    QNetworkReply *aborted = reply;
    reply = nullptr;
    aborted->abort();
    // The network layer answers inside abort(); should it ever not, the caller still gets its one error.
    if (!answered) {
        parseNetworkResponse(aborted);
    }
    delete aborted;
}

void HttpRequest::parseNetworkResponse(QNetworkReply *finished)
{
    if (timer.isActive()) {
        timer.stop();
    }
    if (answered) {
        if (finished) {
            release(finished);
        }
        return;
    }
    if (!finished) {
        answered = true;
        emit error(-1, bodyText(data));
        return;
    }

    answered = true;
    const QVariant statusAttribute = finished->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid()) {
        writeLog(4, logModule, "HttpRequest::parseNetworkResponse", QStringLiteral("invalid status code: -1"));
        logFailure(finished, false);
        emit error(-1, bodyText(data));
    } else {
        const int status = statusAttribute.toInt();
        writeLog(4, logModule, "HttpRequest::parseNetworkResponse", QStringLiteral("status code: %1").arg(status));
        if (!tooLarge && finished->bytesAvailable() > maxReplyBytes) {
            tooLarge = true;
            writeLog(2,
                     logModule,
                     "HttpRequest::parseNetworkResponse",
                     QStringLiteral("Reply over %1 bytes refused").arg(maxReplyBytes));
        }
        if (tooLarge) {
            // Aborted for its size, or over the cap when it was already complete: the body is never read.
            emit error(status, bodyText(data));
        } else if (finished->error() != QNetworkReply::NoError) {
            writeLog(4,
                     logModule,
                     "HttpRequest::parseNetworkResponse",
                     QStringLiteral("QNetworkReply error: ") + SecretMask::inText(finished->errorString()));
            logFailure(finished, true);
            emit error(status, bodyText(data));
        } else {
            data = finished->readAll();
            const QString text = bodyText(data);
            writeLog(
                4, logModule, "HttpRequest::parseNetworkResponse", QStringLiteral("data: ") + SecretMask::inText(text));
            if (static_cast<unsigned int>(status - 200) <= 99U) {
                writeLog(3, logModule, "HttpRequest::parseNetworkResponse", QStringLiteral("success %1").arg(status));
                emit success(status, text);
            } else {
                writeLog(2, logModule, "HttpRequest::parseNetworkResponse", QStringLiteral("fail %1").arg(status));
                emit error(status, text);
            }
        }
    }
    release(finished);
}

// Why no answer came: the network error and each certificate error, at a level that is shown unless logging is
// turned down. An answer with an HTTP error status needs no such line, nor an end of our own (time-out, size).
// URLs show without their query, where the device request carries its key.
void HttpRequest::logFailure(QNetworkReply *finished, bool hasStatus) const
{
    const QNetworkReply::NetworkError code = finished->error();
    if (code == QNetworkReply::NoError || timedOut || tooLarge
        || (hasStatus && code >= QNetworkReply::ContentAccessDenied)) {
        return;
    }
    static const QRegularExpression query(QStringLiteral("\\?[^\\s\"']*"));
    const QUrl url = finished->url().adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
    QString reason = finished->errorString();
    reason.replace(query, QString());
    QString line = QStringLiteral("Request to %1 failed: %2").arg(url.toString(), SecretMask::inText(reason));
    for (int i = 0; i < certificateErrors.size() && i < certificateErrorsLogged; ++i) {
        line += QStringLiteral("; certificate error: ") + certificateErrorText(certificateErrors.at(i));
    }
    if (certificateErrors.size() > certificateErrorsLogged) {
        line += QStringLiteral("; %1 more certificate errors").arg(certificateErrors.size() - certificateErrorsLogged);
    }
    writeLog(2, logModule, "HttpRequest::parseNetworkResponse", line);
}

void HttpRequest::release(QNetworkReply *finished)
{
    // After the signal: the receivers ran inside it. A timed-out reply is destroyed by onTimeout instead,
    // which discards this deferred deletion.
    finished->deleteLater();
    if (manager) {
        manager->deleteLater();
        manager = nullptr;
    }
    delete request;
    request = nullptr;
    deleteLater();
}

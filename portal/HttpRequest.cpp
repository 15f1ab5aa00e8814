#include "portal/HttpRequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
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

// The body as the signals carry it: UTF-8, up to the first NUL byte.
QString bodyText(const QByteArray &body)
{
    return QString::fromUtf8(body.constData());
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
    Q_UNUSED(l)
    if (ignoreSslErrors) {
        r->ignoreSslErrors();
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

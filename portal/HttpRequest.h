#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// One HTTPS GET that answers with exactly one of success or error and then deletes itself.
// GUI thread; created without parent by Api or ApiDevice, which never keep a pointer to it after get().
class HttpRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpRequest)

public:
    explicit HttpRequest(QObject *parent = nullptr);
    ~HttpRequest() override;

    void get(QString url);
    void setBasicAuth(QString user, QString password);
    void setRawHeader(QByteArray name, QByteArray value);

    // For tests only: shortens the time-out of requests started afterwards; the program keeps the default.
    static void setTimeoutMsForTests(int timeoutMs);
    // For tests only: lowers the largest reply body read (256 MiB); zero or less restores it.
    static void setMaxReplyBytesForTests(qint64 maxBytes);

    // Set by the creator before get() to accept every certificate error (the devices' own services).
    bool ignoreSslErrors = false;

signals:
    void success(int statusCode, QString data);
    void error(int statusCode, QString data);

public slots:
    void parseNetworkResponse(QNetworkReply *finished);
    void onSslError(QNetworkReply *r, QList<QSslError> l);

private slots:
    void onTimeout();
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private:
    void release(QNetworkReply *finished);

    QByteArray data;
    QTimer timer;
    QNetworkAccessManager *manager = nullptr;
    QNetworkRequest *request = nullptr;
    QNetworkReply *reply = nullptr;
    bool timedOut = false;
    // Set when the reply grew past the cap and was aborted; its body is never read.
    bool tooLarge = false;
    // Set when the one signal has gone out, so that no later notification can answer a second time.
    bool answered = false;
};

#include "tools/demo/DevToolsPage.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

namespace
{
constexpr int pollIntervalMs = 100;

int remainingMs(const QDeadlineTimer &deadline)
{
    return static_cast<int>(qMax<qint64>(1, deadline.remainingTime()));
}

// Lets the program run a little before the next question, in a real event loop.
void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

DevToolsPage::DevToolsPage(quint16 port, QObject *parent)
    : QObject(parent)
    , m_port(port)
{
    connect(&m_socket, &QWebSocket::textMessageReceived, this, &DevToolsPage::onMessage);
    // A closed session answers nothing more: wake whoever waits.
    connect(&m_socket, &QWebSocket::disconnected, this, &DevToolsPage::answered);
}

DevToolsPage::~DevToolsPage() = default;

bool DevToolsPage::attach(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    const QString id = findPageTarget(timeoutMs);
    if (id.isEmpty()) {
        return false;
    }
    // The address is built from the port we were given, never taken from the listing.
    QSignalSpy opened(&m_socket, &QWebSocket::connected);
    QSignalSpy failed(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error));
    m_socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/devtools/page/%2").arg(m_port).arg(id)));
    while (opened.isEmpty() && failed.isEmpty() && !deadline.hasExpired()) {
        opened.wait(remainingMs(deadline));
    }
    if (opened.isEmpty()) {
        m_errorString = QStringLiteral("no session on the page: ") + m_socket.errorString();
        return false;
    }
    return true;
}

QString DevToolsPage::errorString() const
{
    return m_errorString;
}

QString DevToolsPage::findPageTarget(int timeoutMs)
{
    QNetworkAccessManager network;
    const QUrl listing(QStringLiteral("http://127.0.0.1:%1/json/list").arg(m_port));
    const QRegularExpression validId(QStringLiteral("^[0-9A-Fa-f-]{1,64}$"));
    QDeadlineTimer deadline(timeoutMs);
    m_errorString = QStringLiteral("the engine listed no page on port %1").arg(m_port);
    while (!deadline.hasExpired()) {
        QNetworkRequest request(listing);
        request.setTransferTimeout(remainingMs(deadline));
        QNetworkReply *reply = network.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished()) {
            finished.wait(remainingMs(deadline) + 1000);
        }
        const QByteArray body = reply->readAll();
        if (reply->error() != QNetworkReply::NoError) {
            m_errorString = QStringLiteral("no answer on port %1: %2").arg(m_port).arg(reply->errorString());
        }
        reply->deleteLater();
        for (const QJsonValue &target : QJsonDocument::fromJson(body).array()) {
            const QJsonObject object = target.toObject();
            const QString id = object.value(QStringLiteral("id")).toString();
            if (object.value(QStringLiteral("type")).toString() == QLatin1String("page")
                && object.value(QStringLiteral("url")).toString().startsWith(QLatin1String("qrc:/"))
                && validId.match(id).hasMatch()) {
                return id;
            }
        }
        pause(pollIntervalMs);
    }
    return QString();
}

QJsonObject DevToolsPage::call(const QString &method, const QJsonObject &params, int timeoutMs, bool *ok)
{
    const int id = ++m_lastId;
    const QJsonObject message{
        {QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    QSignalSpy answered(this, &DevToolsPage::answered);
    QDeadlineTimer deadline(timeoutMs);
    while (!m_answers.contains(id) && m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        answered.wait(remainingMs(deadline));
    }
    const QJsonObject answer = m_answers.take(id);
    if (ok) {
        *ok = answer.contains(QStringLiteral("result"));
    }
    return answer.value(QStringLiteral("result")).toObject();
}

void DevToolsPage::onMessage(const QString &message)
{
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    // Events carry no id; answers to calls that gave up waiting are dropped.
    const int id = object.value(QStringLiteral("id")).toInt(-1);
    if (id > 0 && id == m_lastId) {
        m_answers.insert(id, object);
        emit answered();
    }
}

QVariant DevToolsPage::evaluate(const QString &script, bool *ok, int timeoutMs)
{
    const QJsonObject result = call(QStringLiteral("Runtime.evaluate"),
                                    {{QStringLiteral("expression"), script},
                                     {QStringLiteral("returnByValue"), true},
                                     {QStringLiteral("awaitPromise"), true}},
                                    timeoutMs,
                                    ok);
    // A script that threw gives no value, as the page's own callbacks would see it.
    if (result.contains(QStringLiteral("exceptionDetails"))) {
        return QVariant();
    }
    return result.value(QStringLiteral("result")).toObject().value(QStringLiteral("value")).toVariant();
}

bool DevToolsPage::waitFor(const QString &expression, int timeoutMs)
{
    const QString script =
        QStringLiteral("(function() { try { return !!(%1); } catch (e) { return false; } })()").arg(expression);
    QDeadlineTimer deadline(timeoutMs);
    while (!evaluate(script, nullptr, remainingMs(deadline)).toBool()) {
        if (deadline.hasExpired() || m_socket.state() != QAbstractSocket::ConnectedState) {
            return false;
        }
        pause(pollIntervalMs / 5);
    }
    return true;
}

bool DevToolsPage::click(const QString &selector)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1);"
                                   " if (!e) { return false; } e.click(); return true; })()")
                        .arg(quote(selector)))
        .toBool();
}

bool DevToolsPage::type(const QString &selector, const QString &text)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1); if (!e) { return false; }"
                                   " e.focus(); e.value = %2; e.dispatchEvent(new Event('input', {bubbles: true}));"
                                   " return true; })()")
                        .arg(quote(selector), quote(text)))
        .toBool();
}

QString DevToolsPage::text(const QString &selector)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1);"
                                   " return e ? e.textContent.trim() : null; })()")
                        .arg(quote(selector)))
        .toString();
}

QByteArray DevToolsPage::screenshot()
{
    bool ok = false;
    const QJsonObject result =
        call(QStringLiteral("Page.captureScreenshot"), {{QStringLiteral("format"), QStringLiteral("png")}}, 20000, &ok);
    return ok ? QByteArray::fromBase64(result.value(QStringLiteral("data")).toString().toLatin1()) : QByteArray();
}

QString DevToolsPage::quote(const QString &text)
{
    // A JSON array of one string is a valid JavaScript literal; strip the brackets.
    const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

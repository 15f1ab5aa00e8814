#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QWebSocket>

// The page of a running program, reached from outside through the web engine's remote debugging protocol on
// loopback: evaluates JavaScript in it, clicks and types as the page's own handlers see it, takes screenshots.
// Lives on the check's main thread; its maker owns it.
class DevToolsPage : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DevToolsPage)

public:
    explicit DevToolsPage(quint16 port, QObject *parent = nullptr);
    ~DevToolsPage() override;

    // Waits until the engine lists the program's page (a qrc: address) and opens a session on it.
    [[nodiscard]] bool attach(int timeoutMs);
    QString errorString() const;

    // Runs a script in the page and returns its value (a promise is awaited); ok tells whether an answer came.
    QVariant evaluate(const QString &script, bool *ok = nullptr, int timeoutMs = 10000);
    // Polls a JavaScript expression until it is truthy.
    [[nodiscard]] bool waitFor(const QString &expression, int timeoutMs);
    // Clicks the first element matching a CSS selector; false when there is none.
    [[nodiscard]] bool click(const QString &selector);
    // Sets an input's value as typing would leave it.
    [[nodiscard]] bool type(const QString &selector, const QString &text);
    QString text(const QString &selector);
    // The page's viewport as PNG data; empty when the engine gave none.
    QByteArray screenshot();

    // Quotes a text as a JavaScript string literal.
    static QString quote(const QString &text);

signals:
    void answered();

private slots:
    void onMessage(const QString &message);

private:
    QJsonObject call(const QString &method, const QJsonObject &params, int timeoutMs, bool *ok);
    QString findPageTarget(int timeoutMs);

    quint16 m_port = 0;
    QWebSocket m_socket;
    int m_lastId = 0;
    QHash<int, QJsonObject> m_answers;
    QString m_errorString;
};

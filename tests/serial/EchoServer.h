#pragma once

#include <QList>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;
class TestPortal;

// A TCP echo on 127.0.0.1 that plays a device's serial service: every byte received goes straight back.
// GUI thread; owned by the test that made it.
class EchoServer : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EchoServer)

public:
    explicit EchoServer(QObject *parent = nullptr);

    [[nodiscard]] bool start();
    // Starts the echo and, in front of it, the test portal as the device's remote-access service: with the
    // device's own certificate, it answers the key with the echo's port.
    [[nodiscard]] bool startBehind(TestPortal &device, const QString &apiKey);

    int acceptedCount() const
    {
        return m_accepted;
    }

    int openCount() const;
    // Ends every open connection from this side, as a device dropping the bridge would.
    void closeAll();

signals:
    void connectionAccepted();
    void connectionClosed();

private:
    QList<QPointer<QTcpSocket>> m_sockets;
    int m_accepted = 0;
};

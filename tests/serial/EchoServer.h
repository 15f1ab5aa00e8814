#pragma once

#include <QList>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;

// A TCP echo on 127.0.0.1 that plays a device's serial service: every byte received goes straight back.
// GUI thread; owned by the test that made it.
class EchoServer : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EchoServer)

public:
    explicit EchoServer(QObject *parent = nullptr);

    [[nodiscard]] bool start();

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

#include "tests/serial/EchoServer.h"

#include <QTcpSocket>

#include "tools/testportal/TestPortal.h"

EchoServer::EchoServer(QObject *parent)
    : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            ++m_accepted;
            m_sockets.append(socket);
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                socket->deleteLater();
                emit connectionClosed();
            });
            emit connectionAccepted();
        }
    });
}

bool EchoServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

bool EchoServer::startBehind(TestPortal &device, const QString &apiKey)
{
    if (!start() || !device.setCertificate(TestPortal::deviceCertificatePath(), TestPortal::deviceKeyPath())) {
        return false;
    }
    device.setDeviceMode(apiKey, serverPort());
    return device.start();
}

int EchoServer::openCount() const
{
    int open = 0;
    for (const QPointer<QTcpSocket> &socket : m_sockets) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState) {
            ++open;
        }
    }
    return open;
}

void EchoServer::closeAll()
{
    for (const QPointer<QTcpSocket> &socket : qAsConst(m_sockets)) {
        if (socket) {
            socket->disconnectFromHost();
        }
    }
}

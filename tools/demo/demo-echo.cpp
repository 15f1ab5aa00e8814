#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

// The demo device's serial service: a TCP server that sends every byte back. Prints "port <n>" once it listens.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TCP echo"));
    parser.addHelpOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"), QStringLiteral("Address."), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("Port, 0 for any."), QStringLiteral("n"), QStringLiteral("0"));
    parser.addOptions({listenOption, portOption});
    parser.process(application);

    const QHostAddress address(parser.value(listenOption));
    bool portIsNumber = false;
    const uint port = parser.value(portOption).toUInt(&portIsNumber);
    if (address.isNull() || !portIsNumber || port > 65535) {
        std::fprintf(stderr, "bad --listen or --port\n");
        return 2;
    }

    QTcpServer server;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server]() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket]() { socket->write(socket->readAll()); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    if (!server.listen(address, static_cast<quint16>(port))) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned int>(server.serverPort()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

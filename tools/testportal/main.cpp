#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include "tools/testportal/TestPortal.h"

// Serves the test portal until killed; prints "port <n>" once it listens.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumenbridge-testportal"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("HTTPS test portal on loopback"));
    parser.addHelpOption();
    const QCommandLineOption dataOption(
        QStringLiteral("data"), QStringLiteral("JSON data file."), QStringLiteral("file"));
    const QCommandLineOption certOption(QStringLiteral("cert"),
                                        QStringLiteral("Server certificate (PEM)."),
                                        QStringLiteral("file"),
                                        TestPortal::serverCertificatePath());
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("Server private key (PEM)."),
                                       QStringLiteral("file"),
                                       TestPortal::serverKeyPath());
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Address to listen on."),
                                          QStringLiteral("address"),
                                          QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("Port, 0 for any free one."), QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption deviceKeyOption(
        QStringLiteral("device-key"),
        QStringLiteral("Play a device: serve only its remote-access call with this key."),
        QStringLiteral("key"));
    const QCommandLineOption devicePortOption(QStringLiteral("device-port"),
                                              QStringLiteral("The device's remote-access TCP port to report."),
                                              QStringLiteral("n"),
                                              QStringLiteral("4001"));
    parser.addOptions({dataOption, certOption, keyOption, listenOption, portOption, deviceKeyOption, devicePortOption});
    parser.process(application);

    TestPortal portal;
    if (!portal.setCertificate(parser.value(certOption), parser.value(keyOption))) {
        std::fprintf(stderr, "%s\n", qPrintable(portal.errorString()));
        return 1;
    }
    if (parser.isSet(dataOption) && !portal.loadData(parser.value(dataOption))) {
        std::fprintf(stderr, "%s\n", qPrintable(portal.errorString()));
        return 1;
    }
    if (parser.isSet(deviceKeyOption)) {
        portal.setDeviceMode(parser.value(deviceKeyOption), parser.value(devicePortOption).toInt());
    }
    const QHostAddress address(parser.value(listenOption));
    bool portIsNumber = false;
    const uint port = parser.value(portOption).toUInt(&portIsNumber);
    if (address.isNull() || !portIsNumber || port > 65535) {
        std::fprintf(stderr, "bad --listen or --port\n");
        return 1;
    }
    if (!portal.start(address, static_cast<quint16>(port))) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(portal.errorString()));
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned int>(portal.port()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include "tools/demo/DemoCheck.h"

// Drives the demo's main road through the page of the running program; exit code 0 only when every step worked.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Checks the demo's main road through the running program's page."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("devtools-port"),
                                        QStringLiteral("The program's remote debugging port on 127.0.0.1."),
                                        QStringLiteral("n"));
    const QCommandLineOption userOption(
        QStringLiteral("username"), QStringLiteral("Portal user."), QStringLiteral("name"));
    const QCommandLineOption passwordOption(
        QStringLiteral("password"), QStringLiteral("Portal password."), QStringLiteral("text"));
    const QCommandLineOption deviceOption(
        QStringLiteral("device"), QStringLiteral("Id of the device to connect."), QStringLiteral("id"));
    const QCommandLineOption deviceIpOption(
        QStringLiteral("device-ip"), QStringLiteral("The device's address behind the tunnel."), QStringLiteral("ip"));
    const QCommandLineOption echoPortOption(QStringLiteral("echo-port"),
                                            QStringLiteral("The device's TCP echo port."),
                                            QStringLiteral("n"),
                                            QStringLiteral("4001"));
    const QCommandLineOption serialOption(QStringLiteral("serial-folder"),
                                          QStringLiteral("Where the program's serial pair links appear."),
                                          QStringLiteral("folder"));
    const QCommandLineOption screenshotsOption(
        QStringLiteral("screenshots"), QStringLiteral("Folder for the screenshots."), QStringLiteral("folder"));
    parser.addOptions({portOption,
                       userOption,
                       passwordOption,
                       deviceOption,
                       deviceIpOption,
                       echoPortOption,
                       serialOption,
                       screenshotsOption});
    parser.process(application);

    DemoCheck::Options options;
    bool portIsNumber = false;
    options.devToolsPort = parser.value(portOption).toUShort(&portIsNumber);
    options.username = parser.value(userOption);
    options.password = parser.value(passwordOption);
    bool deviceIsNumber = false;
    options.deviceId = parser.value(deviceOption).toInt(&deviceIsNumber);
    options.deviceIp = parser.value(deviceIpOption);
    bool echoPortIsNumber = false;
    options.echoPort = parser.value(echoPortOption).toUShort(&echoPortIsNumber);
    options.serialFolder = parser.value(serialOption);
    options.screenshotFolder = parser.value(screenshotsOption);
    if (!portIsNumber || options.devToolsPort == 0 || options.username.isEmpty() || !deviceIsNumber
        || options.deviceIp.isEmpty() || !echoPortIsNumber || options.serialFolder.isEmpty()) {
        std::fprintf(stderr,
                     "needs --devtools-port, --username, --password, --device, --device-ip and --serial-folder\n");
        return 2;
    }
    if (!options.screenshotFolder.isEmpty()) {
        QDir().mkpath(options.screenshotFolder);
    }

    DemoCheck check(options);
    return check.run();
}

#include <cstdio>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include "tools/demo/DemoCheck.h"

// Q_INIT_RESOURCE must be used outside any namespace: the page's resources live in a static library.
static void registerPageResources()
{
    Q_INIT_RESOURCE(page);
}

// Drives the demo's main road through the real window; exit code 0 only when every step worked.
int main(int argc, char *argv[])
{
    // As the program itself does before its application object exists.
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumenbridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUMENBRIDGE_VERSION));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    registerPageResources();
    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Checks the demo's main road through the page."));
    parser.addHelpOption();
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
    const QCommandLineOption screenshotsOption(
        QStringLiteral("screenshots"), QStringLiteral("Folder for the screenshots."), QStringLiteral("folder"));
    parser.addOptions({userOption, passwordOption, deviceOption, deviceIpOption, echoPortOption, screenshotsOption});
    parser.process(application);

    DemoCheck::Options options;
    options.username = parser.value(userOption);
    options.password = parser.value(passwordOption);
    bool deviceIsNumber = false;
    options.deviceId = parser.value(deviceOption).toInt(&deviceIsNumber);
    options.deviceIp = parser.value(deviceIpOption);
    bool portIsNumber = false;
    options.echoPort = parser.value(echoPortOption).toUShort(&portIsNumber);
    options.screenshotFolder = parser.value(screenshotsOption);
    // Where the serial pair tool puts its links when the program runs it.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    options.serialFolder = qEnvironmentVariableIsSet("LUMENBRIDGE_SERIAL_DIR")
                               ? qEnvironmentVariable("LUMENBRIDGE_SERIAL_DIR")
                               : QFile::decodeName(runtime) + QStringLiteral("/lumenbridge-serial");
    if (options.username.isEmpty() || !deviceIsNumber || options.deviceIp.isEmpty() || !portIsNumber
        || runtime.isEmpty()) {
        std::fprintf(stderr, "needs --username, --password, --device, --device-ip and XDG_RUNTIME_DIR\n");
        return 2;
    }
    if (!options.screenshotFolder.isEmpty()) {
        QDir().mkpath(options.screenshotFolder);
    }

    DemoCheck check(options);
    return check.run();
}

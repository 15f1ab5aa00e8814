#include "tests/support/TunnelFixture.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include "tools/testportal/TestPortal.h"
#include "tools/testtunnel/TestTunnel.h"

namespace
{
constexpr int startTimeoutMs = 30000;

QString isolationError;

// Runs a program in the server's namespace and reads the port it prints once it listens ("port <n>").
bool startInNamespace(const TestTunnel &server, QProcess *process, const QStringList &command, quint16 *port)
{
    // setpriv ties the program's life to ours, so a test killed on its timeout leaves nothing behind.
    process->setProgram(QStringLiteral("setpriv"));
    process->setArguments(QStringList{QStringLiteral("--pdeathsig"),
                                      QStringLiteral("SIGKILL"),
                                      QStringLiteral("ip"),
                                      QStringLiteral("netns"),
                                      QStringLiteral("exec"),
                                      server.namespaceName()}
                          + command);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start();
    if (!QTest::qWaitFor([process] { return process->canReadLine() || process->state() == QProcess::NotRunning; },
                         startTimeoutMs)
        || !process->canReadLine()) {
        qWarning("%s did not start", qPrintable(command.first()));
        return false;
    }
    const QByteArray line = process->readLine().trimmed();
    bool isNumber = false;
    *port = quint16(line.mid(5).toUInt(&isNumber));
    return line.startsWith("port ") && isNumber;
}
} // namespace

void TunnelFixture::isolateProcess()
{
    isolationError = TestTunnel::isolateProcess();
}

QString TunnelFixture::skipReason()
{
    return isolationError.isEmpty() ? TestTunnel::unavailableReason() : isolationError;
}

QJsonArray TunnelFixture::vpnFiles(const TestTunnel &server)
{
    return QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("client.ovpn")},
                                  {QStringLiteral("text"), server.profileText()}},
                      QJsonObject{{QStringLiteral("name"), QStringLiteral("credentials.txt")},
                                  {QStringLiteral("text"), server.user() + QLatin1Char('\n') + server.password()}}};
}

bool TunnelFixture::writeVpnFolder(const TestTunnel &server, const QString &folder)
{
    if (server.writeProfile(folder, TestTunnel::ProfileStyle::FileReferences).isEmpty()) {
        return false;
    }
    QFile credentials(folder + QStringLiteral("/credentials.txt"));
    const QByteArray text = (server.user() + QStringLiteral("\r\n") + server.password()).toUtf8();
    return credentials.open(QIODevice::WriteOnly) && credentials.write(text) == text.size();
}

bool TunnelFixture::startDevice(const TestTunnel &server,
                                const QString &echoProgram,
                                const QString &portalProgram,
                                const QString &key,
                                QProcess *echo,
                                QProcess *service,
                                quint16 *echoPort)
{
    const QString address = server.serverTunnelAddress();
    if (!startInNamespace(
            server,
            echo,
            {echoProgram, QStringLiteral("--listen"), address, QStringLiteral("--port"), QStringLiteral("0")},
            echoPort)) {
        return false;
    }
    quint16 servicePort = 0;
    return startInNamespace(server,
                            service,
                            {portalProgram,
                             QStringLiteral("--device-key"),
                             key,
                             QStringLiteral("--device-port"),
                             QString::number(*echoPort),
                             QStringLiteral("--listen"),
                             address,
                             QStringLiteral("--port"),
                             QStringLiteral("443"),
                             QStringLiteral("--cert"),
                             TestPortal::deviceCertificatePath(),
                             QStringLiteral("--key"),
                             TestPortal::deviceKeyPath()},
                            &servicePort)
           && servicePort == 443;
}

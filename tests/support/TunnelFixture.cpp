#include "tests/support/TunnelFixture.h"

#include <QFile>
#include <QJsonObject>

#include "tools/testtunnel/TestTunnel.h"

namespace
{
QString isolationError;
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

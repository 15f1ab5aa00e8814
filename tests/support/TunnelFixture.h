#pragma once

#include <QJsonArray>
#include <QString>

class QProcess;
class TestTunnel;

// What the tests with a real tunnel share: the test process's own network and mount namespaces, made in main()
// (TUNNEL_TEST_MAIN) so that tunnels, portal and programs touch nothing of the host; the reason to skip where
// tunnels cannot be built (REQUIRE_TUNNELS); and a server's profile as the portal hands it out.
// Plain functions for the test's main thread.
class TunnelFixture
{
public:
    // First thing in main(), before any thread exists; a failure is kept for skipReason().
    static void isolateProcess();
    // Empty when tunnels can be built here; otherwise why not.
    static QString skipReason();

    // The server's inline profile and its credentials as the files of a domain's "vpn_files".
    static QJsonArray vpnFiles(const TestTunnel &server);
    // Writes the profile with its files beside it, and credentials.txt with a CR LF line end, into folder.
    [[nodiscard]] static bool writeVpnFolder(const TestTunnel &server, const QString &folder);
    // A device behind the server, at the server's tunnel address: echoProgram (the demo echo) as its serial service
    // on any port, and portalProgram (the test portal) on 443 as its remote-access service, which answers the key
    // with the echo's port. Both run in the server's namespace and end with this process; false when either did not
    // start.
    [[nodiscard]] static bool startDevice(const TestTunnel &server,
                                          const QString &echoProgram,
                                          const QString &portalProgram,
                                          const QString &key,
                                          QProcess *echo,
                                          QProcess *service,
                                          quint16 *echoPort);
};

// Skips the running test function where tunnels cannot be built. QSKIP leaves only the function it is written in,
// so this is a macro.
#define REQUIRE_TUNNELS()                                                                                              \
    do {                                                                                                               \
        const QString reason = TunnelFixture::skipReason();                                                            \
        if (!reason.isEmpty()) {                                                                                       \
            QSKIP(qPrintable(reason));                                                                                 \
        }                                                                                                              \
    } while (false)

// main() of a test whose tunnels live in namespaces of the test process's own.
#define TUNNEL_TEST_MAIN(TestObject, Application)                                                                      \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        TunnelFixture::isolateProcess();                                                                               \
        Application application(argc, argv);                                                                           \
        TestObject test;                                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }

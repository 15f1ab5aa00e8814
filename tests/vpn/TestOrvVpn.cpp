#include <csignal>

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Log.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/ProfileSamples.h"
#include "tests/support/TunnelFixture.h"
#include "tools/testtunnel/TestTunnel.h"
#include "vpn/OrvVpn.h"
#include "vpn/OrvVpnThread.h"
#include "vpn/OrvVpnTransportStats.h"
#include "vpn/engine/ClientApi.h"

Q_DECLARE_METATYPE(TestTunnel::Protocol)
Q_DECLARE_METATYPE(TestTunnel::ProfileStyle)

class TestOrvVpn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void stopWithoutWorker();
    void startRefused_data();
    void startRefused();
    void statusPropertyFollowsGetStatus();
    void workerEndingWithoutDisconnectedIsForgotten();
    void tunnel_data();
    void tunnel();
    void wrongPassword_data();
    void wrongPassword();
    void adapterSetUpFails_data();
    void adapterSetUpFails();
    void serverLostBringsConnecting();
    void stopRightAfterStart();
    void secondStopWaitsForTheStoppingTunnel();
    void twoTunnelObjectsRunOneDaemon();
    void statisticsIgnoreWhatTheServerLogs();
    void validShapesConnect_data();
    void validShapesConnect();
    void pushedRouteOverTheServer_data();
    void pushedRouteOverTheServer();
    void serverOnThisHostsNetworkKeepsItsWay();
    void reconnectsWhenThePushedOptionsChange();
    void longestCredentialsArrive();
    void hostileSettingsHeld_data();
    void hostileSettingsHeld();
    void retriesTakeTheirPause();
    void stopDuringNameLookups_data();
    void stopDuringNameLookups();
};

namespace
{
struct Counters
{
    qint64 bytesIn = -1;
    qint64 bytesOut = -1;
    qint64 packetsIn = -1;
    qint64 packetsOut = -1;
    int lastPacketReceived = -2;
};

Counters counters(OrvVpn &vpn)
{
    const std::unique_ptr<OrvVpnTransportStats> stats(vpn.getTransportStats());
    Counters c;
    if (stats) {
        c = {stats->bytesIn, stats->bytesOut, stats->packetsIn, stats->packetsOut, stats->lastPacketReceived};
    }
    return c;
}

bool hasWorker(OrvVpn &vpn)
{
    return std::unique_ptr<OrvVpnTransportStats>(vpn.getTransportStats()) != nullptr;
}

// Client daemons of the engine still alive as children of this process (the test server is not one).
QList<int> clientDaemonPids()
{
    QList<int> pids;
    for (const ProcessTable::Process &process : ProcessTable::processes()) {
        if (process.parent == QCoreApplication::applicationPid()
            && process.commandLine.contains(QByteArrayLiteral("--management-client"))) {
            pids << int(process.pid);
        }
    }
    return pids;
}

// Points the tunnel object at the server: its inline profile, with the lines added, written into folder, its user
// and password.
bool useServer(OrvVpn &vpn, const TestTunnel &server, const QString &folder, const QByteArray &addedLines = {})
{
    const QString path = server.writeProfile(folder);
    QFile profile(path);
    if (!profile.open(QIODevice::Append) || profile.write(addedLines) != addedLines.size()) {
        return false;
    }
    profile.close();
    if (!vpn.setConfigPath(path)) {
        return false;
    }
    vpn.setCredentials(server.user(), server.password());
    return true;
}

int clientDaemons()
{
    return clientDaemonPids().size();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A device as "ip" shows it: its flags, state, MTU and addresses; nothing for no name.
QString deviceState(const QString &name)
{
    QString shown;
    if (name.isEmpty()) {
        return shown;
    }
    for (const char *what : {"link", "addr"}) {
        QProcess ip;
        ip.start(QStringLiteral("ip"), {QStringLiteral("-o"), QLatin1String(what), QStringLiteral("show"), name});
        ip.waitForFinished(30000);
        shown += QString::fromLocal8Bit(ip.readAllStandardOutput());
    }
    return shown;
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A default route through a gateway on a veth link "lbdg0" of this namespace, which the test deletes afterwards.
bool addDefaultGateway()
{
    for (const QString &command : {QStringLiteral("link add lbdg0 type veth peer name lbdg0p"),
                                   QStringLiteral("link set lbdg0p up"),
                                   QStringLiteral("addr add 198.51.100.2/24 dev lbdg0"),
                                   QStringLiteral("link set lbdg0 up"),
                                   QStringLiteral("route add default via 198.51.100.1 dev lbdg0")}) {
        if (QProcess::execute(QStringLiteral("ip"), command.split(QLatin1Char(' '))) != 0) {
            return false;
        }
    }
    return true;
}

QString ipOutput(const QString &arguments)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments.split(QLatin1Char(' ')));
    ip.waitForFinished(30000);
    return QString::fromLocal8Bit(ip.readAllStandardOutput());
}

QString routes()
{
    return ipOutput(QStringLiteral("route"));
}

// Every route of this namespace, IPv4 and IPv6, in every table.
QString allRoutes()
{
    return ipOutput(QStringLiteral("-4 route show table all")) + ipOutput(QStringLiteral("-6 route show table all"));
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// This namespace's resolver, in the test process's own mount namespace: a port on loopback that refuses every
// question until it listens, and then takes every question and never answers.
class SilentResolver
{
public:
    explicit SilentResolver(const QString &folder)
    {
        const QString path = folder + QStringLiteral("/resolv.conf");
        m_mounted = writeText(path, "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n")
                    && mount(QFile::encodeName(path).constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    }

    ~SilentResolver()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
        if (m_mounted) {
            umount2("/etc/resolv.conf", MNT_DETACH);
        }
    }

    bool listen()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(53);
        return m_mounted && m_fd >= 0 && bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }

    // Whether a question has come since the last forget().
    bool asked() const
    {
        char question[512];
        return recv(m_fd, question, sizeof question, MSG_PEEK | MSG_DONTWAIT) > 0;
    }

    void forget()
    {
        char question[512];
        while (recv(m_fd, question, sizeof question, MSG_DONTWAIT) > 0) {
        }
    }

private:
    bool m_mounted = false;
    int m_fd = -1;
};

int ping(const QString &address)
{
    QProcess ping;
    ping.setStandardOutputFile(QProcess::nullDevice());
    ping.start(QStringLiteral("ping"),
               {QStringLiteral("-c"),
                QStringLiteral("3"),
                QStringLiteral("-i"),
                QStringLiteral("0.2"),
                QStringLiteral("-W"),
                QStringLiteral("2"),
                QStringLiteral("-q"),
                address});
    return ping.waitForFinished(30000) && ping.exitStatus() == QProcess::NormalExit ? ping.exitCode() : -1;
}
} // namespace

void TestOrvVpn::initTestCase()
{
    installConnectionWarningCheck();
    debugLevel = 4;
}

void TestOrvVpn::cleanup()
{
    lumen::engine::set_daemon_path(std::string());
    QTRY_COMPARE_WITH_TIMEOUT(clientDaemons(), 0, 10000);
    // The next test's tunnel would wait for this one's worker.
    QTRY_VERIFY_WITH_TIMEOUT(!OrvVpnThread::running(), 10000);
}

void TestOrvVpn::stopWithoutWorker()
{
    OrvVpn vpn;
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    QVERIFY(!vpn.stop());
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!hasWorker(vpn));
}

void TestOrvVpn::startRefused_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("lines");

    const QByteArray prompting = "client\ndev tun\nremote 127.0.0.1 1194\nauth-user-pass\n";
    QTest::newRow("empty password") << prompting << "alice"
                                    << ""
                                    << QStringList{"OrvVpn::start(): \"New worker thread\"",
                                                   "OrvVpn::start(): \"Need credentials\""};
    QTest::newRow("empty user") << prompting << ""
                                << "secret"
                                << QStringList{"OrvVpn::start(): \"New worker thread\"",
                                               "OrvVpn::start(): \"Need credentials\""};
    QTest::newRow("line break in the password")
        << prompting << "alice"
        << "a\nb"
        << QStringList{"OrvVpn::start(): \"New worker thread\"",
                       "OrvVpn::start(): \"Need credentials\"",
                       "OrvVpn::start(): \"creds error: the password must not contain line breaks or other control "
                       "characters\""};
    QTest::newRow("password longer than the management interface carries")
        << prompting << "alice" << QString(300, QLatin1Char('x'))
        << QStringList{"OrvVpn::start(): \"New worker thread\"",
                       "OrvVpn::start(): \"Need credentials\"",
                       "OrvVpn::start(): \"creds error: the password is longer than the 256 bytes the daemon's "
                       "management interface carries\""};
    QTest::newRow("script in the profile")
        << QByteArray("client\ndev tun\nremote 127.0.0.1\nup /bin/sh\n") << "alice"
        << "secret"
        << QStringList{"OrvVpn::start(): \"New worker thread\"",
                       "OrvVpn::start(): \"eval config error: the profile is empty\""};
    QTest::newRow("unreadable profile") << QByteArray() << "alice"
                                        << "secret"
                                        << QStringList{"OrvVpn::start(): \"New worker thread\"",
                                                       "OrvVpn::start(): \"eval config error: the profile is empty\""};
}

void TestOrvVpn::startRefused()
{
    QFETCH(QByteArray, profile);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QStringList, lines);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("client.ovpn"));
    if (!profile.isEmpty()) {
        QVERIFY(writeText(path, profile));
    }
    OrvVpn vpn;
    QVERIFY(vpn.setConfigPath(path));
    vpn.setCredentials(user, password);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(!vpn.start());
    QStringList startLines = log.texts().filter(QStringLiteral("OrvVpn::start()"));
    QCOMPARE(startLines, lines);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(!hasWorker(vpn));
    QCOMPARE(clientDaemons(), 0);

    // Without a worker, stop reports disconnected at once.
    QVERIFY(!vpn.stop());
    QCOMPARE(disconnected.count(), 1);
}

void TestOrvVpn::statusPropertyFollowsGetStatus()
{
    OrvVpn vpn;
    QSignalSpy changed(&vpn, &OrvVpn::statusChanged);
    QCOMPARE(vpn.property("status").toInt(), 1);
    vpn.stop();
    QCOMPARE(vpn.property("status").toInt(), vpn.getStatus());
    QVERIFY(!vpn.setConfigPath(QString()));
    QCOMPARE(changed.count(), 0);
}

void TestOrvVpn::workerEndingWithoutDisconnectedIsForgotten()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("client.ovpn"));
    QVERIFY(writeText(path, "client\ndev tun\nremote 127.0.0.1 1194\n"));
    lumen::engine::set_daemon_path("/nonexistent/openvpn");

    OrvVpn vpn;
    QVERIFY(vpn.setConfigPath(path));
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    QSignalSpy connecting(&vpn, &OrvVpn::onConnecting);
    LogCapture log;
    QVERIFY(vpn.start());
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("OrvVpnThread::run(): \"Worker finished\"")), 10000);
    // The worker deletes itself once its thread has finished; the controller must let go of it then.
    QTRY_VERIFY_WITH_TIMEOUT(!hasWorker(vpn), 10000);
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(connecting.count(), 0);
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(!vpn.stop());
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(disconnected.count(), 1);
}

void TestOrvVpn::tunnel_data()
{
    QTest::addColumn<TestTunnel::Protocol>("protocol");
    QTest::addColumn<TestTunnel::ProfileStyle>("style");
    QTest::addColumn<bool>("giveCredentials");
    QTest::newRow("udp, inline profile") << TestTunnel::Protocol::Udp << TestTunnel::ProfileStyle::Inline << true;
    QTest::newRow("tcp, profile with file references")
        << TestTunnel::Protocol::Tcp << TestTunnel::ProfileStyle::FileReferences << true;
    // The merged profile carries the credentials, so none are needed from the caller.
    QTest::newRow("udp, credentials in the profile, none given")
        << TestTunnel::Protocol::Udp << TestTunnel::ProfileStyle::CredentialsFile << false;
    QTest::newRow("udp6, inline profile") << TestTunnel::Protocol::Udp6 << TestTunnel::ProfileStyle::Inline << true;
}

void TestOrvVpn::tunnel()
{
    REQUIRE_TUNNELS();
    QFETCH(TestTunnel::Protocol, protocol);
    QFETCH(TestTunnel::ProfileStyle, style);
    QFETCH(bool, giveCredentials);
    TestTunnel server(protocol);
    server.setBehindGateway(true);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    const QString profile = server.writeProfile(dir.path(), style);
    QVERIFY(!profile.isEmpty());
    bool hostsMounted = false;
    const auto restoreHosts = qScopeGuard([&hostsMounted] {
        if (hostsMounted) {
            umount2("/etc/hosts", MNT_DETACH);
        }
    });
    if (protocol == TestTunnel::Protocol::Udp6) {
        // The server by a name with an IPv4 address as well, one reached through the default gateway; the daemon
        // takes the IPv6 one, as the profile's protocol asks.
        const QString hosts = dir.filePath(QStringLiteral("hosts"));
        QVERIFY(writeText(hosts, "203.0.113.9 v6.vpn.test\n" + server.remoteAddress().toLatin1() + " v6.vpn.test\n"));
        QCOMPARE(mount(QFile::encodeName(hosts).constData(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
        hostsMounted = true;
        QVERIFY(writeText(profile, readAll(profile).replace(server.remoteAddress().toLatin1(), "v6.vpn.test")));
    }

    OrvVpn vpn;
    QStringList seen;
    connect(&vpn, &OrvVpn::onConnecting, this, [&](int id) {
        seen << QStringLiteral("connecting %1 status %2").arg(id).arg(vpn.getStatus());
    });
    connect(&vpn, &OrvVpn::onConnected, this, [&](int id) {
        seen << QStringLiteral("connected %1 status %2").arg(id).arg(vpn.getStatus());
    });
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    QVERIFY(vpn.setConfigPath(profile));
    if (giveCredentials) {
        vpn.setCredentials(server.user(), server.password());
    }
    LogCapture log;
    QVERIFY(vpn.start());
    QCOMPARE(log.contains(QStringLiteral("OrvVpn::start(): \"Need credentials\"")), giveCredentials);
    QCOMPARE(vpn.getStatus(), 1);
    vpn.deviceId = 42;

    QVERIFY2(connected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n')) + server.serverLog()));
    QCOMPARE(seen, (QStringList{"connecting 42 status 2", "connected 42 status 3"}));
    QCOMPARE(vpn.getStatus(), 3);
    // Every route the daemon was given names what it names: an IPv6 server gets no route in IPv4's form.
    QVERIFY2(!log.texts().join(QLatin1Char('\n')).contains(QLatin1String("failed to parse/resolve route")),
             qPrintable(log.texts().filter(QStringLiteral("ROUTE")).join(QLatin1Char('\n'))));

    // Bytes come from the daemon's byte count, once a second.
    QTRY_VERIFY_WITH_TIMEOUT(counters(vpn).bytesIn > 0, 10000);
    const Counters before = counters(vpn);
    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    // Packets are read with the byte count too, so all three pings show within a count or two.
    QTRY_VERIFY_WITH_TIMEOUT(counters(vpn).packetsIn >= before.packetsIn + 3, 10000);
    const Counters after = counters(vpn);
    QVERIFY(after.bytesIn > before.bytesIn);
    QVERIFY(after.bytesOut > before.bytesOut);
    QVERIFY(after.packetsOut >= before.packetsOut + 3);
    QVERIFY(after.lastPacketReceived >= 0);

    QVERIFY(vpn.stop());
    QCOMPARE(vpn.getStatus(), 0);
    QVERIFY(!hasWorker(vpn));
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(clientDaemons(), 0);
    QCOMPARE(log.count(QStringLiteral("OrvVpn::disconnected(): \"Disconnected\"")), 1);
}

void TestOrvVpn::wrongPassword_data()
{
    QTest::addColumn<QString>("authRetry");
    QTest::newRow("daemon would ask again") << "interact";
    QTest::newRow("daemon gives up by itself") << "none";
}

void TestOrvVpn::wrongPassword()
{
    REQUIRE_TUNNELS();
    QFETCH(QString, authRetry);
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    const QString profile = server.writeProfile(dir.path());
    QFile file(profile);
    QVERIFY(file.open(QIODevice::ReadWrite));
    const QByteArray text = file.readAll().replace("auth-retry interact", "auth-retry " + authRetry.toUtf8());
    QVERIFY(file.resize(0));
    QCOMPARE(file.write(text), text.size());
    file.close();

    OrvVpn vpn;
    QVERIFY(vpn.setConfigPath(profile));
    vpn.setCredentials(server.user(), server.password() + QStringLiteral("x"));
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(disconnected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n'))));
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(connected.count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("OrvVpnThread::run(): \"Worker finished\"")), 10000);
    QList<LogCapture::Line> authFailed;
    for (const LogCapture::Line &line : log.lines()) {
        if (line.text.startsWith(QLatin1String("OrvVpnClient::event(): \"Event AUTH_FAILED: "))) {
            authFailed.append(line);
        }
    }
    QCOMPARE(authFailed.size(), 1);
    QCOMPARE(int(authFailed.first().type), int(QtCriticalMsg));
    QVERIFY(log.contains(QStringLiteral("OrvVpnThread::run(): \"Error status: AUTH_FAILED\"")));
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(clientDaemons(), 0);
}

void TestOrvVpn::adapterSetUpFails_data()
{
    QTest::addColumn<bool>("dropCapability");
    QTest::newRow("no permission for the tun device") << true;
    QTest::newRow("no tun device") << false;
}

void TestOrvVpn::adapterSetUpFails()
{
    REQUIRE_TUNNELS();
    QFETCH(bool, dropCapability);
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;

    bool hidden = false;
    if (dropCapability) {
        // The daemon runs without CAP_NET_ADMIN, as an unprivileged user would run it.
        const QString wrapper = dir.filePath(QStringLiteral("openvpn-without-admin"));
        QVERIFY(writeText(wrapper,
                          "#!/bin/sh\nexec setpriv --inh-caps -net_admin --bounding-set -net_admin "
                              + QByteArray::fromStdString(lumen::engine::daemon_path()) + " \"$@\"\n"));
        QVERIFY(QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::ExeOwner));
        lumen::engine::set_daemon_path(wrapper.toStdString());
    } else {
        // Our own mount namespace: hiding /dev/net here hides it from nobody else.
        QVERIFY(mount("tmpfs", "/dev/net", "tmpfs", 0, nullptr) == 0);
        hidden = true;
    }
    const auto restore = qScopeGuard([hidden] {
        if (hidden) {
            umount2("/dev/net", MNT_DETACH);
        }
    });

    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy notPermitted(&vpn, &OrvVpn::onOperationNotPermitted);
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(disconnected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n'))));
    QCOMPARE(notPermitted.count(), 1);
    QCOMPARE(connected.count(), 0);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(log.contains(QStringLiteral("OrvVpn::operationNotPermitted(): \"Operation not permitted\"")));
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("OrvVpnThread::run(): \"Error status: TUN_SETUP_FAILED\"")),
                             10000);
}

void TestOrvVpn::serverLostBringsConnecting()
{
    REQUIRE_TUNNELS();
    TestTunnel server(TestTunnel::Protocol::Tcp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    OrvVpn vpn;
    vpn.deviceId = 9;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy connecting(&vpn, &OrvVpn::onConnecting);
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    QVERIFY(vpn.start());
    QVERIFY(connected.wait(30000));
    const int connectingBefore = connecting.count();

    server.killServer();
    QTRY_VERIFY_WITH_TIMEOUT(connecting.count() > connectingBefore, 30000);
    QCOMPARE(vpn.getStatus(), 2);
    QCOMPARE(connecting.last().first().toInt(), 9);
    QCOMPARE(disconnected.count(), 0);

    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(vpn.getStatus(), 1);
    QCOMPARE(clientDaemons(), 0);
}

void TestOrvVpn::stopRightAfterStart()
{
    REQUIRE_TUNNELS();
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY(vpn.stop());
    QCOMPARE(vpn.getStatus(), 0);
    // Whether the stop landed before or during the connection, it ends in one DISCONNECTED.
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(vpn.getStatus(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("OrvVpnThread::run(): \"Worker finished\"")), 10000);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(clientDaemons(), 0);
    QVERIFY(!log.contains(QStringLiteral("OrvVpnThread::run(): \"Connect error\"")));
}

// A stop while the previous tunnel is still going down must not report it down early: a start made on that
// report would have its worker dropped by the old tunnel's late DISCONNECTED.
void TestOrvVpn::secondStopWaitsForTheStoppingTunnel()
{
    REQUIRE_TUNNELS();
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    QVERIFY(vpn.start());
    QVERIFY(connected.wait(30000));

    QVERIFY(vpn.stop());
    // No event is delivered between these calls, so the first tunnel cannot have reported its end yet.
    QVERIFY(!vpn.stop());
    QCOMPARE(vpn.getStatus(), 0);
    QCOMPARE(disconnected.count(), 0);

    // The old tunnel's end is reported once; a start made on it keeps its worker.
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(vpn.getStatus(), 1);
    QVERIFY(vpn.start());
    QVERIFY(connected.wait(30000));
    QVERIFY(hasWorker(vpn));
    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(vpn.getStatus(), 1);
    // With nothing left stopping, a stop reports the end at once again.
    QVERIFY(!vpn.stop());
    QCOMPARE(disconnected.count(), 3);
    QCOMPARE(vpn.getStatus(), 1);
}

// Two tunnel objects (an old window's and a new one's) share the relay: a start while the other's tunnel goes down
// waits for it, neither takes the other's events, and there is one daemon at a time.
void TestOrvVpn::twoTunnelObjectsRunOneDaemon()
{
    REQUIRE_TUNNELS();
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    OrvVpn old;
    OrvVpn current;
    QVERIFY(useServer(old, server, dir.path()));
    QVERIFY(useServer(current, server, dir.path()));
    QSignalSpy oldConnected(&old, &OrvVpn::onConnected);
    QSignalSpy oldDisconnected(&old, &OrvVpn::onDisconnected);
    QSignalSpy currentConnected(&current, &OrvVpn::onConnected);
    QSignalSpy currentDisconnected(&current, &OrvVpn::onDisconnected);
    QVector<int> daemonsSeen;
    connect(&current, &OrvVpn::onConnecting, this, [&] { daemonsSeen << clientDaemons(); });
    connect(&current, &OrvVpn::onConnected, this, [&] { daemonsSeen << clientDaemons(); });
    QVERIFY(old.start());
    QVERIFY(oldConnected.wait(30000));

    QVERIFY(old.stop());
    QVERIFY(current.start());
    QVERIFY(currentConnected.wait(30000));
    QCOMPARE(oldDisconnected.count(), 1);
    QCOMPARE(currentDisconnected.count(), 0);
    QCOMPARE(oldConnected.count(), 1);
    QCOMPARE(old.getStatus(), 1);
    QCOMPARE(current.getStatus(), 3);
    QVERIFY(!daemonsSeen.isEmpty());
    QCOMPARE(daemonsSeen, QVector<int>(daemonsSeen.size(), 1));

    // A start on the old object is the newest and wins: the current tunnel goes first.
    QVERIFY(old.start());
    QVERIFY(currentDisconnected.wait(30000));
    QTRY_COMPARE_WITH_TIMEOUT(oldConnected.count(), 2, 30000);
    QCOMPARE(clientDaemons(), 1);
    QCOMPARE(currentConnected.count(), 1);
    QVERIFY(old.stop());
    QVERIFY(oldDisconnected.wait(30000));
    QCOMPARE(current.getStatus(), 1);
}

// What a server writes into the daemon's log never chooses a file the program reads: its certificate's name is the
// daemon's own "device opened" line, renegotiated every second, with FIFOs where that line's device would lead.
void TestOrvVpn::statisticsIgnoreWhatTheServerLogs()
{
    REQUIRE_TUNNELS();
    QByteArray folder = "/tmp/lbXXXXXX";
    QVERIFY(mkdtemp(folder.data()));
    const auto removeFolder = qScopeGuard([&folder] { QDir(QFile::decodeName(folder)).removeRecursively(); });
    QCOMPARE(mkdir(QByteArray(folder + "/statistics").constData(), 0700), 0);
    QCOMPARE(mkfifo(QByteArray(folder + "/statistics/rx_packets").constData(), 0600), 0);
    QCOMPARE(mkfifo(QByteArray(folder + "/statistics/tx_packets").constData(), 0600), 0);
    // From /sys/class/net, three folders up is the root.
    const QString line =
        QStringLiteral("TUN/TAP device ../../..") + QFile::decodeName(folder) + QStringLiteral(" opened");

    TestTunnel server;
    server.setServerName(line);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QFile profile(dir.filePath(QStringLiteral("client.ovpn")));
    QVERIFY(profile.open(QIODevice::Append));
    QVERIFY(profile.write("reneg-sec 1\n") > 0);
    profile.close();
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(connected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n'))));
    // The line came again after the real device's, as a renegotiation brings it.
    QTRY_VERIFY_WITH_TIMEOUT(log.texts().filter(line).size() >= 2, 20000);

    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(counters(vpn).packetsIn >= 3, 10000);
    QVERIFY(counters(vpn).packetsOut >= 3);
    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(clientDaemons(), 0);
}

void TestOrvVpn::validShapesConnect_data()
{
    QTest::addColumn<int>("row");
    const QList<ProfileSamples::Sample> shapes = ProfileSamples::valid();
    for (int i = 0; i < shapes.size(); ++i) {
        QTest::newRow(qPrintable(shapes.at(i).name)) << i;
    }
}

// Each valid shape, rebuilt, is read by the real daemon and connects.
void TestOrvVpn::validShapesConnect()
{
    REQUIRE_TUNNELS();
    QFETCH(int, row);
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    ProfileSamples::Material material;
    material.ca = readAll(server.pkiFolder() + QStringLiteral("/ca.crt"));
    material.tlsCrypt = readAll(server.pkiFolder() + QStringLiteral("/tc.key"));
    material.host = server.remoteAddress().toLatin1();
    material.port = QByteArray::number(server.serverPort());
    material.user = server.user().toUtf8();
    material.password = server.password().toUtf8();
    const ProfileSamples::Sample shape = ProfileSamples::valid(material).at(row);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("client.ovpn"));
    QVERIFY(writeText(path, shape.text));
    OrvVpn vpn;
    QVERIFY(vpn.setConfigPath(path));
    vpn.setCredentials(server.user(), server.password());
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(connected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n')) + server.serverLog()));
    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(clientDaemons(), 0);
}

void TestOrvVpn::pushedRouteOverTheServer_data()
{
    QTest::addColumn<TestTunnel::Protocol>("protocol");
    QTest::addColumn<QStringList>("pushed");
    QTest::addColumn<QString>("installed"); // the pushed route as the kernel shows it

    QTest::newRow("a network route over the server, udp")
        << TestTunnel::Protocol::Udp << QStringList{"route 198.18.0.0 255.254.0.0"} << "198.18.0.0/15 via";
    QTest::newRow("both halves of the address space, tcp")
        << TestTunnel::Protocol::Tcp << QStringList{"route 0.0.0.0 128.0.0.0", "route 128.0.0.0 128.0.0.0"}
        << "128.0.0.0/1 via";
    QTest::newRow("a host route to the server with a metric")
        << TestTunnel::Protocol::Udp << QStringList{"route REMOTE 255.255.255.255 vpn_gateway 5"} << "metric 5";
}

// A server that routes its own address into the tunnel must not cut the tunnel off: the server stays
// reachable through the gateway it was reached by.
void TestOrvVpn::pushedRouteOverTheServer()
{
    REQUIRE_TUNNELS();
    QFETCH(TestTunnel::Protocol, protocol);
    QFETCH(QStringList, pushed);
    QFETCH(QString, installed);
    TestTunnel server(protocol);
    server.setBehindGateway(true);
    pushed.replaceInStrings(QStringLiteral("REMOTE"), server.remoteAddress());
    server.setPushedOptions(pushed);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy connecting(&vpn, &OrvVpn::onConnecting);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(connected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n')) + server.serverLog()));
    const int connectingBefore = connecting.count();

    // The pushed route is in place, and so is the host route that keeps the server outside the tunnel.
    const QString table = routes();
    QVERIFY2(table.contains(installed), qPrintable(table));
    QVERIFY2(table.contains(server.remoteAddress() + QStringLiteral(" via ") + server.serverAddress()),
             qPrintable(table));
    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    const Counters before = counters(vpn);
    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(counters(vpn).bytesIn > before.bytesIn, 10000);
    QCOMPARE(connecting.count(), connectingBefore);

    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(clientDaemons(), 0);
    // The daemon took its routes down with it.
    QVERIFY(!routes().contains(server.remoteAddress() + QStringLiteral(" via")));
}

// The demo's shape: the server sits on a network of this host, while the host's default route leads elsewhere. A
// host route to the server through the default gateway would take it off its own network and cut the tunnel.
void TestOrvVpn::serverOnThisHostsNetworkKeepsItsWay()
{
    REQUIRE_TUNNELS();
    TestTunnel server(TestTunnel::Protocol::Udp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const auto removeLink = qScopeGuard([] {
        QProcess::execute(QStringLiteral("ip"),
                          {QStringLiteral("link"), QStringLiteral("del"), QStringLiteral("lbdg0")});
    });
    QVERIFY(addDefaultGateway());
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(connected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n')) + server.serverLog()));
    QVERIFY(log.texts().join(QLatin1Char('\n')).contains(QStringLiteral("no host route is added for it")));
    QVERIFY2(!routes().contains(server.remoteAddress() + QStringLiteral(" via")), qPrintable(routes()));
    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
}

// A reconnect to a server that now pushes other options has the daemon set up its tun device afresh, which it
// can only do as root: the tunnel must come back, not end.
void TestOrvVpn::reconnectsWhenThePushedOptionsChange()
{
    REQUIRE_TUNNELS();
    TestTunnel server(TestTunnel::Protocol::Tcp);
    server.setPushedOptions({QStringLiteral("route 10.201.0.0 255.255.0.0")});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY(connected.wait(30000));
    const QList<int> pids = clientDaemonPids();
    QCOMPARE(pids.size(), 1);
    QVERIFY(routes().contains(QLatin1String("10.201.0.0/16 via")));

    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(counters(vpn).packetsIn >= 3, 10000);
    const Counters first = counters(vpn);

    server.killServer();
    QTRY_VERIFY_WITH_TIMEOUT(vpn.getStatus() == 2, 30000);
    server.setPushedOptions({QStringLiteral("route 10.202.0.0 255.255.0.0")});
    QVERIFY2(server.startServer(), qPrintable(server.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(connected.count() == 2, qPrintable(log.texts().join(QLatin1Char('\n'))), 60000);
    QCOMPARE(vpn.getStatus(), 3);
    // The daemon opened its tun device again for the new options.
    int opened = 0;
    for (const QString &line : log.texts()) {
        opened += line.contains(QLatin1String("TUN/TAP device ")) && line.contains(QLatin1String(" opened")) ? 1 : 0;
    }
    QCOMPARE(opened, 2);
    const QString table = routes();
    QVERIFY2(table.contains(QLatin1String("10.202.0.0/16 via")) && !table.contains(QLatin1String("10.201.0.0")),
             qPrintable(table));
    QCOMPARE(ping(server.serverTunnelAddress()), 0);
    // The new device counts from zero; packets, as bytes, still count the whole session.
    QTRY_VERIFY_WITH_TIMEOUT(counters(vpn).packetsIn >= first.packetsIn + 3, 10000);
    QVERIFY(counters(vpn).packetsOut >= first.packetsOut + 3);
    QVERIFY(counters(vpn).bytesIn > first.bytesIn);
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(clientDaemonPids(), pids);

    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(clientDaemons(), 0);
}

// The longest password the management interface carries, with every character that needs quoting.
void TestOrvVpn::longestCredentialsArrive()
{
    REQUIRE_TUNNELS();
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QByteArray password = "\"\\ 'x\xc3\xa4";
    while (password.size() < 256) {
        password += password.left(qMin(password.size(), 256 - password.size()));
    }
    QCOMPARE(password.size(), 256);
    // The test server takes the user name as a certificate name, which holds 64 characters.
    QVERIFY(server.setAcceptedCredentials(QString(64, QLatin1Char('u')), QString::fromUtf8(password)));
    QCOMPARE(server.password().toUtf8(), password);
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path()));
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(connected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n')) + server.serverLog()));
    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
}

void TestOrvVpn::hostileSettingsHeld_data()
{
    QTest::addColumn<QStringList>("pushed");
    QTest::addColumn<QByteArray>("profileLines");
    QTest::addColumn<int>("strayPackets"); // sent to the daemon's port from this host rather than from its server
    QTest::addColumn<QString>("existing"); // a persistent device of the profile's type, made before the start
    QTest::addColumn<int>("maxLines");     // of the daemon's log from the first ping to its end
    // How the tunnel ends: "stop"; "lookup", a stop while the daemon, its server gone, looks the next server's name up
    // in a resolver that never answers; "crash", the daemon killed.
    QTest::addColumn<QString>("ending");
    QTest::addColumn<int>("stopMs"); // the stop's bound; a daemon that has not ended 5 s after a stop is killed

    // A dozen lines are the stop's own. At verb 6 each ping would add four, at verb 11 thousands a second; each
    // refused packet adds one.
    QTest::newRow("the server pushes verb 11")
        << QStringList{"verb 11"} << QByteArray() << 0 << "" << 25 << "stop" << 2000;
    // The daemon reads the name of "\ 'verb' 11" as verb.
    QTest::newRow("the server pushes verb 11 spelt otherwise")
        << QStringList{"\\\\ 'verb' 11"} << QByteArray() << 0 << "" << 25 << "stop" << 2000;
    QTest::newRow("the server pushes mute and explicit-exit-notify")
        << QStringList{"mute 1", "explicit-exit-notify 5"} << QByteArray() << 0 << "" << 25 << "stop" << 2000;
    QTest::newRow("the profile asks verb 6")
        << QStringList{} << QByteArray("verb 6\n") << 0 << "" << 25 << "stop" << 2000;
    QTest::newRow("anyone on this host sends packets the daemon refuses")
        << QStringList{} << QByteArray() << 100000 << "" << 2000 << "stop" << 2000;
    QTest::newRow("dev tap7, a tap device bridged somewhere")
        << QStringList{} << QByteArray("dev tap7\n") << 0 << "tap7" << 25 << "stop" << 2000;
    QTest::newRow("dev tun8 of the server's type")
        << QStringList{} << QByteArray("dev tun8\n") << 0 << "tun8" << 25 << "stop" << 2000;
    QTest::newRow("dev tun0, written as a tap device")
        << QStringList{} << QByteArray("dev tun0\ndev-type tap\n") << 0 << "tun0" << 25 << "stop" << 2000;
    // Routes through a gateway of this host's network, beside the program's host route to the server: what a daemon
    // killed after its grace would leave behind.
    const QString lanRoute = QStringLiteral("route 192.0.2.0 255.255.255.0 net_gateway");
    const QByteArray nextServer = "remote next.vpn.test 1194\n";
    QTest::newRow("the profile asks explicit-exit-notify 10")
        << QStringList{lanRoute} << QByteArray("explicit-exit-notify 10\n") << 0 << "" << 40 << "stop" << 5000;
    QTest::newRow("the server pushes persist-tun and goes; the next server's name is never answered")
        << QStringList{"persist-tun", lanRoute} << nextServer << 0 << "" << 100 << "lookup" << 2000;
    // The daemon holds its tun device and routes, and a lookup keeps it from heeding the stop: it is killed.
    QTest::newRow("the profile's persist-tun, a lookup that never returns and the default route replaced")
        << QStringList{"redirect-gateway", lanRoute} << "persist-tun\n" + nextServer << 0 << "" << 100 << "lookup"
        << 30000;
    QTest::newRow("the daemon crashes") << QStringList{lanRoute} << QByteArray() << 0 << "" << 25 << "crash" << 0;
}

// What a server pushes, a profile asks or anyone on this host sends: the daemon's log stays within bounds, a stop
// ends the tunnel at once, no device that exists is taken over, and however the daemon ends, the host's routes are
// as before the start, but for another program's.
void TestOrvVpn::hostileSettingsHeld()
{
    REQUIRE_TUNNELS();
    QFETCH(QStringList, pushed);
    QFETCH(QByteArray, profileLines);
    QFETCH(int, strayPackets);
    QFETCH(QString, existing);
    QFETCH(int, maxLines);
    QFETCH(QString, ending);
    QFETCH(int, stopMs);
    const QString mode = profileLines.contains("tap") ? QStringLiteral("tap") : QStringLiteral("tun");
    // Over TCP the daemon hears at once that its server has gone.
    TestTunnel server(ending == QLatin1String("lookup") ? TestTunnel::Protocol::Tcp : TestTunnel::Protocol::Udp);
    server.setPushedOptions(pushed);
    server.setBehindGateway(true);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const auto removeDevice = qScopeGuard([&existing] {
        if (!existing.isEmpty()) {
            QProcess::execute(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), existing});
        }
    });
    if (!existing.isEmpty()) {
        QCOMPARE(QProcess::execute(QStringLiteral("ip"),
                                   QStringLiteral("tuntap add dev %1 mode %2").arg(existing, mode).split(' ')),
                 0);
    }
    const QString before = deviceState(existing);
    QTemporaryDir dir;
    const std::unique_ptr<SilentResolver> resolver(ending == QLatin1String("lookup") ? new SilentResolver(dir.path())
                                                                                     : nullptr);
    // The links' IPv6 routes come once their addresses are checked.
    QTRY_VERIFY_WITH_TIMEOUT(!ipOutput(QStringLiteral("addr")).contains(QLatin1String("tentative")), 10000);
    const QString routesBefore = allRoutes();
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path(), profileLines));
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    LogCapture log;
    QVERIFY(vpn.start());
    QVERIFY2(connected.wait(30000), qPrintable(log.texts().join(QLatin1Char('\n')).right(5000)));
    const int linesBefore = log.lines().size();

    // The device the daemon opened is a new one, of the type asked for.
    const QRegularExpression opened(QStringLiteral("TUN/TAP device (\\S+) opened"));
    const QString used = opened.match(log.texts().filter(opened).value(0)).captured(1);
    QVERIFY2(used != existing && used.startsWith(mode), qPrintable(used));
    if (mode == QLatin1String("tun")) {
        const Counters before = counters(vpn);
        QCOMPARE(ping(server.serverTunnelAddress()), 0);
        // The only UDP socket of this namespace is the daemon's.
        const QByteArray sockets = readAll(QStringLiteral("/proc/net/udp"));
        const quint16 port = quint16(
            sockets.split('\n').value(1).simplified().split(' ').value(1).split(':').value(1).toUInt(nullptr, 16));
        const sockaddr_in to = loopback(port);
        const int stray = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        for (int i = 0; i < strayPackets; ++i) {
            sendto(stray, "x", 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        }
        close(stray);
        QTRY_VERIFY_WITH_TIMEOUT(counters(vpn).bytesIn > before.bytesIn + 200, 10000);
        QCOMPARE(ping(server.serverTunnelAddress()), 0);
    }
    QCOMPARE(deviceState(existing), before);
    const QString otherRoute = QStringLiteral("203.0.113.0/24 via ") + server.serverAddress();
    QCOMPARE(QProcess::execute(QStringLiteral("ip"), QStringLiteral("route add %1").arg(otherRoute).split(' ')), 0);
    if (resolver) {
        QVERIFY(resolver->listen());
        server.killServer();
        QTRY_VERIFY_WITH_TIMEOUT(resolver->asked(), 30000);
    }

    QElapsedTimer clock;
    clock.start();
    if (ending == QLatin1String("crash")) {
        QCOMPARE(clientDaemonPids().size(), 1);
        QCOMPARE(kill(clientDaemonPids().first(), SIGKILL), 0);
    } else {
        QVERIFY(vpn.stop());
    }
    QVERIFY(disconnected.wait(30000));
    const qint64 stopTook = clock.elapsed();
    // The host's routes are as before the start; another program's stays.
    QVERIFY2(routes().contains(otherRoute), qPrintable(routes()));
    QCOMPARE(QProcess::execute(QStringLiteral("ip"),
                               {QStringLiteral("route"), QStringLiteral("del"), otherRoute.section(' ', 0, 0)}),
             0);
    QCOMPARE(allRoutes(), routesBefore);
    QVERIFY2(ending == QLatin1String("crash") || stopTook < stopMs, qPrintable(QString::number(stopTook)));
    const int lines = log.lines().size() - linesBefore;
    QVERIFY2(lines <= maxLines, qPrintable(QString::number(lines)));
    QCOMPARE(deviceState(existing), before);
}

// However short the profile's pause between connection tries, the daemon waits a second between them: the program
// hears of each try, and hundreds a second would drown it.
void TestOrvVpn::retriesTakeTheirPause()
{
    REQUIRE_TUNNELS();
    TestTunnel server(TestTunnel::Protocol::Tcp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    // Nothing listens on the server's port any more: each try is refused at once.
    server.killServer();
    QTemporaryDir dir;
    OrvVpn vpn;
    QVERIFY(useServer(vpn, server, dir.path(), "connect-retry 0 0\n"));
    QSignalSpy connecting(&vpn, &OrvVpn::onConnecting);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(vpn.start());
    // The first try, then three more, each after a pause of its own.
    QTRY_VERIFY_WITH_TIMEOUT(connecting.count() >= 4, 30000);
    QVERIFY2(clock.elapsed() >= 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
}

void TestOrvVpn::stopDuringNameLookups_data()
{
    QTest::addColumn<bool>("defaultGateway");
    QTest::addColumn<int>("rounds"); // starts and stops, each with names of its own
    // With a default gateway the program looks the names up before it starts the daemon, to know whether the
    // servers are reached through it; without, the daemon is the first to ask.
    QTest::newRow("the program's lookups") << true << 1;
    QTest::newRow("the daemon's lookups") << false << 1;
    // Each lookup given up waits for the resolver's time-out; they must not pile up meanwhile.
    QTest::newRow("the program's lookups, 20 starts and stops") << true << 20;
}

// A stop while the servers' names are being looked up ends the tunnel at once, however long the resolver would take,
// and the next start does not wait for those lookups.
void TestOrvVpn::stopDuringNameLookups()
{
    REQUIRE_TUNNELS();
    QFETCH(bool, defaultGateway);
    QFETCH(int, rounds);
    TestTunnel server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const auto removeLink = qScopeGuard([] {
        QProcess::execute(QStringLiteral("ip"),
                          {QStringLiteral("link"), QStringLiteral("del"), QStringLiteral("lbdg0")});
    });
    QVERIFY(!defaultGateway || addDefaultGateway());
    QTemporaryDir dir;
    SilentResolver resolver(dir.path());
    QVERIFY(resolver.listen());

    OrvVpn vpn;
    QSignalSpy connecting(&vpn, &OrvVpn::onConnecting);
    QSignalSpy connected(&vpn, &OrvVpn::onConnected);
    QSignalSpy disconnected(&vpn, &OrvVpn::onDisconnected);
    const int threadsBefore = threadCount();
    QElapsedTimer clock;
    for (int round = 0; round < rounds; ++round) {
        const QString remotes = QStringLiteral("\nremote a%1.vpn.test\nremote b%1.vpn.test\nremote c%1.vpn.test"
                                               "\nremote d%1.vpn.test\nremote e%1.vpn.test\nremote f%1.vpn.test")
                                    .arg(round);
        const QString path = dir.filePath(QStringLiteral("named.ovpn"));
        QVERIFY(writeText(
            path,
            server.profileText().replace(QRegularExpression(QStringLiteral("\nremote [^\n]*")), remotes).toUtf8()));
        QVERIFY(vpn.setConfigPath(path));
        vpn.setCredentials(server.user(), server.password());
        resolver.forget();
        QVERIFY(vpn.start());
        // The first question has reached the resolver.
        QTRY_VERIFY_WITH_TIMEOUT(resolver.asked(), 10000);

        clock.restart();
        QVERIFY(vpn.stop());
        QVERIFY(disconnected.wait(30000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }
    // The program's own lookups are given up before the daemon starts.
    if (rounds == 1) {
        QCOMPARE(connecting.count(), defaultGateway ? 0 : 1);
    }
    connecting.clear();
    // The lookups given up still wait for the resolver; a few of them at most.
    QTRY_VERIFY2_WITH_TIMEOUT(threadCount() < threadsBefore + 8, qPrintable(QString::number(threadCount())), 10000);

    // The next start, to the server by its address, has its daemon running at once and connects.
    QVERIFY(useServer(vpn, server, dir.path()));
    clock.restart();
    QVERIFY(vpn.start());
    QVERIFY(connecting.wait(30000));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(connected.wait(30000));
    QVERIFY(vpn.stop());
    QVERIFY(disconnected.wait(30000));
}

// The tunnel and its routes stay inside namespaces of this process.
TUNNEL_TEST_MAIN(TestOrvVpn, QCoreApplication)

#include "TestOrvVpn.moc"

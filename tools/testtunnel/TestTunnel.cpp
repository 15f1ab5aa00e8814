#include "tools/testtunnel/TestTunnel.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int commandTimeoutMs = 30000;
constexpr int serverStartTimeoutMs = 20000;
const QString namespacePrefix = QStringLiteral("lbtt-");
bool isolated = false;
int nextIndex = 0;

bool writeFile(const QString &path,
               const QByteArray &data,
               QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const bool written = file.write(data) == data.size();
    file.close();
    return written && file.setPermissions(permissions);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString openvpnProgram()
{
    for (const QString &candidate : {QStringLiteral("/usr/sbin/openvpn"), QStringLiteral("/usr/bin/openvpn")}) {
        if (QFileInfo(candidate).isExecutable()) {
            return candidate;
        }
    }
    return QStringLiteral("openvpn");
}
} // namespace

TestTunnel::TestTunnel(Protocol protocol)
    : m_protocol(protocol)
    , m_index(nextIndex++)
{
    const QString pid = QString::number(getpid());
    m_namespace = namespacePrefix + pid + QLatin1Char('-') + QString::number(m_index);
    m_hostLink = QStringLiteral("lbt") + pid + QLatin1Char('h') + QString::number(m_index % 100);
    m_serverLink = QStringLiteral("lbt") + pid + QLatin1Char('s') + QString::number(m_index % 100);
    m_server.setProcessChannelMode(QProcess::MergedChannels);
}

TestTunnel::~TestTunnel()
{
    killServer();
    removeNetwork();
}

QString TestTunnel::isolateProcess()
{
    if (isolated) {
        return QString();
    }
    if (geteuid() != 0) {
        return QStringLiteral("tunnel tests need root (network namespaces and the tun device)");
    }
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        return QStringLiteral("unshare failed: ") + QString::fromLocal8Bit(std::strerror(errno));
    }
    // Private mounts: namespaces bound under /run/netns and the /sys view of our devices stay ours.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return QStringLiteral("cannot make mounts private: ") + QString::fromLocal8Bit(std::strerror(errno));
    }
    mkdir("/run/netns", 0755);
    if (mount("tmpfs", "/run/netns", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0) {
        return QStringLiteral("cannot mount /run/netns: ") + QString::fromLocal8Bit(std::strerror(errno));
    }
    umount2("/sys", MNT_DETACH);
    if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
        return QStringLiteral("cannot mount /sys: ") + QString::fromLocal8Bit(std::strerror(errno));
    }
    if (QProcess::execute(QStringLiteral("ip"),
                          {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")})
        != 0) {
        return QStringLiteral("cannot bring up the loopback device");
    }
    isolated = true;
    return QString();
}

bool TestTunnel::isProcessIsolated()
{
    return isolated;
}

QString TestTunnel::unavailableReason()
{
    if (geteuid() != 0) {
        return QStringLiteral("tunnel tests need root (network namespaces and the tun device)");
    }
    if (!QFileInfo::exists(QStringLiteral("/dev/net/tun"))) {
        return QStringLiteral("no /dev/net/tun on this machine");
    }
    if (!isolated) {
        return QStringLiteral("the test did not call TestTunnel::isolateProcess() at the start of main()");
    }
    return QString();
}

void TestTunnel::removeLeftovers()
{
    const QDir netns(QStringLiteral("/run/netns"));
    const QStringList names = netns.entryList({namespacePrefix + QLatin1Char('*')}, QDir::Files | QDir::System);
    for (const QString &name : names) {
        const QString owner = name.mid(namespacePrefix.size()).section(QLatin1Char('-'), 0, 0);
        if (QFileInfo::exists(QStringLiteral("/proc/") + owner) && owner.toInt() != getpid()) {
            continue;
        }
        if (owner.toInt() == getpid()) {
            continue;
        }
        QProcess pids;
        pids.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("pids"), name});
        pids.waitForFinished(commandTimeoutMs);
        for (const QByteArray &pid : pids.readAllStandardOutput().split('\n')) {
            if (!pid.trimmed().isEmpty()) {
                kill(pid.trimmed().toInt(), SIGKILL);
            }
        }
        QProcess::execute(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), name});
    }
}

bool TestTunnel::fail(const QString &error)
{
    m_error = error;
    return false;
}

QString TestTunnel::errorString() const
{
    return m_error;
}

bool TestTunnel::run(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(commandTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return fail(program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QStringLiteral(": did not finish"));
    }
    const QString text = QString::fromLocal8Bit(process.readAll());
    if (output) {
        *output = text;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return fail(program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QStringLiteral(": ") + text);
    }
    return true;
}

bool TestTunnel::start()
{
    const QString reason = unavailableReason();
    if (!reason.isEmpty()) {
        return fail(reason);
    }
    if (!m_dir.isValid()) {
        return fail(QStringLiteral("no temporary folder"));
    }
    removeLeftovers();
    return makePki() && makeNetwork() && setAcceptedCredentials(m_user, m_password) && startServer();
}

bool TestTunnel::makePki()
{
    const QString dir = pkiFolder();
    const auto path = [&dir](const char *name) {
        return dir + QLatin1Char('/') + QLatin1String(name);
    };
    const QStringList ecKey = {QStringLiteral("genpkey"),
                               QStringLiteral("-algorithm"),
                               QStringLiteral("EC"),
                               QStringLiteral("-pkeyopt"),
                               QStringLiteral("ec_paramgen_curve:P-256"),
                               QStringLiteral("-out")};
    const QString openssl = QStringLiteral("openssl");
    if (!run(openssl, ecKey + QStringList{path("ca.key")})
        || !run(openssl,
                {QStringLiteral("req"),
                 QStringLiteral("-x509"),
                 QStringLiteral("-new"),
                 QStringLiteral("-key"),
                 path("ca.key"),
                 QStringLiteral("-subj"),
                 QStringLiteral("/CN=Test tunnel CA"),
                 QStringLiteral("-days"),
                 QStringLiteral("2"),
                 QStringLiteral("-out"),
                 path("ca.crt")})) {
        return false;
    }

    const struct
    {
        const char *name;
        const char *usage;
    } leaves[] = {{"server", "serverAuth"}, {"client", "clientAuth"}};

    for (const auto &leaf : leaves) {
        const QString name = QLatin1String(leaf.name);
        const QString extensions = dir + QLatin1Char('/') + name + QStringLiteral(".ext");
        if (!writeFile(extensions,
                       QByteArrayLiteral("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyAgreement\n")
                           + "extendedKeyUsage=" + leaf.usage + '\n')) {
            return fail(QStringLiteral("cannot write ") + extensions);
        }
        const QString key = dir + QLatin1Char('/') + name + QStringLiteral(".key");
        const QString request = dir + QLatin1Char('/') + name + QStringLiteral(".csr");
        if (!run(openssl, ecKey + QStringList{key})
            || !run(openssl,
                    {QStringLiteral("req"),
                     QStringLiteral("-new"),
                     QStringLiteral("-key"),
                     key,
                     QStringLiteral("-subj"),
                     QStringLiteral("/CN=")
                         + (name == QLatin1String("server")
                                ? QString(m_serverName).replace(QLatin1Char('/'), QLatin1String("\\/"))
                                : name),
                     QStringLiteral("-out"),
                     request})
            || !run(openssl,
                    {QStringLiteral("x509"),
                     QStringLiteral("-req"),
                     QStringLiteral("-in"),
                     request,
                     QStringLiteral("-CA"),
                     path("ca.crt"),
                     QStringLiteral("-CAkey"),
                     path("ca.key"),
                     QStringLiteral("-CAcreateserial"),
                     QStringLiteral("-days"),
                     QStringLiteral("2"),
                     QStringLiteral("-extfile"),
                     extensions,
                     QStringLiteral("-out"),
                     dir + QLatin1Char('/') + name + QStringLiteral(".crt")})) {
            return false;
        }
    }
    return run(openvpnProgram(), {QStringLiteral("--genkey"), QStringLiteral("tls-crypt"), path("tc.key")});
}

void TestTunnel::setBehindGateway(bool behind)
{
    m_behindGateway = behind;
}

void TestTunnel::setPushedOptions(const QStringList &options)
{
    m_pushed = options;
}

void TestTunnel::setServerName(const QString &name)
{
    m_serverName = name;
}

bool TestTunnel::makeNetwork()
{
    const QString ip = QStringLiteral("ip");
    m_networkMade = true;
    const bool pair = makeVethPair();
    if (!pair || !m_behindGateway) {
        return pair;
    }
    // Our default route goes with our end of the pair when the namespace is deleted.
    return (m_protocol == Protocol::Udp6
            || run(ip,
                   {QStringLiteral("-n"),
                    m_namespace,
                    QStringLiteral("addr"),
                    QStringLiteral("add"),
                    remoteAddress() + QStringLiteral("/32"),
                    QStringLiteral("dev"),
                    QStringLiteral("lo")}))
           && run(ip,
                  {QStringLiteral("route"),
                   QStringLiteral("add"),
                   QStringLiteral("default"),
                   QStringLiteral("via"),
                   serverAddress(),
                   QStringLiteral("dev"),
                   m_hostLink});
}

bool TestTunnel::makeVethPair()
{
    const QString ip = QStringLiteral("ip");
    return run(ip, {QStringLiteral("netns"), QStringLiteral("add"), m_namespace})
           && run(ip,
                  {QStringLiteral("link"),
                   QStringLiteral("add"),
                   m_hostLink,
                   QStringLiteral("type"),
                   QStringLiteral("veth"),
                   QStringLiteral("peer"),
                   QStringLiteral("name"),
                   m_serverLink})
           && run(ip,
                  {QStringLiteral("link"), QStringLiteral("set"), m_serverLink, QStringLiteral("netns"), m_namespace})
           && run(ip,
                  {QStringLiteral("addr"),
                   QStringLiteral("add"),
                   hostAddress() + QStringLiteral("/30"),
                   QStringLiteral("dev"),
                   m_hostLink})
           && run(ip, {QStringLiteral("link"), QStringLiteral("set"), m_hostLink, QStringLiteral("up")})
           && run(ip,
                  {QStringLiteral("-n"),
                   m_namespace,
                   QStringLiteral("addr"),
                   QStringLiteral("add"),
                   serverAddress() + QStringLiteral("/30"),
                   QStringLiteral("dev"),
                   m_serverLink})
           && run(ip,
                  {QStringLiteral("-n"),
                   m_namespace,
                   QStringLiteral("link"),
                   QStringLiteral("set"),
                   m_serverLink,
                   QStringLiteral("up")})
           && run(ip,
                  {QStringLiteral("-n"),
                   m_namespace,
                   QStringLiteral("link"),
                   QStringLiteral("set"),
                   QStringLiteral("lo"),
                   QStringLiteral("up")})
           && (m_protocol != Protocol::Udp6
               || (run(ip,
                       QStringLiteral("-6 addr add %1/64 dev %2 nodad")
                           .arg(ipv6Address(1), m_hostLink)
                           .split(QLatin1Char(' ')))
                   && run(ip,
                          QStringLiteral("-n %1 -6 addr add %2/64 dev %3 nodad")
                              .arg(m_namespace, ipv6Address(2), m_serverLink)
                              .split(QLatin1Char(' ')))));
}

QString TestTunnel::ipv6Address(int end) const
{
    return QStringLiteral("fd52:3:%1::%2").arg(200 + m_index % 50).arg(end);
}

void TestTunnel::removeNetwork()
{
    if (!m_networkMade) {
        return;
    }
    m_networkMade = false;
    // Deleting the namespace takes its end of the veth pair and with it ours, though not always at once.
    for (const QStringList &command : {QStringList{QStringLiteral("netns"), QStringLiteral("del"), m_namespace},
                                       QStringList{QStringLiteral("link"), QStringLiteral("del"), m_hostLink}}) {
        QProcess ip;
        ip.setStandardOutputFile(QProcess::nullDevice());
        ip.setStandardErrorFile(QProcess::nullDevice());
        ip.start(QStringLiteral("ip"), command);
        ip.waitForFinished(commandTimeoutMs);
    }
}

TestTunnel::Protocol TestTunnel::protocol() const
{
    return m_protocol;
}

QString TestTunnel::namespaceName() const
{
    return m_namespace;
}

QString TestTunnel::hostAddress() const
{
    return QStringLiteral("172.31.%1.1").arg(200 + m_index % 50);
}

QString TestTunnel::serverAddress() const
{
    return QStringLiteral("172.31.%1.2").arg(200 + m_index % 50);
}

QString TestTunnel::remoteAddress() const
{
    if (m_protocol == Protocol::Udp6) {
        return ipv6Address(2);
    }
    return m_behindGateway ? QStringLiteral("198.18.%1.1").arg(200 + m_index % 50) : serverAddress();
}

QString TestTunnel::serverTunnelAddress() const
{
    return QStringLiteral("10.%1.0.1").arg(100 + m_index % 100);
}

quint16 TestTunnel::serverPort() const
{
    return 1194;
}

QString TestTunnel::user() const
{
    return m_user;
}

QString TestTunnel::password() const
{
    return m_password;
}

QString TestTunnel::pkiFolder() const
{
    return m_dir.path();
}

bool TestTunnel::setAcceptedCredentials(const QString &user, const QString &password)
{
    m_user = user;
    m_password = password;
    // The check script compares the daemon's via-file (user line, password line) with this file byte for byte.
    return writeFile(m_dir.filePath(QStringLiteral("accepted")), user.toUtf8() + '\n' + password.toUtf8() + '\n')
           || fail(QStringLiteral("cannot write the accepted credentials"));
}

bool TestTunnel::startServer()
{
    if (isServerRunning()) {
        return true;
    }
    const QString dir = pkiFolder();
    const QString script = dir + QStringLiteral("/check.sh");
    if (!writeFile(script,
                   QByteArrayLiteral("#!/bin/sh\nexec cmp -s \"$1\" \"") + dir.toUtf8() + "/accepted\"\n",
                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        return fail(QStringLiteral("cannot write the check script"));
    }
    const bool udp = m_protocol != Protocol::Tcp;
    const QString subnet = QStringLiteral("10.%1.0.0").arg(100 + m_index % 100);
    QString config = QStringLiteral("dev tun\n"
                                    "proto %1\n"
                                    "local %2\n"
                                    "port %3\n"
                                    "topology subnet\n"
                                    "server %4 255.255.255.0\n"
                                    "ca %5/ca.crt\n"
                                    "cert %5/server.crt\n"
                                    "key %5/server.key\n"
                                    "dh none\n"
                                    "tls-crypt %5/tc.key\n"
                                    "verify-client-cert optional\n"
                                    "username-as-common-name\n"
                                    "duplicate-cn\n"
                                    "script-security 2\n"
                                    "auth-user-pass-verify %5/check.sh via-file\n"
                                    "keepalive 2 10\n"
                                    "disable-dco\n"
                                    "verb 3\n")
                         .arg(udp ? QStringLiteral("udp") + QLatin1String(m_protocol == Protocol::Udp6 ? "6" : "")
                                  : QStringLiteral("tcp-server"),
                              remoteAddress(),
                              QString::number(serverPort()),
                              subnet,
                              dir);
    if (udp) {
        config += QStringLiteral("explicit-exit-notify 1\n");
    }
    for (const QString &option : m_pushed) {
        config += QStringLiteral("push \"") + option + QStringLiteral("\"\n");
    }
    const QString configPath = dir + QStringLiteral("/server.conf");
    if (!writeFile(configPath, config.toUtf8())) {
        return fail(QStringLiteral("cannot write the server configuration"));
    }
    // setpriv ties the server's life to ours: a killed test leaves no daemon behind.
    m_serverLog.clear();
    m_server.start(QStringLiteral("setpriv"),
                   {QStringLiteral("--pdeathsig"),
                    QStringLiteral("SIGKILL"),
                    QStringLiteral("ip"),
                    QStringLiteral("netns"),
                    QStringLiteral("exec"),
                    m_namespace,
                    openvpnProgram(),
                    QStringLiteral("--config"),
                    configPath});
    if (!m_server.waitForStarted(commandTimeoutMs)) {
        return fail(QStringLiteral("cannot start the server: ") + m_server.errorString());
    }
    const QDeadlineTimer deadline(serverStartTimeoutMs);
    while (!deadline.hasExpired()) {
        serverLog();
        if (m_serverLog.contains(QLatin1String("Initialization Sequence Completed"))) {
            return true;
        }
        if (m_server.state() == QProcess::NotRunning) {
            break;
        }
        m_server.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    const QString log = serverLog();
    killServer();
    return fail(QStringLiteral("the server did not come up:\n") + log);
}

void TestTunnel::killServer()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished(commandTimeoutMs);
    }
    serverLog();
}

bool TestTunnel::isServerRunning() const
{
    return m_server.state() != QProcess::NotRunning;
}

QString TestTunnel::serverLog()
{
    m_serverLog += QString::fromLocal8Bit(m_server.readAll());
    return m_serverLog;
}

bool TestTunnel::runInNamespace(const QStringList &command, QString *output)
{
    if (command.isEmpty()) {
        return fail(QStringLiteral("no command"));
    }
    return run(QStringLiteral("ip"),
               QStringList{QStringLiteral("netns"), QStringLiteral("exec"), m_namespace} + command,
               output);
}

QString TestTunnel::profileText() const
{
    return clientProfile(ProfileStyle::Inline);
}

QString TestTunnel::clientProfile(ProfileStyle style) const
{
    const bool udp = m_protocol != Protocol::Tcp;
    QString text = QStringLiteral("client\n"
                                  "dev tun\n"
                                  "proto %1\n"
                                  "remote %2 %3\n"
                                  "nobind\n"
                                  "remote-cert-tls server\n"
                                  "auth-retry interact\n"
                                  "disable-dco\n"
                                  "connect-retry 1 5\n"
                                  "verb 3\n")
                       .arg(udp ? QStringLiteral("udp") + QLatin1String(m_protocol == Protocol::Udp6 ? "6" : "")
                                : QStringLiteral("tcp-client"),
                            remoteAddress(),
                            QString::number(serverPort()));
    text += style == ProfileStyle::CredentialsFile ? QStringLiteral("auth-user-pass credentials.txt\n")
                                                   : QStringLiteral("auth-user-pass\n");
    const QString dir = pkiFolder();
    if (style == ProfileStyle::Inline) {
        text += QStringLiteral("<ca>\n") + QString::fromUtf8(readFile(dir + QStringLiteral("/ca.crt")))
                + QStringLiteral("</ca>\n<tls-crypt>\n") + QString::fromUtf8(readFile(dir + QStringLiteral("/tc.key")))
                + QStringLiteral("</tls-crypt>\n");
    } else {
        text += QStringLiteral("ca ca.crt\ncert client.crt\nkey client.key\ntls-crypt \"tls crypt.key\"\n");
    }
    return text;
}

QString TestTunnel::writeProfile(const QString &folder, ProfileStyle style) const
{
    const QString dir = pkiFolder();
    if (style == ProfileStyle::CredentialsFile
        && !writeFile(folder + QStringLiteral("/credentials.txt"),
                      m_user.toUtf8() + '\n' + m_password.toUtf8() + '\n')) {
        return QString();
    }
    if (style != ProfileStyle::Inline) {
        const struct
        {
            const char *from;
            const char *to;
        } files[] = {{"ca.crt", "ca.crt"},
                     {"client.crt", "client.crt"},
                     {"client.key", "client.key"},
                     {"tc.key", "tls crypt.key"}};

        for (const auto &file : files) {
            if (!writeFile(folder + QLatin1Char('/') + QLatin1String(file.to),
                           readFile(dir + QLatin1Char('/') + QLatin1String(file.from)))) {
                return QString();
            }
        }
    }
    const QString path = folder + QStringLiteral("/client.ovpn");
    return writeFile(path, clientProfile(style).toUtf8()) ? path : QString();
}

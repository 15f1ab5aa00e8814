#include <algorithm>
#include <csignal>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "records/OrvDomain.h"
#include "serial/VirtualSerialPort.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/TestEnvironment.h"
#include "tools/testportal/TestPortal.h"
#include "tools/testtunnel/TestTunnel.h"

namespace
{
constexpr int tunnelUpTimeoutMs = 90000;
constexpr int endTimeoutMs = 30000;
constexpr int toolTimeoutMs = 20000;
constexpr int deviceId = 101;
const QByteArray connectedLine = "OrvVpn::connected(): \"Connected\"";
const QString certificateFolder = QStringLiteral("/etc/ssl/certs");

struct ProcessEntry
{
    qint64 pid = 0;
    qint64 parent = 0;
    QByteArray name;
    QByteArray commandLine;
};

// Live processes (zombies left out), read from /proc.
QList<ProcessEntry> liveProcesses()
{
    QList<ProcessEntry> found;
    QDirIterator entries(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
        entries.next();
        QFile stat(entries.filePath() + QStringLiteral("/stat"));
        QFile commandLine(entries.filePath() + QStringLiteral("/cmdline"));
        if (!stat.open(QIODevice::ReadOnly) || !commandLine.open(QIODevice::ReadOnly)) {
            continue;
        }
        // "pid (name) state ppid ...": the name may hold blanks, so read after its closing bracket.
        const QByteArray fields = stat.readAll();
        const int close = fields.lastIndexOf(')');
        const QList<QByteArray> rest = fields.mid(close + 2).split(' ');
        if (close < 0 || rest.size() < 2 || rest.at(0) == "Z" || rest.at(0) == "X") {
            continue;
        }
        const int open = fields.indexOf('(');
        found.append({entries.fileName().toLongLong(),
                      rest.at(1).toLongLong(),
                      fields.mid(open + 1, close - open - 1),
                      commandLine.readAll().replace('\0', ' ')});
    }
    return found;
}

QList<qint64> childrenNamed(qint64 parent, const QByteArray &name)
{
    QList<qint64> found;
    for (const ProcessEntry &entry : liveProcesses()) {
        if (entry.parent == parent && entry.name == name) {
            found.append(entry.pid);
        }
    }
    return found;
}

bool isLive(qint64 pid)
{
    const QList<ProcessEntry> all = liveProcesses();
    return std::any_of(all.cbegin(), all.cend(), [pid](const ProcessEntry &entry) { return entry.pid == pid; });
}

// This test's pair holders and serial bridges: they carry its runtime folder in their environment.
QStringList serialProcesses()
{
    const QByteArray runtime = "XDG_RUNTIME_DIR=" + qgetenv("XDG_RUNTIME_DIR");
    QStringList found;
    for (const ProcessEntry &entry : liveProcesses()) {
        if (entry.name != "setupc.exe" && entry.name != "com2tcp") {
            continue;
        }
        QFile environment(QStringLiteral("/proc/%1/environ").arg(entry.pid));
        if (environment.open(QIODevice::ReadOnly) && environment.readAll().split('\0').contains(runtime)) {
            found.append(QString::number(entry.pid) + QLatin1Char(' ') + QString::fromLocal8Bit(entry.commandLine));
        }
    }
    return found;
}

QString runSerialTool(const QStringList &arguments)
{
    QProcess tool;
    tool.start(QStringLiteral(SETUPC_PATH), arguments);
    if (!tool.waitForFinished(toolTimeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return QStringLiteral("setupc.exe did not finish");
    }
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}

QString pairList()
{
    return runSerialTool({QStringLiteral("list")});
}

// After a failed run: no pair, holder or bridge of the program may outlive the test.
void removeLeftovers()
{
    static const QRegularExpression side(QStringLiteral("^CNCA([0-9]+) "), QRegularExpression::MultilineOption);
    QRegularExpressionMatchIterator pairs = side.globalMatch(pairList());
    while (pairs.hasNext()) {
        runSerialTool({QStringLiteral("remove"), pairs.next().captured(1)});
    }
    for (const QString &process : serialProcesses()) {
        ::kill(static_cast<pid_t>(process.section(QLatin1Char(' '), 0, 0).toLongLong()), SIGKILL);
    }
}

QStringList pairLinks()
{
    const QDir links(qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/lumenbridge-serial"));
    return links.entryList({QStringLiteral("COM*"), QStringLiteral("CNCA*")}, QDir::System | QDir::Files);
}

void storeStartState(const QJsonArray &domains)
{
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    QList<OrvDomain *> records;
    for (const QJsonValue &value : domains) {
        records.append(OrvDomain::fromJson(value.toObject()));
    }
    VirtualSerialPort port;
    port.type = 1;
    port.deviceId = deviceId;
    {
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.setDomains(records);
        settings.setVirtualSerialPorts({&port});
        // The start logs in and connects the last device by itself.
        settings.setValue(QStringLiteral("vpn/last_device_id"), deviceId);
    }
    for (OrvDomain *domain : qAsConst(records)) {
        domain->clearDevices();
        delete domain;
    }
}

bool storedWindowSize()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    return settings.contains(QStringLiteral("window/size"));
}

// Starts the program with the signal dispositions a shell would hand it: default, or a hangup ignored (nohup).
class ProgramProcess : public QProcess
{
public:
    bool ignoreHangup = false;

protected:
    void setupChildProcess() override
    {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, ignoreHangup ? SIG_IGN : SIG_DFL);
    }
};
} // namespace

// The real program, logged in to the test portal with a real tunnel and a virtual serial pair up, ended by the
// signals of a logout, a kill or a Ctrl-C: it must end as closing its window does.
class TestShutdownSignals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void endsAsWindowClose_data();
    void endsAsWindowClose();

private:
    TestTunnel *m_tunnel = nullptr;
    QTemporaryDir *m_certificates = nullptr;
    bool m_certificatesMounted = false;
};

void TestShutdownSignals::initTestCase()
{
    installConnectionWarningCheck();
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    const QString reason = TestTunnel::unavailableReason();
    if (!reason.isEmpty()) {
        QSKIP(qPrintable(reason));
    }
    m_tunnel = new TestTunnel;
    QVERIFY2(m_tunnel->start(), qPrintable(m_tunnel->errorString()));

    // The program trusts the test portal through the system's certificate folder: a private one, bound over
    // the real one in this process's own mount namespace, which the program shares.
    m_certificates = new QTemporaryDir;
    QVERIFY(m_certificates->isValid());
    QVERIFY(QFile::copy(TestPortal::caCertificatePath(), m_certificates->filePath(QStringLiteral("test-ca.pem"))));
    QCOMPARE(QProcess::execute(QStringLiteral("openssl"), {QStringLiteral("rehash"), m_certificates->path()}), 0);
    QCOMPARE(mount(QFile::encodeName(m_certificates->path()).constData(),
                   QFile::encodeName(certificateFolder).constData(),
                   nullptr,
                   MS_BIND,
                   nullptr),
             0);
    m_certificatesMounted = true;
}

void TestShutdownSignals::cleanupTestCase()
{
    if (m_certificatesMounted) {
        umount2(QFile::encodeName(certificateFolder).constData(), MNT_DETACH);
    }
    delete m_certificates;
    m_certificates = nullptr;
    delete m_tunnel;
    m_tunnel = nullptr;
}

void TestShutdownSignals::endsAsWindowClose_data()
{
    QTest::addColumn<bool>("ignoreHangup");
    QTest::addColumn<QList<int>>("sent");
    QTest::addColumn<int>("ending");

    QTest::newRow("SIGTERM (kill, logout)") << false << QList<int>{SIGTERM} << SIGTERM;
    QTest::newRow("SIGINT (Ctrl-C)") << false << QList<int>{SIGINT} << SIGINT;
    QTest::newRow("SIGHUP (terminal closed)") << false << QList<int>{SIGHUP} << SIGHUP;
    QTest::newRow("SIGHUP ignored at start stays ignored, then SIGTERM")
        << true << QList<int>{SIGHUP, SIGTERM} << SIGTERM;
}

void TestShutdownSignals::endsAsWindowClose()
{
    QFETCH(bool, ignoreHangup);
    QFETCH(QList<int>, sent);
    QFETCH(int, ending);

    TestEnvironment environment;
    QJsonObject data = PortalSession::sampleData();
    QJsonArray domains = data.value(QStringLiteral("domains")).toArray();
    QJsonObject north = domains.at(0).toObject();
    north.insert(
        QStringLiteral("vpn_files"),
        QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("client.ovpn")},
                               {QStringLiteral("text"), m_tunnel->profileText()}},
                   QJsonObject{{QStringLiteral("name"), QStringLiteral("credentials.txt")},
                               {QStringLiteral("text"), m_tunnel->user() + QLatin1Char('\n') + m_tunnel->password()}}});
    domains.replace(0, north);
    data.insert(QStringLiteral("domains"), domains);
    PortalSession session;
    QVERIFY(session.start(data));
    storeStartState(domains);
    QVERIFY(!storedWindowSize());

    QTemporaryDir programFolder;
    QVERIFY(programFolder.isValid());
    QProcessEnvironment programEnvironment = QProcessEnvironment::systemEnvironment();
    programEnvironment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    programEnvironment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    programEnvironment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    programEnvironment.remove(QStringLiteral("LUMENBRIDGE_SERIAL_DIR"));

    ProgramProcess program;
    program.ignoreHangup = ignoreHangup;
    program.setProcessEnvironment(programEnvironment);
    program.setWorkingDirectory(programFolder.path());
    program.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray output;
    connect(&program, &QProcess::readyRead, this, [&] { output += program.readAll(); });
    const auto stopProgram = qScopeGuard([&program] {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(endTimeoutMs);
        }
        removeLeftovers();
    });
    program.start(QStringLiteral(LUMENBRIDGE_PATH), QStringList());
    QVERIFY(program.waitForStarted(toolTimeoutMs));
    const qint64 programPid = program.processId();

    // Logged in, the stored port's pair made, the last device's tunnel up through the real daemon.
    QTRY_VERIFY2_WITH_TIMEOUT(output.contains(connectedLine) || program.state() == QProcess::NotRunning,
                              qPrintable(QString::fromLocal8Bit(output.right(3000))),
                              tunnelUpTimeoutMs);
    QVERIFY2(output.contains(connectedLine), qPrintable(QString::fromLocal8Bit(output.right(3000))));
    const QList<qint64> daemons = childrenNamed(programPid, "openvpn");
    QCOMPARE(daemons.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!pairLinks().isEmpty(), toolTimeoutMs);
    QVERIFY(pairList().contains(QStringLiteral("CNCAORV")));
    QVERIFY(!serialProcesses().isEmpty());

    QSignalSpy finished(&program, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    for (const int number : qAsConst(sent)) {
        QCOMPARE(::kill(static_cast<pid_t>(programPid), number), 0);
    }
    QVERIFY2(finished.wait(endTimeoutMs), qPrintable(QString::fromLocal8Bit(output.right(3000))));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    // Only the signal that ends it was acted on; an ignored hangup left no trace.
    QCOMPARE(output.count("ShutdownSignals::readSignals()"), 1);
    QVERIFY(output.contains(QByteArray("Signal ") + QByteArray::number(ending) + ' '));

    // The window's close path ran: tunnel stopped, pairs removed, window geometry saved.
    QTRY_VERIFY_WITH_TIMEOUT(!isLive(daemons.first()), endTimeoutMs);
    QCOMPARE(pairList(), QString());
    QCOMPARE(pairLinks(), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(serialProcesses(), QStringList(), endTimeoutMs);
    QVERIFY(storedWindowSize());
    // Run from a folder of its own, it left nothing there.
    QCOMPARE(QDir(programFolder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList());
}

int main(int argc, char *argv[])
{
    // Before any thread exists: the tunnel, the portal and the program share this process's own namespaces.
    const QString isolation = TestTunnel::isolateProcess();
    if (!isolation.isEmpty()) {
        qWarning("%s", qPrintable(isolation));
    }
    QCoreApplication application(argc, argv);
    TestShutdownSignals test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "TestShutdownSignals.moc"

#include <csignal>

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

#include "serial/VirtualSerialPort.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/SerialTestRig.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TunnelFixture.h"
#include "tools/testportal/TestPortal.h"
#include "tools/testtunnel/TestTunnel.h"

namespace
{
constexpr int tunnelUpTimeoutMs = 90000;
constexpr int endTimeoutMs = 30000;
constexpr int startTimeoutMs = 20000;
constexpr int deviceId = 101;
constexpr const char *deviceKey = "device-key";
// How long a bridge or a pair holder may outlive a program that was killed.
constexpr int leftoverTimeoutMs = 2000;
const QByteArray connectedLine = "OrvVpn::connected(): \"Connected\"";
const QString certificateFolder = QStringLiteral("/etc/ssl/certs");

// This test's pair holders and serial bridges: they carry its runtime folder in their environment.
QStringList serialProcesses()
{
    const QByteArray runtime = "XDG_RUNTIME_DIR=" + qgetenv("XDG_RUNTIME_DIR");
    QStringList found;
    for (const ProcessTable::Process &process : ProcessTable::processes()) {
        if (process.isLive() && (process.name == "setupc.exe" || process.name == "com2tcp")
            && ProcessTable::environment(process.pid).contains(runtime)) {
            found.append(QString::number(process.pid) + QLatin1Char(' ')
                         + QString::fromLocal8Bit(process.arguments().join(' ')));
        }
    }
    return found;
}

// After a failed run: no pair, holder or bridge of the program may outlive the test.
void removeLeftovers()
{
    SerialTestRig::removePairs();
    for (const QString &process : serialProcesses()) {
        ::kill(static_cast<pid_t>(process.section(QLatin1Char(' '), 0, 0).toLongLong()), SIGKILL);
    }
}

QStringList pairLinks()
{
    const QDir links(qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/lumenbridge-serial"));
    return links.entryList({QStringLiteral("COM*"), QStringLiteral("CNCA*")}, QDir::System | QDir::Files);
}

// The portal serves the tunnel's profile; the settings hold a login, the domains and a serial port of the device,
// which answers behind the tunnel, so the port is bridged once the tunnel is up.
bool startSession(PortalSession &session, const TestTunnel &tunnel)
{
    const QJsonArray devices{
        PortalSession::deviceAt(deviceId, 10, 1, tunnel.serverTunnelAddress(), 1, QLatin1String(deviceKey))};
    const QJsonObject data = PortalSession::sampleData(
        {{QStringLiteral("vpn_files"), TunnelFixture::vpnFiles(tunnel)}, {QStringLiteral("devices"), devices}});
    if (!session.start(data)) {
        return false;
    }
    const QJsonArray domains = data.value(QStringLiteral("domains")).toArray();
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    StoredSettings::setDomains(domains);
    VirtualSerialPort port;
    port.type = 1;
    port.deviceId = deviceId;
    StoredSettings::setSerialPorts({&port});
    // The start logs in and connects the last device by itself.
    StoredSettings::setValue(QStringLiteral("vpn/last_device_id"), deviceId);
    return true;
}

// The program as a user starts it from a shell, headless, with the signal dispositions a shell hands it: default,
// or a hangup ignored (nohup). Its output is collected; it is killed if the test leaves it running.
class ProgramProcess : public QProcess
{
public:
    bool ignoreHangup = false;
    QByteArray output;

    ~ProgramProcess() override
    {
        if (state() != QProcess::NotRunning) {
            kill();
            waitForFinished(endTimeoutMs);
        }
        removeLeftovers();
    }

    bool startIn(const QString &folder)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Offscreen as it is: the program chooses its own drawing there.
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("QT_QUICK_BACKEND"));
        environment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        environment.remove(QStringLiteral("LUMENBRIDGE_SERIAL_DIR"));
        setProcessEnvironment(environment);
        setWorkingDirectory(folder);
        setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(this, &QProcess::readyRead, [this] { output += readAll(); });
        start(QStringLiteral(LUMENBRIDGE_PATH), QStringList());
        return waitForStarted(startTimeoutMs);
    }

    QByteArray tail() const
    {
        return output.right(3000);
    }

    // Waits for the tunnel to come up; false if it did not, or the program ended first.
    bool waitConnected()
    {
        return QTest::qWaitFor([this] { return output.contains(connectedLine) || state() == QProcess::NotRunning; },
                               tunnelUpTimeoutMs)
               && output.contains(connectedLine);
    }

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
    void renderEndsWhileLoginsWait();

private:
    TestTunnel *m_tunnel = nullptr;
    QProcess *m_echo = nullptr;
    QProcess *m_deviceService = nullptr;
    QTemporaryDir *m_certificates = nullptr;
    bool m_certificatesMounted = false;
};

void TestShutdownSignals::initTestCase()
{
    installConnectionWarningCheck();
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    REQUIRE_TUNNELS();
    m_tunnel = new TestTunnel;
    QVERIFY2(m_tunnel->start(), qPrintable(m_tunnel->errorString()));
    m_echo = new QProcess;
    m_deviceService = new QProcess;
    quint16 echoPort = 0;
    QVERIFY(TunnelFixture::startDevice(*m_tunnel,
                                       QStringLiteral(DEMO_ECHO_PATH),
                                       QStringLiteral(TESTPORTAL_PATH),
                                       QLatin1String(deviceKey),
                                       m_echo,
                                       m_deviceService,
                                       &echoPort));

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
    delete m_deviceService;
    m_deviceService = nullptr;
    delete m_echo;
    m_echo = nullptr;
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
    // None of its own clean-up runs, yet nothing of its serial ports is left to send on outside the tunnel.
    QTest::newRow("SIGKILL: its bridge and pair end with it") << false << QList<int>{SIGKILL} << SIGKILL;
}

void TestShutdownSignals::endsAsWindowClose()
{
    QFETCH(bool, ignoreHangup);
    QFETCH(QList<int>, sent);
    QFETCH(int, ending);

    TestEnvironment environment;
    PortalSession session;
    QVERIFY(startSession(session, *m_tunnel));
    QVERIFY(!StoredSettings::contains(QStringLiteral("window/size")));

    QTemporaryDir programFolder;
    QVERIFY(programFolder.isValid());
    ProgramProcess program;
    program.ignoreHangup = ignoreHangup;
    QVERIFY(program.startIn(programFolder.path()));
    const qint64 programPid = program.processId();
    const QByteArray &output = program.output;

    // Logged in, the stored port's pair made, the last device's tunnel up through the real daemon, and once the
    // device's online delay is over, the port bridged to it.
    QVERIFY2(program.waitConnected(), program.tail().constData());
    const QList<qint64> daemons = ProcessTable::children(programPid, "openvpn");
    QCOMPARE(daemons.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(ProcessTable::children(programPid, "com2tcp").size(), 1, startTimeoutMs);
    QVERIFY(!pairLinks().isEmpty());
    QVERIFY(SerialTestRig::pairLines().join(QLatin1Char('\n')).contains(QStringLiteral("CNCAORV")));

    QSignalSpy finished(&program, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    for (const int number : qAsConst(sent)) {
        QCOMPARE(::kill(static_cast<pid_t>(programPid), number), 0);
    }
    QVERIFY2(finished.wait(endTimeoutMs), program.tail().constData());
    if (ending == SIGKILL) {
        QTRY_COMPARE_WITH_TIMEOUT(serialProcesses(), QStringList(), leftoverTimeoutMs);
        QCOMPARE(pairLinks(), QStringList());
        QCOMPARE(SerialTestRig::pairLines(), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(!ProcessTable::isLive(daemons.first()), endTimeoutMs);
        return;
    }
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    // Only the signal that ends it was acted on; an ignored hangup left no trace.
    QCOMPARE(output.count("ShutdownSignals::readSignals()"), 1);
    QVERIFY(output.contains(QByteArray("Signal ") + QByteArray::number(ending) + ' '));
    // Nor did the start warn about the runtime folder, which the program sets up itself.
    QVERIFY(!output.contains("QStandardPaths"));

    // The window's close path ran: tunnel stopped and its daemon ended with the program, pairs removed, window
    // geometry saved.
    QVERIFY(!ProcessTable::isLive(daemons.first()));
    QCOMPARE(SerialTestRig::pairLines(), QStringList());
    QCOMPARE(pairLinks(), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(serialProcesses(), QStringList(), endTimeoutMs);
    QVERIFY(StoredSettings::contains(QStringLiteral("window/size")));
    // Run from a folder of its own, it left nothing there.
    QCOMPARE(QDir(programFolder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList());
}

// The stored login waits at the portal while the page's render process ends and the window is replaced, again and
// again. The closed windows' logins are answered first, the last window's last: one login goes on, and one tunnel.
void TestShutdownSignals::renderEndsWhileLoginsWait()
{
    constexpr int windowEnds = 3;
    TestEnvironment environment;
    PortalSession session;
    QVERIFY(startSession(session, *m_tunnel));
    TestPortal::Behaviour held;
    held.hold = true;
    session.portal().setBehaviour(TestPortal::Route::Login, held);
    QList<int> logins;
    connect(&session.portal(), &TestPortal::requestReceived, this, [&](int index) {
        if (session.portal().requests().at(index).route == TestPortal::Route::Login) {
            logins.append(index);
        }
    });

    QTemporaryDir programFolder;
    QVERIFY(programFolder.isValid());
    ProgramProcess program;
    QVERIFY(program.startIn(programFolder.path()));
    const qint64 programPid = program.processId();
    QList<qint64> ended;
    for (int window = 0; window < windowEnds; ++window) {
        QTRY_COMPARE_WITH_TIMEOUT(logins.size(), window + 1, startTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!ProcessTable::renderers(programPid).isEmpty(), startTimeoutMs);
        const QList<qint64> renderers = ProcessTable::renderers(programPid);
        QCOMPARE(renderers.size(), 1);
        QVERIFY(!ended.contains(renderers.first()));
        QCOMPARE(::kill(static_cast<pid_t>(renderers.first()), SIGKILL), 0);
        ended.append(renderers.first());
    }
    QTRY_COMPARE_WITH_TIMEOUT(logins.size(), windowEnds + 1, endTimeoutMs);
    for (const int index : qAsConst(logins)) {
        // The closed windows' requests may have been dropped with their login; the last one is answered.
        const bool released = session.portal().releaseHeld(index);
        QVERIFY(released || index != logins.last());
    }

    QVERIFY2(program.waitConnected(), program.tail().constData());
    // The closed windows' answers came first and started nothing: one domain list, one configuration, one daemon.
    QCOMPARE(session.requestCount(TestPortal::Route::Domains), 1);
    QCOMPARE(session.requestCount(TestPortal::Route::VpnConfig), 1);
    const QList<qint64> daemons = ProcessTable::children(programPid, "openvpn");
    QCOMPARE(daemons.size(), 1);

    QSignalSpy finished(&program, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QCOMPARE(::kill(static_cast<pid_t>(programPid), SIGTERM), 0);
    QVERIFY2(finished.wait(endTimeoutMs), program.tail().constData());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!ProcessTable::isLive(daemons.first()));
}

// The tunnel, the portal and the program share this process's own namespaces.
TUNNEL_TEST_MAIN(TestShutdownSignals, QCoreApplication)

#include "TestShutdownSignals.moc"

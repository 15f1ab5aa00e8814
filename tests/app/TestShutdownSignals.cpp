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

void storeStartState(const QJsonArray &domains)
{
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    StoredSettings::setDomains(domains);
    VirtualSerialPort port;
    port.type = 1;
    port.deviceId = deviceId;
    StoredSettings::setSerialPorts({&port});
    // The start logs in and connects the last device by itself.
    StoredSettings::setValue(QStringLiteral("vpn/last_device_id"), deviceId);
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
    REQUIRE_TUNNELS();
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
    const QJsonObject data =
        PortalSession::sampleData({{QStringLiteral("vpn_files"), TunnelFixture::vpnFiles(*m_tunnel)}});
    PortalSession session;
    QVERIFY(session.start(data));
    storeStartState(data.value(QStringLiteral("domains")).toArray());
    QVERIFY(!StoredSettings::contains(QStringLiteral("window/size")));

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
    QVERIFY(program.waitForStarted(startTimeoutMs));
    const qint64 programPid = program.processId();

    // Logged in, the stored port's pair made, the last device's tunnel up through the real daemon.
    QTRY_VERIFY2_WITH_TIMEOUT(output.contains(connectedLine) || program.state() == QProcess::NotRunning,
                              qPrintable(QString::fromLocal8Bit(output.right(3000))),
                              tunnelUpTimeoutMs);
    QVERIFY2(output.contains(connectedLine), qPrintable(QString::fromLocal8Bit(output.right(3000))));
    const QList<qint64> daemons = ProcessTable::children(programPid, "openvpn");
    QCOMPARE(daemons.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!pairLinks().isEmpty(), startTimeoutMs);
    QVERIFY(SerialTestRig::pairLines().join(QLatin1Char('\n')).contains(QStringLiteral("CNCAORV")));
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
    QTRY_VERIFY_WITH_TIMEOUT(!ProcessTable::isLive(daemons.first()), endTimeoutMs);
    QCOMPARE(SerialTestRig::pairLines(), QStringList());
    QCOMPARE(pairLinks(), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(serialProcesses(), QStringList(), endTimeoutMs);
    QVERIFY(StoredSettings::contains(QStringLiteral("window/size")));
    // Run from a folder of its own, it left nothing there.
    QCOMPARE(QDir(programFolder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList());
}

// The tunnel, the portal and the program share this process's own namespaces.
TUNNEL_TEST_MAIN(TestShutdownSignals, QCoreApplication)

#include "TestShutdownSignals.moc"

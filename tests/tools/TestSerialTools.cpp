#include <csignal>

#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

// The Linux stand-ins for the pair tool and the bridge, driven through their command lines as the port drives them.
class TestSerialTools : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pairCarriesDataBothWays();
    void listAndRemoveKeepRegistry();
    void takenNameFails_data();
    void takenNameFails();
    void concurrentInstallsGetDistinctNumbers();
    void deadHolderIsPruned();
    void busyNamesMatchesPattern_data();
    void busyNamesMatchesPattern();
    void bridgeRelaysAndEndsWithEitherSide_data();
    void bridgeRelaysAndEndsWithEitherSide();
    void bridgeFailsWithoutPortOrPeer_data();
    void bridgeFailsWithoutPortOrPeer();

private:
    struct Run
    {
        int exitCode = -1;
        QString output;
        QString errors;
    };

    Run setupc(const QStringList &arguments);
    QProcessEnvironment environment() const;
    int openSide(const QString &name);
    static QByteArray readAvailable(int fd);

    QScopedPointer<QTemporaryDir> m_dir;
    QList<int> m_fds;
};

void TestSerialTools::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestSerialTools::cleanup()
{
    for (int fd : qAsConst(m_fds)) {
        close(fd);
    }
    m_fds.clear();
    // End every holder this test made, so no process outlives the test.
    const Run listed = setupc({"list"});
    const QRegularExpression side("^CNCA([0-9]+) ", QRegularExpression::MultilineOption);
    auto it = side.globalMatch(listed.output);
    while (it.hasNext()) {
        setupc({"remove", it.next().captured(1)});
    }
    m_dir.reset();
}

QProcessEnvironment TestSerialTools::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LUMENBRIDGE_SERIAL_DIR", m_dir->path() + "/dev");
    return env;
}

TestSerialTools::Run TestSerialTools::setupc(const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(SETUPC_PATH, arguments);
    Run run;
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

int TestSerialTools::openSide(const QString &name)
{
    const QByteArray path = (m_dir->path() + "/dev/" + name).toLocal8Bit();
    const int fd = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        m_fds.append(fd);
    }
    return fd;
}

QByteArray TestSerialTools::readAvailable(int fd)
{
    QByteArray data;
    char chunk[256];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        data.append(chunk, int(n));
    }
    return data;
}

void TestSerialTools::pairCarriesDataBothWays()
{
    const Run installed = setupc({"install", "PortName=COM2", "PortName=CNCAORV2"});
    QCOMPARE(installed.exitCode, 0);
    QCOMPARE(installed.output, QString("CNCA0 PortName=COM2\nCNCB0 PortName=CNCAORV2\n"));

    const int visible = openSide("COM2");
    const int hidden = openSide("CNCAORV2");
    QVERIFY(visible >= 0);
    QVERIFY(hidden >= 0);

    // Bytes a terminal would rewrite (CR, NUL, ^C) must pass unchanged.
    const QByteArray out("AT\r\n\x00\x03", 6);
    QCOMPARE(write(visible, out.constData(), size_t(out.size())), ssize_t(out.size()));
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT((received += readAvailable(hidden)), out, 5000);

    QCOMPARE(write(hidden, "OK\r\n", 4), ssize_t(4));
    received.clear();
    QTRY_COMPARE_WITH_TIMEOUT((received += readAvailable(visible)), QByteArray("OK\r\n"), 5000);
}

void TestSerialTools::listAndRemoveKeepRegistry()
{
    QCOMPARE(setupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    QCOMPARE(setupc({"install", "PortName=COM3", "PortName=CNCAORV3"}).exitCode, 0);
    QCOMPARE(setupc({"list"}).output,
             QString("CNCA0 PortName=COM2\nCNCB0 PortName=CNCAORV2\nCNCA1 PortName=COM3\nCNCB1 PortName=CNCAORV3\n"));

    QCOMPARE(setupc({"remove", "0"}).exitCode, 0);
    QCOMPARE(setupc({"list"}).output, QString("CNCA1 PortName=COM3\nCNCB1 PortName=CNCAORV3\n"));
    QVERIFY(!QFileInfo::exists(m_dir->path() + "/dev/COM2"));
    QVERIFY(!QFileInfo::exists(m_dir->path() + "/dev/CNCAORV2"));
    QVERIFY(QFileInfo::exists(m_dir->path() + "/dev/COM3"));

    QVERIFY(setupc({"remove", "0"}).exitCode != 0);
    QVERIFY(setupc({"remove", "x"}).exitCode != 0);

    // The freed number and names are given out again.
    QCOMPARE(setupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).output,
             QString("CNCA0 PortName=COM2\nCNCB0 PortName=CNCAORV2\n"));
}

void TestSerialTools::takenNameFails_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("visible side taken") << "PortName=COM5"
                                        << "PortName=CNCAORV9";
    QTest::newRow("hidden side taken") << "PortName=COM9"
                                       << "PortName=CNCAORV5";
    QTest::newRow("taken in other case") << "PortName=com5"
                                         << "PortName=CNCAORV9";
    QTest::newRow("both sides one name") << "PortName=COM9"
                                         << "PortName=COM9";
    QTest::newRow("name with a slash") << "PortName=../COM9"
                                       << "PortName=CNCAORV9";
    QTest::newRow("no PortName prefix") << "COM9"
                                        << "CNCAORV9";
}

void TestSerialTools::takenNameFails()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QCOMPARE(setupc({"install", "PortName=COM5", "PortName=CNCAORV5"}).exitCode, 0);

    const Run refused = setupc({"install", first, second});
    QVERIFY(refused.exitCode > 0);
    QVERIFY(!refused.errors.isEmpty());
    QCOMPARE(setupc({"list"}).output, QString("CNCA0 PortName=COM5\nCNCB0 PortName=CNCAORV5\n"));
    QVERIFY(!QFileInfo::exists(m_dir->path() + "/dev/COM9"));
}

void TestSerialTools::concurrentInstallsGetDistinctNumbers()
{
    constexpr int installs = 6;
    QList<QProcess *> processes;
    for (int i = 0; i < installs; ++i) {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(environment());
        process->start(SETUPC_PATH,
                       {"install", QString("PortName=COM%1").arg(10 + i), QString("PortName=CNCAORV%1").arg(10 + i)});
        processes.append(process);
    }
    for (QProcess *process : qAsConst(processes)) {
        QVERIFY(process->waitForFinished(20000));
        QCOMPARE(process->exitCode(), 0);
        delete process;
    }
    const QString listed = setupc({"list"}).output;
    const QRegularExpression visible("^CNCA([0-9]+) PortName=COM([0-9]+)$", QRegularExpression::MultilineOption);
    QSet<int> numbers;
    QSet<int> names;
    auto it = visible.globalMatch(listed);
    while (it.hasNext()) {
        const auto match = it.next();
        numbers.insert(match.captured(1).toInt());
        names.insert(match.captured(2).toInt());
    }
    QCOMPARE(numbers.size(), installs);
    QCOMPARE(names.size(), installs);
    QCOMPARE(listed.count('\n'), 2 * installs);
}

void TestSerialTools::deadHolderIsPruned()
{
    QCOMPARE(setupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    QFile registry(m_dir->path() + "/dev/pairs");
    QVERIFY(registry.open(QIODevice::ReadOnly));
    const QList<QByteArray> fields = registry.readAll().trimmed().split(' ');
    QCOMPARE(fields.size(), 4);
    const pid_t holder = fields.at(1).toInt();
    QVERIFY(holder > 0);
    QCOMPARE(::kill(holder, SIGKILL), 0);

    QTRY_COMPARE_WITH_TIMEOUT(setupc({"list"}).output, QString(), 10000);
    QVERIFY(!QFileInfo::exists(m_dir->path() + "/dev/COM2"));
    QCOMPARE(setupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
}

void TestSerialTools::busyNamesMatchesPattern_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("expected");
    QTest::newRow("wildcard") << "COM*"
                              << "COM2\nCOM20\n";
    QTest::newRow("plain name") << "COM2"
                                << "COM2\n";
    QTest::newRow("hidden sides") << "CNCAORV*"
                                  << "CNCAORV2\nCNCAORV20\n";
    QTest::newRow("free name") << "COM3"
                               << "";
}

void TestSerialTools::busyNamesMatchesPattern()
{
    QFETCH(QString, pattern);
    QFETCH(QString, expected);
    QCOMPARE(setupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    QCOMPARE(setupc({"install", "PortName=COM20", "PortName=CNCAORV20"}).exitCode, 0);
    const Run busy = setupc({"busynames", pattern});
    QCOMPARE(busy.exitCode, 0);
    QCOMPARE(busy.output, expected);
}

void TestSerialTools::bridgeRelaysAndEndsWithEitherSide_data()
{
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<QString>("host");
    QTest::newRow("peer closes the connection") << true << "127.0.0.1";
    QTest::newRow("pair is removed") << false << "127.0.0.1";
    // A device on loopback is known by address and port; the bridge goes to the address.
    QTest::newRow("host given with a port") << true << "127.0.0.1:1";
}

void TestSerialTools::bridgeRelaysAndEndsWithEitherSide()
{
    QFETCH(bool, peerCloses);
    QFETCH(QString, host);
    QCOMPARE(setupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);

    QTcpServer echo;
    QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
    QPointer<QTcpSocket> peer;
    connect(&echo, &QTcpServer::newConnection, this, [&] {
        peer = echo.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer, [&] { peer->write(peer->readAll()); });
    });

    QProcess bridge;
    bridge.setProcessEnvironment(environment());
    bridge.start(COM2TCP_PATH, {"//./CNCAORV2", host, QString::number(echo.serverPort())});
    QVERIFY(bridge.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(peer, 5000);

    const int visible = openSide("COM2");
    QVERIFY(visible >= 0);
    QCOMPARE(write(visible, "ping\r\n", 6), ssize_t(6));
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT((received += readAvailable(visible)), QByteArray("ping\r\n"), 5000);

    QSignalSpy finished(&bridge, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (peerCloses) {
        peer->close();
    } else {
        QCOMPARE(setupc({"remove", "0"}).exitCode, 0);
    }
    QVERIFY(finished.wait(5000) || finished.count() == 1);
    QCOMPARE(bridge.exitStatus(), QProcess::NormalExit);
    QCOMPARE(bridge.exitCode(), 0);
    if (!peerCloses) {
        QTRY_VERIFY_WITH_TIMEOUT(!peer || peer->state() == QAbstractSocket::UnconnectedState, 5000);
    }
}

void TestSerialTools::bridgeFailsWithoutPortOrPeer_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("listening");
    QTest::newRow("no such port") << "//./CNCAORV7" << true;
    QTest::newRow("nobody listening") << "//./CNCAORV2" << false;
}

void TestSerialTools::bridgeFailsWithoutPortOrPeer()
{
    QFETCH(QString, device);
    QFETCH(bool, listening);
    QCOMPARE(setupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.serverPort();
    if (!listening) {
        server.close();
    }
    QProcess bridge;
    bridge.setProcessEnvironment(environment());
    bridge.start(COM2TCP_PATH, {device, "127.0.0.1", QString::number(port)});
    QVERIFY(bridge.waitForFinished(10000));
    QVERIFY(bridge.exitCode() != 0);
    QVERIFY(!bridge.readAllStandardError().isEmpty());
}

QTEST_GUILESS_MAIN(TestSerialTools)
#include "TestSerialTools.moc"

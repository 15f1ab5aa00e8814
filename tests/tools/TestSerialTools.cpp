#include <atomic>
#include <csignal>
#include <thread>

#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/HostileFolder.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/SerialTestRig.h"
#include "tools/setupc/Relay.h"

namespace
{
constexpr int megabyte = 1000 * 1000;
constexpr int transferTimeoutMs = 30000;

// Bytes that show where a loss or a reordering happened.
QByteArray payload(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        data[i] = char((i * 7 + i / 251) & 0xff);
    }
    return data;
}

// Blocking send of everything; false when the other end went away first.
bool sendAll(int fd, const QByteArray &data)
{
    qint64 sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += n;
    }
    return true;
}

// Reads until end of file, until limit bytes arrived, or until nothing came for timeoutMs.
QByteArray receive(int fd, int limit, int timeoutMs)
{
    QByteArray data;
    char chunk[65536];
    pollfd wait = {fd, POLLIN, 0};
    while (data.size() < limit && poll(&wait, 1, timeoutMs) > 0) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            data.append(chunk, int(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return data;
}

// The environment of the tools as root started through sudo for a user: no runtime folder, so the links go to
// /run/lumenbridge-serial; sudoUid null: no invoking user.
QProcessEnvironment startedBySudo(const QByteArray &sudoUid)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LUMENBRIDGE_SERIAL_DIR", "XDG_RUNTIME_DIR", "PKEXEC_UID", "SUDO_UID"}) {
        env.remove(name);
    }
    if (!sudoUid.isNull()) {
        env.insert("SUDO_UID", QString::fromLatin1(sudoUid));
    }
    return env;
}

// Opens a port as another user in a child that then ends, killed or not, without closing it; with exclusive, after
// setting exclusive mode. 0 when the open succeeded, else its errno.
int openAsUser(const QByteArray &path, uid_t user, bool exclusive, bool killed)
{
    const pid_t child = fork();
    if (child == 0) {
        const int fd = setgroups(0, nullptr) == 0 && setgid(user) == 0 && setuid(user) == 0
                           ? open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)
                           : -1;
        if (fd >= 0 && exclusive) {
            ioctl(fd, TIOCEXCL);
        }
        if (fd >= 0 && killed) {
            raise(SIGKILL);
        }
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return -1;
    }
    // Only a child whose open worked gets as far as being killed.
    return WIFSIGNALED(status) ? (WTERMSIG(status) == SIGKILL ? 0 : -1) : WEXITSTATUS(status);
}

// Writes everything to a non-blocking descriptor, waiting whenever it is full.
bool writeAllWaiting(int fd, const QByteArray &data, int timeoutMs)
{
    qint64 written = 0;
    pollfd wait = {fd, POLLOUT, 0};
    while (written < data.size()) {
        const ssize_t n = write(fd, data.constData() + written, size_t(data.size() - written));
        if (n > 0) {
            written += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (poll(&wait, 1, timeoutMs) <= 0) {
            return false;
        }
    }
    return true;
}
} // namespace

// The Linux stand-ins for the pair tool and the bridge, driven through their command lines as the port drives them.
class TestSerialTools : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
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
    void nothingWaitsForTheNextUser_data();
    void nothingWaitsForTheNextUser();
    void relayDeliversEverythingBeforeEnding_data();
    void relayDeliversEverythingBeforeEnding();
    void bridgeDeliversEverythingAtClose_data();
    void bridgeDeliversEverythingAtClose();
    void renamedHolderIsRecognised();
    void pairFolderRefused_data();
    void pairFolderRefused();
    void sidesBelongToTheirUsers_data();
    void sidesBelongToTheirUsers();
    void exclusiveModeEndsWithLastClose_data();
    void exclusiveModeEndsWithLastClose();

private:
    using Run = SerialTestRig::Run;

    // The pair folder, the working directory and the environment of each test function.
    QScopedPointer<SerialTestRig> m_rig;
};

void TestSerialTools::initTestCase()
{
    // As root the tools' default folder is /run/lumenbridge-serial: this test's own /run, never the machine's.
    if (geteuid() == 0) {
        QVERIFY(SerialTestRig::usePrivateRun());
    }
}

void TestSerialTools::init()
{
    m_rig.reset(new SerialTestRig);
    QVERIFY(m_rig->isValid());
}

void TestSerialTools::cleanup()
{
    // The rig ends every holder this test made, so no process outlives the test.
    m_rig.reset();
}

void TestSerialTools::pairCarriesDataBothWays()
{
    const Run installed = m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"});
    QCOMPARE(installed.exitCode, 0);
    QCOMPARE(installed.output, QString("CNCA0 PortName=COM2\nCNCB0 PortName=CNCAORV2\n"));

    const int visible = m_rig->openSide("COM2");
    const int hidden = m_rig->openSide("CNCAORV2");
    QVERIFY(visible >= 0);
    QVERIFY(hidden >= 0);

    // Bytes a terminal would rewrite (CR, NUL, ^C) must pass unchanged.
    const QByteArray out("AT\r\n\x00\x03", 6);
    QCOMPARE(write(visible, out.constData(), size_t(out.size())), ssize_t(out.size()));
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT((received += SerialTestRig::readAvailable(hidden)), out, 5000);

    QCOMPARE(write(hidden, "OK\r\n", 4), ssize_t(4));
    received.clear();
    QTRY_COMPARE_WITH_TIMEOUT((received += SerialTestRig::readAvailable(visible)), QByteArray("OK\r\n"), 5000);
}

void TestSerialTools::listAndRemoveKeepRegistry()
{
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM3", "PortName=CNCAORV3"}).exitCode, 0);
    QCOMPARE(m_rig->runSetupc({"list"}).output,
             QString("CNCA0 PortName=COM2\nCNCB0 PortName=CNCAORV2\nCNCA1 PortName=COM3\nCNCB1 PortName=CNCAORV3\n"));

    QCOMPARE(m_rig->runSetupc({"remove", "0"}).exitCode, 0);
    QCOMPARE(m_rig->runSetupc({"list"}).output, QString("CNCA1 PortName=COM3\nCNCB1 PortName=CNCAORV3\n"));
    QVERIFY(!QFileInfo::exists(m_rig->deviceFolder() + "/COM2"));
    QVERIFY(!QFileInfo::exists(m_rig->deviceFolder() + "/CNCAORV2"));
    QVERIFY(QFileInfo::exists(m_rig->deviceFolder() + "/COM3"));

    QVERIFY(m_rig->runSetupc({"remove", "0"}).exitCode != 0);
    QVERIFY(m_rig->runSetupc({"remove", "x"}).exitCode != 0);

    // The freed number and names are given out again.
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).output,
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
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM5", "PortName=CNCAORV5"}).exitCode, 0);

    const Run refused = m_rig->runSetupc({"install", first, second});
    QVERIFY(refused.exitCode > 0);
    QVERIFY(!refused.errors.isEmpty());
    QCOMPARE(m_rig->runSetupc({"list"}).output, QString("CNCA0 PortName=COM5\nCNCB0 PortName=CNCAORV5\n"));
    QVERIFY(!QFileInfo::exists(m_rig->deviceFolder() + "/COM9"));
}

void TestSerialTools::concurrentInstallsGetDistinctNumbers()
{
    constexpr int installs = 6;
    QList<QProcess *> processes;
    for (int i = 0; i < installs; ++i) {
        auto *process = new QProcess(this);
        process->start(SETUPC_PATH,
                       {"install", QString("PortName=COM%1").arg(10 + i), QString("PortName=CNCAORV%1").arg(10 + i)});
        processes.append(process);
    }
    for (QProcess *process : qAsConst(processes)) {
        QVERIFY(process->waitForFinished(20000));
        QCOMPARE(process->exitCode(), 0);
        delete process;
    }
    const QString listed = m_rig->runSetupc({"list"}).output;
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
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    QFile registry(m_rig->deviceFolder() + "/pairs");
    QVERIFY(registry.open(QIODevice::ReadOnly));
    const QList<QByteArray> fields = registry.readAll().trimmed().split(' ');
    QCOMPARE(fields.size(), 4);
    const pid_t holder = fields.at(1).toInt();
    QVERIFY(holder > 0);
    QCOMPARE(::kill(holder, SIGKILL), 0);

    QTRY_COMPARE_WITH_TIMEOUT(m_rig->runSetupc({"list"}).output, QString(), 10000);
    QVERIFY(!QFileInfo::exists(m_rig->deviceFolder() + "/COM2"));
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
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
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM20", "PortName=CNCAORV20"}).exitCode, 0);
    const Run busy = m_rig->runSetupc({"busynames", pattern});
    QCOMPARE(busy.exitCode, 0);
    QCOMPARE(busy.output, expected);
}

void TestSerialTools::bridgeRelaysAndEndsWithEitherSide_data()
{
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("killed");
    QTest::newRow("peer closes the connection") << true << "127.0.0.1" << false;
    QTest::newRow("pair is removed") << false << "127.0.0.1" << false;
    // A device on loopback is known by address and port; the bridge goes to the address.
    QTest::newRow("host given with a port") << true << "127.0.0.1:1" << false;
    QTest::newRow("bridge killed: its connection is reset") << false << "127.0.0.1" << true;
}

void TestSerialTools::bridgeRelaysAndEndsWithEitherSide()
{
    QFETCH(bool, peerCloses);
    QFETCH(QString, host);
    QFETCH(bool, killed);
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);

    QTcpServer echo;
    QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
    QPointer<QTcpSocket> peer;
    connect(&echo, &QTcpServer::newConnection, this, [&] {
        peer = echo.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer, [&] { peer->write(peer->readAll()); });
    });

    QProcess bridge;
    bridge.start(COM2TCP_PATH, {"//./CNCAORV2", host, QString::number(echo.serverPort())});
    QVERIFY(bridge.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(peer, 5000);

    const int visible = m_rig->openSide("COM2");
    QVERIFY(visible >= 0);
    QCOMPARE(write(visible, "ping\r\n", 6), ssize_t(6));
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT((received += SerialTestRig::readAvailable(visible)), QByteArray("ping\r\n"), 5000);

    if (killed) {
        // However the bridge ends, nothing it had not sent yet can still reach the device later.
        bridge.kill();
        QVERIFY(bridge.waitForFinished(5000));
        char byte;
        const ssize_t n = recv(int(peer->socketDescriptor()), &byte, 1, MSG_DONTWAIT);
        const int error = errno;
        QCOMPARE(n, ssize_t(-1));
        QCOMPARE(error, ECONNRESET);
        return;
    }
    QSignalSpy finished(&bridge, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (peerCloses) {
        peer->close();
    } else {
        QCOMPARE(m_rig->runSetupc({"remove", "0"}).exitCode, 0);
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
    QTest::addColumn<bool>("holderKilled");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no such port") << "//./CNCAORV7" << true << false << 6;
    QTest::newRow("the visible side") << "//./COM2" << true << false << 6;
    QTest::newRow("nobody listening") << "//./CNCAORV2" << false << false << 3;
    // The links of a holder killed outright stay, naming a number the kernel hands out again.
    QTest::newRow("holder killed, its number another user's terminal") << "//./CNCAORV2" << true << true << 6;
}

void TestSerialTools::bridgeFailsWithoutPortOrPeer()
{
    QFETCH(QString, device);
    QFETCH(bool, listening);
    QFETCH(bool, holderKilled);
    QFETCH(int, exitCode);
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    int stranger = -1;
    if (holderKilled) {
        if (geteuid() != 0) {
            QSKIP("needs root to hand a terminal to another user");
        }
        QVERIFY(m_rig->killHolderOf("CNCAORV2"));
        QVERIFY(QTest::qWaitFor([&] { return (stranger = m_rig->takeTerminalNumber("CNCAORV2")) >= 0; }, 10000));
    }

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.serverPort();
    if (!listening) {
        server.close();
    }
    QProcess bridge;
    bridge.start(COM2TCP_PATH, {device, "127.0.0.1", QString::number(port)});
    QVERIFY(bridge.waitForFinished(10000));
    QCOMPARE(bridge.exitCode(), exitCode);
    QCOMPARE(bridge.readAllStandardError().count('\n'), 1);
    if (stranger >= 0) {
        // Left as its user had it, not made raw for a bridge.
        const int terminal = ioctl(stranger, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios line = {};
        QVERIFY(terminal >= 0 && tcgetattr(terminal, &line) == 0);
        close(terminal);
        QVERIFY(line.c_lflag & ICANON);
        QVERIFY(!server.waitForNewConnection(0));
    }
}

void TestSerialTools::nothingWaitsForTheNextUser_data()
{
    QTest::addColumn<bool>("fromDevice"); // the stale line: the device's, else the port user's
    QTest::addColumn<bool>("bridgeBefore");
    QTest::newRow("port user writes before the first bridge") << false << false;
    QTest::newRow("port user writes between two bridges") << false << true;
    QTest::newRow("device sends while nobody has the port open") << true << true;
}

// What one end of a pair sends while nobody is at the other end is dropped, as on a cable with nothing at its other
// end, and never reaches whoever comes next. Behind the stale line comes a megabyte, which only goes through if the
// holder takes it and drops it; by then the line, ahead of it, is gone.
void TestSerialTools::nothingWaitsForTheNextUser()
{
    QFETCH(bool, fromDevice);
    QFETCH(bool, bridgeBefore);
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    const QByteArray stale = QByteArray(fromDevice ? "LATE-REPLY\n" : "STALE-COMMAND-1\n") + QByteArray(megabyte, '\0');
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    QByteArray deviceReceived;
    connect(&device, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *peer = device.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer, [peer, &deviceReceived] {
            deviceReceived += peer->peek(peer->bytesAvailable());
            peer->write(peer->readAll());
        });
    });
    const QStringList bridgeArguments{"//./CNCAORV2", "127.0.0.1", QString::number(device.serverPort())};
    QSignalSpy connections(&device, &QTcpServer::newConnection);
    if (bridgeBefore) {
        // A bridge that the device ends while nobody has the port open.
        QProcess first;
        first.start(COM2TCP_PATH, bridgeArguments);
        QVERIFY(connections.wait(5000));
        QTcpSocket *peer = device.findChild<QTcpSocket *>();
        if (fromDevice) {
            peer->write(stale);
        }
        peer->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QProcess::NotRunning, transferTimeoutMs);
    }
    const int visible = m_rig->openSide("COM2");
    QVERIFY(visible >= 0);
    QVERIFY(fromDevice || writeAllWaiting(visible, stale, transferTimeoutMs));

    QProcess bridge;
    bridge.start(COM2TCP_PATH, bridgeArguments);
    QVERIFY(connections.wait(5000));
    QVERIFY(SerialTestRig::writeAll(visible, "fresh\n"));
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += SerialTestRig::readAvailable(visible)).contains("fresh\n"), 10000);
    QVERIFY2(!received.contains("STALE") && !received.contains("LATE"), received.left(100).constData());
    QVERIFY2(!deviceReceived.contains("STALE"), deviceReceived.left(100).constData());
}

void TestSerialTools::relayDeliversEverythingBeforeEnding_data()
{
    QTest::addColumn<int>("sender"); // 0: the first side's peer, 1: the second side's
    QTest::addColumn<bool>("halfClose");
    QTest::addColumn<bool>("receiverReads");
    QTest::newRow("first sends 1 MB and closes") << 0 << false << true;
    QTest::newRow("second sends 1 MB and closes") << 1 << false << true;
    QTest::newRow("first sends 1 MB and half-closes") << 0 << true << true;
    QTest::newRow("second sends 1 MB and half-closes") << 1 << true << true;
    // A receiver that takes nothing must not keep the relay forever.
    QTest::newRow("nobody reads: the relay gives up") << 0 << false << false;
}

void TestSerialTools::relayDeliversEverythingBeforeEnding()
{
    QFETCH(int, sender);
    QFETCH(bool, halfClose);
    QFETCH(bool, receiverReads);
    // Each side of the relay is one end of a socket pair; the test holds the other ends.
    int first[2];
    int second[2];
    QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, first), 0);
    QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, second), 0);
    QVERIFY(serialtools::setNonBlocking(first[1]) && serialtools::setNonBlocking(second[0]));
    const int senderFd = sender == 0 ? first[0] : second[1];
    const int receiverFd = sender == 0 ? second[1] : first[0];

    volatile std::sig_atomic_t stop = 0;
    std::atomic<bool> relayEnded{false};
    serialtools::RelayEnd end = serialtools::RelayEnd::Stopped;
    std::thread relayThread([&] {
        end = serialtools::relay(first[1], second[0], &stop, 300);
        close(first[1]);
        close(second[0]);
        relayEnded = true;
    });
    const QByteArray data = payload(receiverReads ? megabyte : 4 * megabyte);
    std::thread writer([&] {
        if (receiverReads) {
            sendAll(senderFd, data);
        } else {
            // Only what fits before everything is full, then the end.
            serialtools::setNonBlocking(senderFd);
            while (send(senderFd, data.constData(), size_t(data.size()), MSG_NOSIGNAL) > 0) {
            }
        }
        shutdown(senderFd, halfClose ? SHUT_WR : SHUT_RDWR);
    });

    const QByteArray received = receiverReads ? receive(receiverFd, 2 * megabyte, transferTimeoutMs) : QByteArray();
    const bool ended = QTest::qWaitFor([&] { return relayEnded.load(); }, transferTimeoutMs);
    if (!ended) {
        // Let a stuck relay go, so that the test fails instead of hanging.
        stop = 1;
        shutdown(first[0], SHUT_RDWR);
        shutdown(second[1], SHUT_RDWR);
    }
    writer.join();
    relayThread.join();
    QVERIFY(ended);
    if (halfClose) {
        // The half-closed peer still hears the end.
        char byte;
        QCOMPARE(read(senderFd, &byte, 1), ssize_t(0));
    }
    close(first[0]);
    close(second[1]);

    QCOMPARE(int(end), int(sender == 0 ? serialtools::RelayEnd::FirstClosed : serialtools::RelayEnd::SecondClosed));
    if (receiverReads) {
        QCOMPARE(received.size(), data.size());
        QVERIFY(received == data);
    }
}

void TestSerialTools::bridgeDeliversEverythingAtClose_data()
{
    QTest::addColumn<bool>("deviceSends");
    QTest::addColumn<bool>("halfClose");
    QTest::newRow("device sends 1 MB and closes") << true << false;
    QTest::newRow("device sends 1 MB and half-closes") << true << true;
    QTest::newRow("port sends 1 MB and closes, then the device") << false << false;
}

void TestSerialTools::bridgeDeliversEverythingAtClose()
{
    QFETCH(bool, deviceSends);
    QFETCH(bool, halfClose);
    QCOMPARE(m_rig->runSetupc({"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);
    const int visible = m_rig->openSide("COM2");
    QVERIFY(visible >= 0);

    // The device: a plain socket, so that the test decides exactly when it closes.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QCOMPARE(bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
    QCOMPARE(listen(listener, 1), 0);
    QCOMPARE(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);

    QProcess bridge;
    bridge.start(COM2TCP_PATH, {"//./CNCAORV2", "127.0.0.1", QString::number(ntohs(address.sin_port))});
    QVERIFY(bridge.waitForStarted(5000));
    pollfd incoming = {listener, POLLIN, 0};
    QCOMPARE(poll(&incoming, 1, 5000), 1);
    const int device = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    QVERIFY(device >= 0);
    // A bridge that stops reading must fail the test, not hang it.
    const timeval sendLimit = {transferTimeoutMs / 1000, 0};
    QCOMPARE(setsockopt(device, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit), 0);

    const QByteArray data = payload(megabyte);
    QByteArray received;
    if (deviceSends) {
        std::thread writer([&] {
            sendAll(device, data);
            shutdown(device, halfClose ? SHUT_WR : SHUT_RDWR);
        });
        received = receive(visible, data.size(), transferTimeoutMs);
        writer.join();
    } else {
        std::thread reader([&] { received = receive(device, data.size(), transferTimeoutMs); });
        const bool written = writeAllWaiting(visible, data, transferTimeoutMs);
        // The port's user closes right after its last write.
        m_rig->closeSide(visible);
        reader.join();
        QVERIFY(written);
        shutdown(device, SHUT_RDWR);
    }
    QCOMPARE(received.size(), data.size());
    QVERIFY(received == data);

    // The device's end ends the bridge; a device that only half-closed hears the bridge close after that.
    QVERIFY(bridge.waitForFinished(10000));
    QCOMPARE(bridge.exitStatus(), QProcess::NormalExit);
    QCOMPARE(bridge.exitCode(), 0);
    if (halfClose) {
        QCOMPARE(receive(device, 1, 5000), QByteArray());
    }
    close(device);
}

// The pair holder is known by the lock it keeps, not by its name: a renamed tool's pairs stay alive.
void TestSerialTools::renamedHolderIsRecognised()
{
    const QString renamed = m_rig->path() + "/pairtool";
    QVERIFY(QFile::copy(SETUPC_PATH, renamed));
    QVERIFY(QFile::setPermissions(renamed, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(SerialTestRig::runTool(renamed, {"install", "PortName=COM2", "PortName=CNCAORV2"}).exitCode, 0);

    const QString pair("CNCA0 PortName=COM2\nCNCB0 PortName=CNCAORV2\n");
    QCOMPARE(m_rig->runSetupc({"list"}).output, pair);
    QCOMPARE(SerialTestRig::runTool(renamed, {"list"}).output, pair);
    const int visible = m_rig->openSide("COM2");
    const int hidden = m_rig->openSide("CNCAORV2");
    QVERIFY(visible >= 0 && hidden >= 0);
    QCOMPARE(write(visible, "alive\n", 6), ssize_t(6));
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT((received += SerialTestRig::readAvailable(hidden)), QByteArray("alive\n"), 5000);

    // Removing it through the tool of the usual name ends the renamed holder.
    QFile registry(m_rig->deviceFolder() + "/pairs");
    QVERIFY(registry.open(QIODevice::ReadOnly));
    const qint64 holder = registry.readAll().split(' ').value(1).toLongLong();
    QVERIFY(holder > 0);
    QVERIFY(ProcessTable::isLive(holder));
    QCOMPARE(m_rig->runSetupc({"remove", "0"}).exitCode, 0);
    QVERIFY(!ProcessTable::isLive(holder));
    QCOMPARE(m_rig->runSetupc({"list"}).output, QString());
    QVERIFY(!QFileInfo::exists(m_rig->deviceFolder() + "/COM2"));
}

void TestSerialTools::sidesBelongToTheirUsers_data()
{
    QTest::addColumn<QByteArray>("sudoUid"); // null: not set
    QTest::addColumn<QString>("user");       // who tries, from the links folder
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("allowed");

    const QString open("exec 3<>COM2 && printf ping >&3 && head -c 4 <&3");
    QTest::newRow("invoking user opens the visible side") << QByteArray("65534") << "65534" << open << true;
    QTest::newRow("invoking user cannot open the hidden side") << QByteArray("65534") << "65534"
                                                               << "exec 3<>CNCAORV2" << false;
    QTest::newRow("invoking user cannot put a link into the folder") << QByteArray("65534") << "65534"
                                                                     << "ln -s /dev/null COM9" << false;
    QTest::newRow("another user cannot open the visible side") << QByteArray("65534") << "1" << open << false;
    QTest::newRow("no invoking user: the visible side is root's") << QByteArray() << "65534" << open << false;
    QTest::newRow("an id the account database does not know")
        << QByteArray("3999999999") << "3999999999" << open << false;
}

// Run as root for a user, the pair's visible side is that user's alone; the hidden side and the folder stay root's.
void TestSerialTools::sidesBelongToTheirUsers()
{
    QFETCH(QByteArray, sudoUid);
    QFETCH(QString, user);
    QFETCH(QString, command);
    QFETCH(bool, allowed);
    if (geteuid() != 0) {
        QSKIP("needs root to become another user");
    }
    const QProcessEnvironment env = startedBySudo(sudoUid);
    QCOMPARE(SerialTestRig::runTool(SETUPC_PATH, {"install", "PortName=COM2", "PortName=CNCAORV2"}, env).exitCode, 0);
    const auto removePair = qScopeGuard([&env] { SerialTestRig::runTool(SETUPC_PATH, {"remove", "0"}, env); });
    const QString folder("/run/lumenbridge-serial");
    // Not even the tty group may write into the bridge.
    QCOMPARE(QFileInfo(folder + "/CNCAORV2").groupId(), uint(0));
    for (const char *name : {"/COM2", "/CNCAORV2", "/.lock", "/.holder-0", "/pairs"}) {
        QCOMPARE(QFileInfo(folder + name).permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());
    }

    const int hidden = ::open(qPrintable(folder + "/CNCAORV2"), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(hidden >= 0);
    const auto closeHidden = qScopeGuard([hidden] { close(hidden); });
    QProcess asUser;
    asUser.setWorkingDirectory(folder);
    asUser.start("setpriv", {"--reuid=" + user, "--regid=" + user, "--clear-groups", "sh", "-c", command});
    if (allowed) {
        QCOMPARE(receive(hidden, 4, 5000), QByteArray("ping"));
        QCOMPARE(write(hidden, "pong", 4), ssize_t(4));
    }
    QVERIFY(asUser.waitForFinished(5000));
    QCOMPARE(asUser.readAllStandardOutput(), allowed ? QByteArray("pong") : QByteArray());
    QCOMPARE(asUser.readAllStandardError().contains("Permission denied"), !allowed);
    QVERIFY(!QFileInfo(folder + "/COM9").isSymLink());
}

void TestSerialTools::exclusiveModeEndsWithLastClose_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("client killed while exclusive") << true;
    QTest::newRow("client ended while exclusive") << false;
}

// A client that set exclusive mode and went, however it went, locks nobody out: as on a real serial device the mode
// ends with the port's last close. Only another user can show it: root ignores the mode.
void TestSerialTools::exclusiveModeEndsWithLastClose()
{
    QFETCH(bool, killed);
    if (geteuid() != 0) {
        QSKIP("needs root to become another user");
    }
    const QProcessEnvironment env = startedBySudo("65534");
    QCOMPARE(SerialTestRig::runTool(SETUPC_PATH, {"install", "PortName=COM2", "PortName=CNCAORV2"}, env).exitCode, 0);
    const auto removePair = qScopeGuard([&env] { SerialTestRig::runTool(SETUPC_PATH, {"remove", "0"}, env); });
    const QByteArray port("/run/lumenbridge-serial/COM2");
    constexpr uid_t user = 65534;

    QCOMPARE(openAsUser(port, user, true, killed), 0);
    QTRY_COMPARE_WITH_TIMEOUT(openAsUser(port, user, false, false), 0, 5000);
}

void TestSerialTools::pairFolderRefused_data()
{
    QTest::addColumn<QStringList>("scene");
    QTest::addColumn<QString>("runtime");    // XDG_RUNTIME_DIR, below the scene
    QTest::addColumn<QString>("testFolder"); // LUMENBRIDGE_SERIAL_DIR when not empty
    QTest::addColumn<QString>("untouched");  // a folder nothing may be created in
    QTest::addColumn<QString>("links");      // where the links go, below the scene or absolute; empty: refused

    const QString run("/run/lumenbridge-serial");
    QTest::newRow("private runtime folder") << QStringList{"d rt 0700"} << "rt"
                                            << "" << QString() << "rt/lumenbridge-serial";
    // Root started through sudo may keep the user's runtime folder: not root's to write in, so passed over.
    QTest::newRow("runtime folder owned by another user") << QStringList{"d rt 0700", "o rt"} << "rt"
                                                          << ""
                                                          << "rt" << run;
    QTest::newRow("runtime folder writable by others") << QStringList{"d rt 0777"} << "rt"
                                                       << ""
                                                       << "rt" << QString();
    QTest::newRow("runtime folder is another user's link in a shared folder")
        << QStringList{"d shared 01777", "d target 0700", "l shared/rt /target", "o shared/rt"} << "shared/rt"
        << ""
        << "target" << run;
    QTest::newRow("pair folder is a link")
        << QStringList{"d rt 0700", "d target 0700", "l rt/lumenbridge-serial /target"} << "rt"
        << ""
        << "target" << QString();
    QTest::newRow("pair folder of the tests is a link") << QStringList{"d target 0700", "l serial /target"} << ""
                                                        << "serial"
                                                        << "target" << QString();
}

// Both tools run as root: a pair folder another user could change is refused, and nothing is made in it; a runtime
// folder that is not root's is passed over for /run.
void TestSerialTools::pairFolderRefused()
{
    QFETCH(QStringList, scene);
    QFETCH(QString, runtime);
    QFETCH(QString, testFolder);
    QFETCH(QString, untouched);
    QFETCH(QString, links);
    if (geteuid() != 0) {
        QSKIP("needs root to hand folders to another user");
    }
    const QString root = m_rig->path() + "/scene";
    QVERIFY(QDir().mkpath(root));
    QVERIFY(SerialTestRig::buildScene(root, scene));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("LUMENBRIDGE_SERIAL_DIR");
    env.remove("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        env.insert("XDG_RUNTIME_DIR", root + "/" + runtime);
    }
    if (!testFolder.isEmpty()) {
        env.insert("LUMENBRIDGE_SERIAL_DIR", root + "/" + testFolder);
    }
    const QStringList before = untouched.isEmpty() ? QStringList() : SerialTestRig::entries(root + "/" + untouched);

    const Run installed = SerialTestRig::runTool(SETUPC_PATH, {"install", "PortName=COM2", "PortName=CNCAORV2"}, env);
    QProcess bridge;
    bridge.setProcessEnvironment(env);
    bridge.start(COM2TCP_PATH, {"//./CNCAORV2", "127.0.0.1", "1"});
    QVERIFY(bridge.waitForFinished(10000));
    const QString bridgeErrors = QString::fromLocal8Bit(bridge.readAllStandardError());
    if (links.isEmpty()) {
        QCOMPARE(installed.exitCode, 3);
        QVERIFY2(installed.errors.startsWith("refusing the pair folder "), qPrintable(installed.errors));
        QVERIFY2(bridgeErrors.startsWith("refusing the pair folder "), qPrintable(bridgeErrors));
    } else {
        QCOMPARE(installed.exitCode, 0);
        const QString folder = links.startsWith('/') ? links : root + "/" + links;
        // Others' programs reach the ports; only root changes the folder.
        QCOMPARE(HostileFolder::modeOf(folder), 0755);
        QCOMPARE(QFileInfo(folder).ownerId(), uint(0));
        QVERIFY(QFileInfo(folder + "/COM2").isSymLink());
        QCOMPARE(SerialTestRig::runTool(SETUPC_PATH, {"remove", "0"}, env).exitCode, 0);
    }
    if (!untouched.isEmpty()) {
        QCOMPARE(SerialTestRig::entries(root + "/" + untouched), before);
    }
    QVERIFY(bridge.exitCode() != 0);
}

QTEST_GUILESS_MAIN(TestSerialTools)
#include "TestSerialTools.moc"

#include <QtTest>

#include "core/Log.h"
#include "tests/support/LogCapture.h"
#include "vpn/OrvVpn.h"
#include "vpn/OrvVpnSignals.h"
#include "vpn/OrvVpnThread.h"
#include "vpn/OrvVpnTransportStats.h"
#include "vpn/engine/ClientApi.h"

class TestOrvVpnThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void runLogs_data();
    void runLogs();
    void countersBeforeAnyStatistics();
    void stopBeforeRunIsAccepted();
    void relayDeliversInOrderOnGuiThread();
};

namespace
{
QStringList runLines(const LogCapture &log, QList<int> *types = nullptr)
{
    QStringList lines;
    for (const LogCapture::Line &line : log.lines()) {
        if (line.text.startsWith(QLatin1String("OrvVpnThread::run(): "))) {
            lines.append(line.text.mid(21));
            if (types) {
                types->append(line.type);
            }
        }
    }
    return lines;
}
} // namespace

void TestOrvVpnThread::initTestCase()
{
    installConnectionWarningCheck();
    debugLevel = 4;
}

void TestOrvVpnThread::cleanup()
{
    lumen::engine::set_daemon_path(std::string());
}

void TestOrvVpnThread::runLogs_data()
{
    QTest::addColumn<QString>("daemon");
    QTest::addColumn<bool>("configured");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("relaySignals"); // connecting + disconnected seen on the relay

    QTest::newRow("daemon ends cleanly") << "/bin/true" << true
                                         << QStringList{"\"Connecting...\"", "\"Worker finished\""} << 2;
    QTest::newRow("daemon fails") << "/bin/false" << true
                                  << QStringList{"\"Connecting...\"",
                                                 "\"Connect error\"",
                                                 "\"Error status: DAEMON_FAILED\"",
                                                 "\"Error message: the daemon ended with exit code 1\"",
                                                 "\"Worker finished\""}
                                  << 2;
    QTest::newRow("daemon missing") << "/nonexistent/openvpn" << true
                                    << QStringList{"\"Connecting...\"",
                                                   "\"Connect error\"",
                                                   "\"Error status: DAEMON_START_FAILED\"",
                                                   "\"Error message: cannot run /nonexistent/openvpn: No such file or "
                                                   "directory\"",
                                                   "\"Worker finished\""}
                                    << 0;
    QTest::newRow("no configuration") << "/bin/true" << false
                                      << QStringList{"\"Connecting...\"",
                                                     "\"Connect error\"",
                                                     "\"Error status: CONFIG_ERROR\"",
                                                     "\"Error message: no usable configuration: eval_config has not "
                                                     "accepted a profile\"",
                                                     "\"Worker finished\""}
                                      << 0;
}

void TestOrvVpnThread::runLogs()
{
    QFETCH(QString, daemon);
    QFETCH(bool, configured);
    QFETCH(QStringList, lines);
    QFETCH(int, relaySignals);

    lumen::engine::set_daemon_path(daemon.toStdString());
    OrvVpnThread worker;
    if (configured) {
        lumen::engine::Config config;
        config.content = "client\ndev tun\nremote 127.0.0.1 1194\n";
        QVERIFY(!worker.client.eval_config(config).error);
    }
    QSignalSpy connecting(orvVpnSignals, &OrvVpnSignals::connecting);
    QSignalSpy disconnected(orvVpnSignals, &OrvVpnSignals::disconnected);
    LogCapture log;
    worker.start();
    QVERIFY(worker.wait(30000));

    QList<int> types;
    QCOMPARE(runLines(log, &types), lines);
    // Only the first and last lines are debug lines; the error lines are warnings.
    for (int i = 0; i < types.size(); ++i) {
        const bool edge = i == 0 || i == types.size() - 1;
        QCOMPARE(types.at(i), edge ? int(QtDebugMsg) : int(QtWarningMsg));
    }
    QCOMPARE(connecting.count() + disconnected.count(), relaySignals);
    QCOMPARE(disconnected.count(), relaySignals / 2);
}

void TestOrvVpnThread::countersBeforeAnyStatistics()
{
    OrvVpnThread worker;
    const std::unique_ptr<OrvVpnTransportStats> stats(worker.getTransportStats());
    QVERIFY(stats);
    QVERIFY(!stats->parent());
    QCOMPARE(stats->bytesIn, 0);
    QCOMPARE(stats->bytesOut, 0);
    QCOMPARE(stats->packetsIn, 0);
    QCOMPARE(stats->packetsOut, 0);
    QCOMPARE(stats->lastPacketReceived, -1);
    QCOMPARE(OrvVpnTransportStats().lastPacketReceived, 0);
}

void TestOrvVpnThread::stopBeforeRunIsAccepted()
{
    // A stop that comes before the worker runs must still end it: the tunnel would otherwise come up unowned.
    lumen::engine::set_daemon_path("/bin/sleep");
    OrvVpnThread worker;
    lumen::engine::Config config;
    config.content = "client\ndev tun\nremote 127.0.0.1 1194\n";
    QVERIFY(!worker.client.eval_config(config).error);
    LogCapture log;
    QVERIFY(worker.stop());
    QCOMPARE(log.texts(), (QStringList{"OrvVpnThread::stop(): \"Stopping...\"", "OrvVpnThread::stop(): \"Stopped\""}));
    QSignalSpy connecting(orvVpnSignals, &OrvVpnSignals::connecting);
    QSignalSpy disconnected(orvVpnSignals, &OrvVpnSignals::disconnected);
    worker.start();
    QVERIFY(worker.wait(30000));
    QCOMPARE(connecting.count(), 0);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(runLines(log), (QStringList{"\"Connecting...\"", "\"Worker finished\""}));
}

void TestOrvVpnThread::relayDeliversInOrderOnGuiThread()
{
    OrvVpn vpn;
    vpn.deviceId = 5;
    QStringList seen;
    QList<QThread *> threads;
    connect(&vpn, &OrvVpn::onConnecting, this, [&](int id) {
        seen << QStringLiteral("connecting %1 status %2").arg(id).arg(vpn.getStatus());
        threads << QThread::currentThread();
    });
    connect(&vpn, &OrvVpn::onConnected, this, [&](int id) {
        seen << QStringLiteral("connected %1 status %2").arg(id).arg(vpn.getStatus());
        threads << QThread::currentThread();
    });

    QThread *producer = QThread::create([] {
        OrvVpnClient client;
        lumen::engine::Event ev;
        ev.name = "CONNECTING";
        client.event(ev);
        ev.name = "CONNECTED";
        client.event(ev);
    });
    producer->start();
    QVERIFY(producer->wait(5000));
    delete producer;
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 2, 5000);
    QCOMPARE(seen, (QStringList{"connecting 5 status 2", "connected 5 status 3"}));
    QCOMPARE(threads, (QList<QThread *>{QThread::currentThread(), QThread::currentThread()}));
}

QTEST_GUILESS_MAIN(TestOrvVpnThread)
#include "TestOrvVpnThread.moc"

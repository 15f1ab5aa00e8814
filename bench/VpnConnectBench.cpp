// Time from OrvVpn::start to onConnected against the bare daemon's time from its start to CONNECTED, same
// profile and server, median of 10 each. Needs root; runs in namespaces of its own (see TestTunnel).
#include <algorithm>
#include <cstdio>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include "bench/BareDaemon.h"
#include "core/Log.h"
#include "tools/testtunnel/TestTunnel.h"
#include "vpn/OrvVpn.h"
#include "vpn/OrvVpnClient.h"
#include "vpn/engine/ClientApi.h"

namespace
{
constexpr int runs = 10;
constexpr int timeoutMs = 30000;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return (values[runs / 2 - 1] + values[runs / 2]) / 2;
}

// Waits for a signal with a bound; the benchmark, unlike the tests, may spin a local loop.
template <typename Signal>
bool waitFor(OrvVpn &vpn, Signal signal)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, [&loop] { loop.exit(1); });
    QObject::connect(&vpn, signal, &loop, [&loop] { loop.exit(0); });
    return loop.exec() == 0;
}

double ourLayerMs(TestTunnel &server, const QString &profile)
{
    OrvVpn vpn;
    vpn.setConfigPath(profile);
    vpn.setCredentials(server.user(), server.password());
    QElapsedTimer timer;
    timer.start();
    if (!vpn.start() || !waitFor(vpn, &OrvVpn::onConnected)) {
        return -1;
    }
    const double elapsed = timer.nsecsElapsed() / 1e6;
    vpn.stop();
    waitFor(vpn, &OrvVpn::onDisconnected);
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    const QString isolation = TestTunnel::isolateProcess();
    QCoreApplication app(argc, argv);
    if (!isolation.isEmpty() || !TestTunnel::unavailableReason().isEmpty()) {
        std::fprintf(stderr, "VpnConnectBench: %s\n", qPrintable(isolation + TestTunnel::unavailableReason()));
        return 77;
    }
    debugLevel = 0;
    // The library's own lines bypass the level; they would only slow the measured path down.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    TestTunnel server;
    if (!server.start()) {
        std::fprintf(stderr, "VpnConnectBench: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QTemporaryDir dir;
    const QString profile = server.writeProfile(dir.path());

    // The bare daemon reads the same merged profile, with the credentials inline instead of over management.
    const QString bareProfile = dir.filePath(QStringLiteral("bare.ovpn"));
    QFile bare(bareProfile);
    if (!bare.open(QIODevice::WriteOnly)) {
        return 1;
    }
    bare.write(OrvVpnClient::readProfile(profile).toUtf8() + "<auth-user-pass>\n" + server.user().toUtf8() + '\n'
               + server.password().toUtf8() + "\n</auth-user-pass>\n");
    bare.close();

    std::vector<double> ours;
    std::vector<double> daemon;
    for (int i = 0; i < runs; ++i) {
        const double a = ourLayerMs(server, profile);
        const double b = bareDaemonMs(bareProfile, timeoutMs);
        if (a < 0 || b < 0) {
            std::fprintf(stderr,
                         "VpnConnectBench: run %d did not connect (%s)\n%s\n",
                         i + 1,
                         a < 0 ? "our layer" : "bare daemon",
                         qPrintable(server.serverLog().right(3000)));
            return 1;
        }
        ours.push_back(a);
        daemon.push_back(b);
    }
    const double ourMedian = median(ours);
    const double daemonMedian = median(daemon);
    std::printf("OrvVpn::start -> onConnected     median of %d: %8.1f ms\n", runs, ourMedian);
    std::printf("bare daemon start -> CONNECTED   median of %d: %8.1f ms\n", runs, daemonMedian);
    std::printf("ratio: %.3f (target: at most 1.10)\n", ourMedian / daemonMedian);
    return 0;
}

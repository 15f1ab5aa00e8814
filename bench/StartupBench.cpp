// Start-up, memory and connect of the program against their anchors, measured side by side in one run:
//   start-up  process start to the login screen shown (StartupProbe) against a minimal web view showing an empty
//             page from its resources (MinimalView): the web engine's floor;
//   memory    after login with the domain list shown (StartupProbe against the test portal) against the same
//             minimal program: resident size of the main process, and the proportional size of the whole process
//             tree (the engine's render and helper processes included);
//   connect   a click on a device to onConnected through a real tunnel against the bare daemon's start to
//             CONNECTED with the same profile (StartupProbe --connect, root only).
// Medians of repeated runs, the two sides alternating. Prints one "row" line per figure, tab-separated:
//   row <what> <figure> <unit> <anchor> <anchor figure>
#include <cstdio>
#include <vector>

#include <QCoreApplication>
#include <QProcess>

#include <unistd.h>

#include "bench/BenchProcess.h"

using namespace bench;

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const int runs = std::max(1, arguments.value(1, QStringLiteral("7")).toInt());
    const int connectRuns = std::max(0, arguments.value(2, QStringLiteral("7")).toInt());
    const QString probe = QStringLiteral(PROBE_PATH);
    const QString minimal = QStringLiteral(MINIMAL_VIEW_PATH);

    std::vector<double> probeStart, permissionStart, minimalComplete, minimalStart, minimalRss, minimalPss, loginRss,
        loginPss, domainsRss, domainsPss;
    // One unmeasured start of each warms the disk cache for both.
    runUntilReady(minimal, {});
    runUntilReady(probe, {QStringLiteral("--until"), QStringLiteral("login")});
    for (int i = 0; i < runs; ++i) {
        const Run floor = runUntilReady(minimal, {});
        const Run login = runUntilReady(probe, {QStringLiteral("--until"), QStringLiteral("login")});
        const Run asked = runUntilReady(probe, {QStringLiteral("--until"), QStringLiteral("permission")});
        if (floor.readyMs < 0 || login.readyMs < 0 || asked.momentMs < 0 || floor.momentMs < 0) {
            return 1;
        }
        permissionStart.push_back(asked.momentMs);
        minimalComplete.push_back(floor.momentMs);
        minimalStart.push_back(floor.readyMs);
        minimalRss.push_back(double(floor.memory.mainRssKb) / 1024);
        minimalPss.push_back(double(floor.memory.treePssKb) / 1024);
        probeStart.push_back(login.readyMs);
        loginRss.push_back(double(login.memory.mainRssKb) / 1024);
        loginPss.push_back(double(login.memory.treePssKb) / 1024);
    }
    // Both timed to the moment on the page's own clock: a page busy drawing would answer a poll late.
    printRow("start-up: process start to the page's permission question",
             median(permissionStart),
             "ms",
             "minimal view: empty page complete",
             median(minimalComplete));
    printRow("start-up: process start to login screen",
             median(probeStart),
             "ms",
             "minimal view: empty page",
             median(minimalStart));

    QProcess portal;
    quint16 port = 0;
    startPortal(
        portal, QStringLiteral(TESTPORTAL_PATH), {QStringLiteral("--data"), QStringLiteral(PORTAL_DATA_PATH)}, &port);
    if (port == 0) {
        std::fprintf(stderr, "StartupBench: the test portal did not start\n");
        return 1;
    }
    // The memory anchor is measured beside each run, as the machine's other processes change what pages are shared.
    std::vector<double> besideListRss, besideListPss;
    for (int i = 0; i < runs; ++i) {
        const Run floor = runUntilReady(minimal, {});
        const Run listed = runUntilReady(probe,
                                         {QStringLiteral("--until"),
                                          QStringLiteral("domains"),
                                          QStringLiteral("--portal-port"),
                                          QString::number(port),
                                          QStringLiteral("--username"),
                                          QStringLiteral("demo"),
                                          QStringLiteral("--password"),
                                          QStringLiteral("demo-password")});
        if (listed.readyMs < 0 || floor.readyMs < 0) {
            return 1;
        }
        besideListRss.push_back(double(floor.memory.mainRssKb) / 1024);
        besideListPss.push_back(double(floor.memory.treePssKb) / 1024);
        domainsRss.push_back(double(listed.memory.mainRssKb) / 1024);
        domainsPss.push_back(double(listed.memory.treePssKb) / 1024);
    }
    portal.terminate();
    portal.waitForFinished();
    printRow("memory: main process RSS, domain list shown",
             median(domainsRss),
             "MiB",
             "minimal view: main RSS",
             median(besideListRss));
    printRow("memory: process tree PSS, domain list shown",
             median(domainsPss),
             "MiB",
             "minimal view: tree PSS",
             median(besideListPss));
    printRow("memory: process tree PSS, login screen",
             median(loginPss),
             "MiB",
             "minimal view: tree PSS",
             median(minimalPss));

    if (connectRuns == 0) {
        return 0;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "StartupBench: connect skipped (needs root)\n");
        return 0;
    }
    QProcess connect;
    connect.setProcessChannelMode(QProcess::SeparateChannels);
    connect.start(probe, {QStringLiteral("--connect"), QString::number(connectRuns)});
    if (!connect.waitForFinished(connectRuns * 120000)) {
        connect.kill();
        connect.waitForFinished();
    }
    std::vector<double> clicks, daemons;
    const QList<QByteArray> lines = connect.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3 && fields.at(0) == "connect") {
            clicks.push_back(fields.at(1).toDouble());
            daemons.push_back(fields.at(2).toDouble());
        }
    }
    if (connect.exitCode() != 0 || int(clicks.size()) != connectRuns) {
        std::fprintf(stderr,
                     "StartupBench: connect failed (exit %d)\n%s\n",
                     connect.exitCode(),
                     connect.readAllStandardError().right(4000).constData());
        return 1;
    }
    printRow("connect: click to onConnected", median(clicks), "ms", "bare daemon: start to CONNECTED", median(daemons));
    return 0;
}

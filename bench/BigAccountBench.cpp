// A big account in the page against the same program with a small one, measured side by side in one run. The test
// portal serves generated accounts of 100, 1,000 and 5,000 domains of 10 to 50 devices each, and every domain-list
// reply changes the online state of a tenth of the devices. For each size StartupProbe logs in through the page and
// reports the login click to the list drawn; opens and closes a domain and scrolls the list with the wheel; then asks
// for reloads one after the other and reports the page's longest stall in each, a script's round trip after it, the
// slowest answer to the page's calls meanwhile and the main process's peak memory; the bench reads the memory once
// the reloads are done. Separate runs log out and in again and read the process tree's memory after each logout.
// Prints one "row" line per figure, tab-separated: row <what> <figure> <unit> <anchor> <anchor figure>
//   BigAccountBench [runs] [runs at 5,000 domains]
#include <cstdio>
#include <vector>

#include <QCoreApplication>
#include <QProcess>

#include "bench/BenchProcess.h"

using namespace bench;

namespace
{
constexpr int reloadsPerRun = 3;
// The program reloads the list every 30 s.
constexpr double reloadPeriodMs = 30000;
constexpr int bigRunTimeoutMs = 30 * 60 * 1000;
// The goals' bounds.
constexpr double scrollGapBoundMs = 200;
constexpr double hugeScrollGapBoundMs = 1000;
constexpr double pageCallBoundMs = 300;
// The first logout, then five more log-in and log-out cycles.
constexpr int logoutsPerRun = 6;

struct Account
{
    QProcess portal;
    quint16 port = 0;
    double replyMiB = 0;
    std::vector<double> drawn, stall, answer, rows, rssGrowth, treePss, open, close, scroll, call, peakGrowth;
    std::vector<double> loginPss, firstLogoutPss, lastLogoutPss;
};

bool startAccount(Account &account, int domains)
{
    const QByteArray output = startPortal(account.portal,
                                          QStringLiteral(TESTPORTAL_PATH),
                                          {QStringLiteral("--generate-domains"), QString::number(domains)},
                                          &account.port,
                                          "reply-bytes");
    account.replyMiB = outputValue(output, "reply-bytes") / (1024 * 1024);
    if (account.port == 0 || account.replyMiB <= 0) {
        std::fprintf(stderr, "BigAccountBench: the portal with %d domains did not start\n", domains);
        return false;
    }
    return true;
}

Run runProbe(const Account &account, const QStringList &options)
{
    return runUntilReady(QStringLiteral(PROBE_PATH),
                         QStringList{QStringLiteral("--until"),
                                     QStringLiteral("domains"),
                                     QStringLiteral("--portal-port"),
                                     QString::number(account.port),
                                     QStringLiteral("--username"),
                                     QStringLiteral("demo"),
                                     QStringLiteral("--password"),
                                     QStringLiteral("demo-password")}
                             + options,
                         bigRunTimeoutMs);
}

bool measure(Account &account)
{
    const Run run =
        runProbe(account, {QStringLiteral("--interact"), QStringLiteral("--reloads"), QString::number(reloadsPerRun)});
    if (run.readyMs < 0) {
        return false;
    }
    double longest = 0;
    double slowestAnswer = 0;
    double slowestCall = 0;
    double peakKb = 0;
    for (const QByteArray &line : run.output.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 5 && fields.at(0) == "reload") {
            longest = std::max(longest, fields.at(1).toDouble());
            slowestAnswer = std::max(slowestAnswer, fields.at(2).toDouble());
            slowestCall = std::max(slowestCall, fields.at(3).toDouble());
            peakKb = std::max(peakKb, fields.at(4).toDouble());
        }
    }
    const double loginRssKb = outputValue(run.output, "login-rss");
    account.open.push_back(outputValue(run.output, "open"));
    account.close.push_back(outputValue(run.output, "close"));
    account.scroll.push_back(outputValue(run.output, "scroll"));
    account.call.push_back(slowestCall);
    account.peakGrowth.push_back((peakKb - loginRssKb) / 1024);
    account.drawn.push_back(outputValue(run.output, "drawn"));
    account.rows.push_back(outputValue(run.output, "rows"));
    account.stall.push_back(longest);
    account.answer.push_back(slowestAnswer);
    account.rssGrowth.push_back(double(run.memory.mainRssKb - qint64(loginRssKb)) / 1024);
    account.treePss.push_back(double(run.memory.treePssKb) / 1024);
    return true;
}

// The tree's memory at the first login screen, after the first logout and after the last of the cycles.
bool measureLogouts(Account &account)
{
    const Run run = runProbe(account, {QStringLiteral("--logouts"), QString::number(logoutsPerRun)});
    if (run.readyMs < 0) {
        return false;
    }
    std::vector<double> logouts;
    for (const QByteArray &line : run.output.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2 && fields.at(0) == "logout-pss") {
            logouts.push_back(fields.at(1).toDouble() / 1024);
        }
    }
    if (logouts.size() != 2) {
        return false;
    }
    account.loginPss.push_back(outputValue(run.output, "login-pss") / 1024);
    account.firstLogoutPss.push_back(logouts.front());
    account.lastLogoutPss.push_back(logouts.back());
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const int runs = std::max(1, arguments.value(1, QStringLiteral("7")).toInt());
    const int bigRuns = std::max(0, arguments.value(2, QStringLiteral("3")).toInt());

    Account small, large, huge;
    if (!startAccount(small, 100) || !startAccount(large, 1000) || (bigRuns > 0 && !startAccount(huge, 5000))) {
        return 1;
    }
    // One unmeasured run warms the disk cache.
    Account warm;
    warm.port = small.port;
    measure(warm);
    for (int i = 0; i < runs; ++i) {
        if (!measure(small) || !measure(large)) {
            return 1;
        }
    }
    const QByteArray largeRows = QByteArray::number(median(large.rows));
    const QByteArray smallRows = QByteArray::number(median(small.rows));
    printRow(qPrintable("big account: login to list drawn, 1,000 domains (" + largeRows + " rows)"),
             median(large.drawn),
             "ms",
             qPrintable("the same, 100 domains (" + smallRows + " rows)"),
             median(small.drawn));
    printRow("big account: page's longest stall in a reload, 1,000 domains",
             median(large.stall),
             "ms",
             "the same, 100 domains",
             median(small.stall));
    printRow("big account: page's longest stall in a reload, 1,000 domains",
             median(large.stall),
             "ms",
             "a tenth of the 30 s reload period",
             reloadPeriodMs / 10);
    printRow("memory: main RSS growth from the login screen, 1,000 domains",
             median(large.rssGrowth),
             "MiB",
             qPrintable(QStringLiteral("10 x the domain reply (%1 MiB)").arg(large.replyMiB, 0, 'f', 1)),
             10 * large.replyMiB);
    printRow("memory: main RSS growth from the login screen, 100 domains",
             median(small.rssGrowth),
             "MiB",
             qPrintable(QStringLiteral("10 x the domain reply (%1 MiB)").arg(small.replyMiB, 0, 'f', 2)),
             10 * small.replyMiB);
    printRow("memory: process tree PSS, 1,000 domains",
             median(large.treePss),
             "MiB",
             "the same, 100 domains",
             median(small.treePss));
    printRow("big account: longest frame gap in a wheel scroll, 1,000 domains",
             median(large.scroll),
             "ms",
             "the same, 100 domains",
             median(small.scroll));
    printRow("big account: longest frame gap in a wheel scroll, 1,000 domains",
             median(large.scroll),
             "ms",
             "the goal's bound",
             scrollGapBoundMs);
    printRow("big account: open a domain (click to frame), 1,000 domains",
             median(large.open),
             "ms",
             "the same, 100 domains",
             median(small.open));
    printRow("big account: close a domain (click to frame), 1,000 domains",
             median(large.close),
             "ms",
             "the same, 100 domains",
             median(small.close));
    printRow("big account: slowest page call during a reload, 1,000 domains",
             median(large.call),
             "ms",
             "the goal's bound",
             pageCallBoundMs);
    printRow("big account: slowest page call during a reload, 1,000 domains",
             median(large.call),
             "ms",
             "the same, 100 domains",
             median(small.call));
    printRow("memory: main RSS peak in a reload above the login screen, 1,000 domains",
             median(large.peakGrowth),
             "MiB",
             qPrintable(QStringLiteral("10 x the domain reply (%1 MiB)").arg(large.replyMiB, 0, 'f', 1)),
             10 * large.replyMiB);

    // Log-out and log-in cycles take three minutes a run at 1,000 domains: as many runs as the 5,000-domain account.
    const int cycleRuns = std::max(1, bigRuns);
    for (int i = 0; i < cycleRuns; ++i) {
        if (!measureLogouts(large)) {
            return 1;
        }
    }
    printRow("memory: process tree PSS after logging out, 1,000 domains",
             median(large.firstLogoutPss),
             "MiB",
             "the same run's first login screen",
             median(large.loginPss));
    printRow("memory: process tree PSS after 5 more log-in and log-out cycles, 1,000 domains",
             median(large.lastLogoutPss),
             "MiB",
             "the same run's first logout",
             median(large.firstLogoutPss));

    for (int i = 0; i < bigRuns; ++i) {
        if (!measure(huge)) {
            return 1;
        }
    }
    if (bigRuns > 0) {
        const QByteArray hugeRows = QByteArray::number(median(huge.rows));
        printRow(qPrintable("big account: login to list drawn, 5,000 domains (" + hugeRows + " rows)"),
                 median(huge.drawn),
                 "ms",
                 "the same, 100 domains",
                 median(small.drawn));
        printRow("big account: page's longest stall in a reload, 5,000 domains",
                 median(huge.stall),
                 "ms",
                 "the 30 s reload period",
                 reloadPeriodMs);
        printRow("big account: longest frame gap in a wheel scroll, 5,000 domains",
                 median(huge.scroll),
                 "ms",
                 "the goal's bound",
                 hugeScrollGapBoundMs);
        printRow("big account: page's answer after a reload, 5,000 domains",
                 median(huge.answer),
                 "ms",
                 "the same, 100 domains",
                 median(small.answer));
        printRow("memory: main RSS growth from the login screen, 5,000 domains",
                 median(huge.rssGrowth),
                 "MiB",
                 qPrintable(QStringLiteral("10 x the domain reply (%1 MiB)").arg(huge.replyMiB, 0, 'f', 1)),
                 10 * huge.replyMiB);
        printRow("memory: process tree PSS, 5,000 domains",
                 median(huge.treePss),
                 "MiB",
                 "the same, 100 domains",
                 median(small.treePss));
    }
    for (Account *account : {&small, &large, &huge}) {
        account->portal.terminate();
        account->portal.waitForFinished();
    }
    return 0;
}

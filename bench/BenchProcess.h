#pragma once

// What the benchmark drivers share: medians, a process tree's memory read from /proc, and starting a probe or the
// test portal and waiting for its line.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace bench
{
constexpr int readyTimeoutMs = 90000;

struct Memory
{
    qint64 mainRssKb = 0;
    qint64 treePssKb = 0;
};

struct Run
{
    double readyMs = -1;
    // From the process start to the moment the program reported on its page's clock, when it reports one.
    double momentMs = -1;
    Memory memory;
    // Everything the program printed up to its "ready" line.
    QByteArray output;
};

inline double epochMsNow()
{
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> values)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline qint64 statusFieldKb(const QString &path, const QByteArray &field)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field)) {
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return 0;
}

// The process and all its descendants, found through the parent field of /proc/<pid>/stat.
inline QList<qint64> processTree(qint64 root)
{
    QHash<qint64, QList<qint64>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid) {
            continue;
        }
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray text = stat.readAll();
        // The command name may hold spaces and parentheses: the fields start after its last ')'.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1) {
            children[fields.at(1).toLongLong()].append(pid);
        }
    }
    QList<qint64> tree{root};
    for (int i = 0; i < tree.size(); ++i) {
        tree += children.value(tree.at(i));
    }
    return tree;
}

inline Memory measureMemory(qint64 pid)
{
    Memory memory;
    memory.mainRssKb = statusFieldKb(QStringLiteral("/proc/%1/status").arg(pid), "VmRSS:");
    for (qint64 member : processTree(pid)) {
        memory.treePssKb += statusFieldKb(QStringLiteral("/proc/%1/smaps_rollup").arg(member), "Pss:");
    }
    return memory;
}

// The number after "<key> " on a line of the output; -1 when there is none.
inline double outputValue(const QByteArray &output, const QByteArray &key)
{
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith(key + ' ')) {
            return line.mid(key.size() + 1).toDouble();
        }
    }
    return -1;
}

// Starts a program, times it to its "ready" line, reads its memory there, then closes its input and waits.
inline Run runUntilReady(const QString &program, const QStringList &arguments, int timeoutMs = readyTimeoutMs)
{
    Run run;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    const double startEpochMs = epochMsNow();
    process.start(program, arguments);
    QByteArray &output = run.output;
    while (!output.contains("ready\n") && timer.elapsed() < timeoutMs && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(5);
        output += process.readAllStandardOutput();
    }
    if (output.contains("ready\n")) {
        run.readyMs = double(timer.nsecsElapsed()) / 1e6;
        const double epochMs = outputValue(output, "moment");
        run.momentMs = epochMs > 0 ? epochMs - startEpochMs : -1;
        run.memory = measureMemory(process.processId());
    } else {
        std::fprintf(stderr, "bench: %s %s never got ready\n", qPrintable(program), qPrintable(arguments.join(' ')));
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
    }
    return run;
}

inline void printRow(const char *what, double figure, const char *unit, const char *anchor, double anchorFigure)
{
    std::printf("row\t%s\t%.1f\t%s\t%s\t%.1f\n", what, figure, unit, anchor, anchorFigure);
    std::fflush(stdout);
}

// Starts the test portal on a free port and returns what it printed up to the whole line that starts with
// `lastKey` (its "port <n>" line comes first); the port is 0 when it did not start.
inline QByteArray startPortal(QProcess &portal,
                              const QString &program,
                              const QStringList &arguments,
                              quint16 *port,
                              const QByteArray &lastKey = "port")
{
    portal.start(program, arguments + QStringList{QStringLiteral("--port"), QStringLiteral("0")});
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    const auto complete = [&output, &lastKey] {
        const int at = output.startsWith(lastKey + ' ') ? 0 : output.indexOf('\n' + lastKey + ' ');
        return at >= 0 && output.indexOf('\n', at + 1) >= 0;
    };
    while (!complete() && timer.elapsed() < 60000 && portal.state() != QProcess::NotRunning) {
        portal.waitForReadyRead(50);
        output += portal.readAllStandardOutput();
    }
    *port = complete() ? quint16(outputValue(output, "port")) : 0;
    return output;
}
} // namespace bench

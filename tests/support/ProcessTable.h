#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>

// The processes of this machine as /proc shows them at the moment of the call, for tests that look for the
// programs a test started or left behind. Plain functions for the test's thread.
class ProcessTable
{
public:
    struct Process
    {
        qint64 pid = 0;
        qint64 parent = 0;
        // The kernel's state letter: 'Z' for a zombie nobody reaped, 'X' for a dead one.
        char state = 0;
        // The short name the kernel keeps, at most 15 bytes.
        QByteArray name;
        // The arguments, each ended by a zero byte; empty for a zombie.
        QByteArray commandLine;

        bool isLive() const;
        QList<QByteArray> arguments() const;
    };

    // Every process, zombies included.
    static QList<Process> processes();
    // Whether the process exists and is neither a zombie nor dead.
    static bool isLive(qint64 pid);
    // The live children of a process that carry the given short name.
    static QList<qint64> children(qint64 parent, const QByteArray &name);
    // Its environment, one "NAME=value" an entry; empty when it cannot be read.
    static QList<QByteArray> environment(qint64 pid);
    // The inodes of the sockets it holds open.
    static QSet<QByteArray> socketInodes(qint64 pid);
    // The web engine's live render processes of a program: its zygotes fork them, so they keep the zygote's
    // command line.
    static QList<qint64> renderers(qint64 program);
};

#include "tests/support/ProcessTable.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <unistd.h>

namespace
{
QString folderOf(qint64 pid)
{
    return QStringLiteral("/proc/%1").arg(pid);
}

bool read(qint64 pid, ProcessTable::Process *process)
{
    QFile stat(folderOf(pid) + QStringLiteral("/stat"));
    QFile commandLine(folderOf(pid) + QStringLiteral("/cmdline"));
    if (!stat.open(QIODevice::ReadOnly) || !commandLine.open(QIODevice::ReadOnly)) {
        return false;
    }
    // "pid (name) state ppid ...": the name may hold blanks and brackets, so read after its last closing bracket.
    const QByteArray fields = stat.readAll();
    const int open = fields.indexOf('(');
    const int close = fields.lastIndexOf(')');
    const QList<QByteArray> rest = fields.mid(close + 2).split(' ');
    if (open < 0 || close < open || rest.size() < 2 || rest.at(0).size() != 1) {
        return false;
    }
    process->pid = pid;
    process->parent = rest.at(1).toLongLong();
    process->state = rest.at(0).at(0);
    process->name = fields.mid(open + 1, close - open - 1);
    process->commandLine = commandLine.readAll();
    return true;
}
} // namespace

bool ProcessTable::Process::isLive() const
{
    return state != 'Z' && state != 'X';
}

QList<QByteArray> ProcessTable::Process::arguments() const
{
    QList<QByteArray> list = commandLine.split('\0');
    if (!list.isEmpty() && list.last().isEmpty()) {
        list.removeLast();
    }
    return list;
}

QList<ProcessTable::Process> ProcessTable::processes()
{
    QList<Process> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        Process process;
        if (isPid && pid > 0 && read(pid, &process)) {
            found.append(process);
        }
    }
    return found;
}

bool ProcessTable::isLive(qint64 pid)
{
    Process process;
    return read(pid, &process) && process.isLive();
}

QList<qint64> ProcessTable::children(qint64 parent, const QByteArray &name)
{
    QList<qint64> found;
    for (const Process &process : processes()) {
        if (process.isLive() && process.parent == parent && process.name == name) {
            found.append(process.pid);
        }
    }
    return found;
}

QList<QByteArray> ProcessTable::environment(qint64 pid)
{
    QFile file(folderOf(pid) + QStringLiteral("/environ"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\0') : QList<QByteArray>();
}

QSet<QByteArray> ProcessTable::socketInodes(qint64 pid)
{
    QSet<QByteArray> inodes;
    const QString folder = folderOf(pid) + QStringLiteral("/fd/");
    for (const QString &fd : QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[256] = {};
        const QByteArray link = QFile::encodeName(folder + fd);
        const ssize_t size = readlink(link.constData(), target, sizeof target - 1);
        const QByteArray text(target, size > 0 ? int(size) : 0);
        if (text.startsWith("socket:[") && text.endsWith(']')) {
            inodes.insert(text.mid(8, text.size() - 9));
        }
    }
    return inodes;
}

QList<qint64> ProcessTable::renderers(qint64 program)
{
    QHash<qint64, qint64> parents;
    QHash<qint64, bool> zygote;
    for (const Process &process : processes()) {
        if (process.isLive()) {
            parents.insert(process.pid, process.parent);
            zygote.insert(process.pid, process.commandLine.contains("--type=zygote"));
        }
    }
    QList<qint64> found;
    for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
        if (!zygote.value(it.key()) || !zygote.value(it.value())) {
            continue;
        }
        for (qint64 up = it.value(); up > 1; up = parents.value(up, 0)) {
            if (up == program) {
                found.append(it.key());
                break;
            }
        }
    }
    return found;
}

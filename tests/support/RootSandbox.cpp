#include "tests/support/RootSandbox.h"

#include <QDir>
#include <QFile>

RootSandbox::RootSandbox()
{
    if (m_dir.isValid()) {
        QDir().mkpath(rootHome());
        QDir().mkpath(run());
        QFile::setPermissions(rootHome(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

bool RootSandbox::isValid() const
{
    return m_dir.isValid() && QFileInfo(rootHome()).isDir() && QFileInfo(run()).isDir();
}

QString RootSandbox::rootHome() const
{
    return m_dir.filePath(QStringLiteral("root"));
}

QString RootSandbox::run() const
{
    return m_dir.filePath(QStringLiteral("run"));
}

QStringList RootSandbox::command(const QString &program, const QStringList &arguments) const
{
    // Every step execs the next, so the program keeps the process id its starter sees. As sudo starts it: with
    // root's own groups.
    return QStringList{
               QStringLiteral("setpriv"),
               QStringLiteral("--reuid=0"),
               QStringLiteral("--init-groups"),
               QStringLiteral("unshare"),
               QStringLiteral("--mount"),
               QStringLiteral("--propagation"),
               QStringLiteral("private"),
               QStringLiteral("--"),
               QStringLiteral("sh"),
               QStringLiteral("-c"),
               QStringLiteral("mount --bind \"$1\" /root && mount --bind \"$2\" /run && shift 2 && exec \"$@\""),
               QStringLiteral("sh"),
               rootHome(),
               run(),
               program}
           + arguments;
}

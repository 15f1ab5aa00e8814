#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// As root for a user, the program keeps that user's files in fixed folders of root's own (under root's home and
// /run), whatever the environment says. A test runs it in a mount namespace of its own in which /root and /run are
// folders of the test's, so that nothing of the machine's own is touched; with root's groups, as sudo starts it.
// Lives on the test's thread.
class RootSandbox
{
public:
    RootSandbox();

    bool isValid() const;
    // What the program sees as /root and as /run.
    QString rootHome() const;
    QString run() const;
    // The command line that runs `program` with `arguments` in the sandbox, the program first.
    QStringList command(const QString &program, const QStringList &arguments = QStringList()) const;

private:
    QTemporaryDir m_dir;
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs the serial stand-ins the way the program runs them: from a temporary working directory (entered for the
// rig's lifetime) holding setupc.exe, with the pair links in a folder of the rig. On destruction it removes every
// pair left, closes the sides it opened and returns to the previous working directory.
class SerialTestRig
{
    Q_DISABLE_COPY_MOVE(SerialTestRig)

public:
    struct Run
    {
        int exitCode = -1;
        QString output;
    };

    SerialTestRig();
    ~SerialTestRig();

    bool isValid() const
    {
        return m_valid;
    }

    QString workingPath() const;
    QString deviceFolder() const;

    // Always the real tool, whatever setupc.exe in the working directory is.
    Run runSetupc(const QStringList &arguments) const;
    QStringList pairLines() const;
    // Replaces setupc.exe in the working directory with a shell script, or removes it.
    [[nodiscard]] bool useFakeSetupc(const QByteArray &script);
    [[nodiscard]] bool useRealSetupc();
    void removeSetupc();

    // Opens a pair side by its port name, non-blocking; -1 when it does not exist.
    int openSide(const QString &name);
    static QByteArray readAvailable(int fd);
    static bool writeAll(int fd, const QByteArray &data);

private:
    QTemporaryDir m_dir;
    QString m_previousPath;
    QByteArray m_previousFolder;
    QList<int> m_fds;
    bool m_valid = false;
};

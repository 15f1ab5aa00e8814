#pragma once

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs the serial stand-ins the way the program runs them, in folders of the rig: setupc.exe from a private folder
// the program is pointed at, com2tcp from the runtime folder (XDG_RUNTIME_DIR for the rig's lifetime), the pair
// links in a folder of their own; and a working directory entered for the rig's lifetime, which the program must
// leave alone. On destruction it removes every pair left, closes the sides it opened and restores the working
// directory and the environment.
class SerialTestRig
{
    Q_DISABLE_COPY_MOVE(SerialTestRig)

public:
    struct Run
    {
        int exitCode = -1;
        QString output;
        QString errors;
    };

    SerialTestRig();
    ~SerialTestRig();

    bool isValid() const
    {
        return m_valid;
    }

    QString path() const;
    QString workingPath() const;
    QString deviceFolder() const;
    QString runtimeFolder() const;

    // Runs a tool to its end (at most 20 s); exit code -1 when it crashed or did not end.
    static Run runTool(const QString &program,
                       const QStringList &arguments,
                       const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    // Always the real tool, whatever setupc.exe the program is pointed at, in this process's environment.
    static Run runSetupc(const QStringList &arguments);
    // The pairs the tool lists; a line saying so when the listing failed.
    static QStringList pairLines();
    // Removes every pair the tool lists, and with them their holders.
    static void removePairs();
    // Replaces the program's setupc.exe with a shell script, or removes it.
    [[nodiscard]] bool useFakeSetupc(const QByteArray &script);
    [[nodiscard]] bool useRealSetupc();
    void removeSetupc();
    // Puts com2tcp where the serial-port manager would have unpacked it, for ports run without a manager.
    [[nodiscard]] bool placeCom2tcp();

    // Builds folders another user could have prepared, below root. Steps: "d path mode" (a folder, mode in octal),
    // "l path target" (a link; a target starting with '/' is below root), "o path" (handed to nobody, 65534),
    // "f path" (an empty file). Handing over needs root.
    [[nodiscard]] static bool buildScene(const QString &root, const QStringList &steps);
    // Gives the calling thread, and the programs it starts from then on, an empty /run of its own (a tmpfs in a
    // private mount namespace), so that the tools' default folders are used without touching the machine's, and
    // terminals numbered apart from the machine's (a devpts instance of its own). Root only.
    [[nodiscard]] static bool usePrivateRun();
    // What a folder holds, hidden entries included.
    static QStringList entries(const QString &folder);

    // Opens a pair side by its port name, non-blocking; -1 when it does not exist. The rig closes it at its end
    // unless closeSide() did so before.
    int openSide(const QString &name);
    void closeSide(int fd);
    static QByteArray readAvailable(int fd);
    static bool writeAll(int fd, const QByteArray &data);

    // Kills the holder of the pair with a side of that name outright, leaving its links behind.
    bool killHolderOf(const QString &name) const;
    // Once the terminal that the link of that name points to has gone, opens terminals until the kernel hands out
    // its number again and gives that one to another user (nobody, mode 0620, as a login would): its master, kept
    // open until the rig's end, or -1 while the number is still taken. Root only.
    int takeTerminalNumber(const QString &name);

private:
    QTemporaryDir m_dir;
    QString m_previousPath;
    QByteArray m_previousFolder;
    QByteArray m_previousRuntime;
    QList<int> m_fds;
    bool m_valid = false;
};

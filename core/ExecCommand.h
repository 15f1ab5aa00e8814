#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>

// Runs one outside program at a time and keeps what it writes to standard output.
// Lives on the GUI thread; its creator owns it. The process of an earlier start is released at the next
// start (it has ended by then); a process still running when the runner is destroyed is killed.
class ExecCommand : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExecCommand)

public:
    explicit ExecCommand(QObject *parent = nullptr);
    ~ExecCommand() override;

    void setProgram(QString program);
    void setArguments(QStringList arguments);
    // The names of our environment variables the program gets besides PATH, for the starts that follow; none by
    // default: nothing of ours (the display, the folders, the engine's settings) reaches a program that needs none.
    void setInheritedVariables(QStringList names);
    // What a detached start gets on its standard input, held in memory only (never in a file, never in an
    // argument that other processes could read). Empty: the detached process inherits none.
    void setStandardInput(QByteArray input);
    [[nodiscard]] bool start();
    [[nodiscard]] bool startDetached();
    bool isRunning() const;
    int exitCode() const;
    void kill();
    bool waitForStarted();
    bool waitForFinished();
    // The first line the last program wrote to its standard error, trimmed; empty when it wrote none or when it was
    // taken before.
    QString errorLine();

    QString output;

signals:
    void finished();

private slots:
    void onStarted();
    void onErrorOccurred(QProcess::ProcessError error);
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onReadyReadStandardOutput();

private:
    bool prepareStart(const char *function);

    QProcess *process = nullptr;
    QString program;
    QStringList arguments;
    QStringList inheritedVariables;
    QByteArray standardInput;
    bool running = false;
};

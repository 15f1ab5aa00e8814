#pragma once

#include <QProcess>

// A process of ours that inherits no descriptor but its standard input, output and error: what else the program
// holds (the web engine's files, memory and sockets, the page's debugging port, the tunnel's management socket)
// stays ours. Lives on the thread that starts it; ExecCommand owns one per start.
class ChildProcess : public QProcess
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChildProcess)

public:
    explicit ChildProcess(QObject *parent = nullptr);
    ~ChildProcess() override;

protected:
    void setupChildProcess() override;
};

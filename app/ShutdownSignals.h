#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Turns the signals that ask the program to end (SIGTERM, SIGINT, and SIGHUP unless it was ignored at start)
// into onShutdownRequested() on the GUI thread: the handler only writes the signal's number into a socket pair
// whose other end a notifier reads. main() keeps the one instance on its stack. Each handler runs once; the same
// signal again while the program is ending takes the default action and ends it at once.
class ShutdownSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShutdownSignals)

public:
    explicit ShutdownSignals(QObject *parent = nullptr);
    ~ShutdownSignals() override;

    [[nodiscard]] bool install();
    QString errorString() const;

signals:
    void onShutdownRequested();

private slots:
    void readSignals();

private:
    QSocketNotifier *m_notifier = nullptr;
    QString m_errorString;
};

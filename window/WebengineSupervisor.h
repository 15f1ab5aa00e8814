#pragma once

#include <memory>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>

class QApplication;
class QEventLoopLocker;
class QTimer;
class MainWindow;

// Replaces the main window with a fresh one on the start page whenever its render process ends; when the
// replacements' processes keep ending right after their start, it waits longer and longer before the next one.
// Lives on the GUI thread; main() makes the one instance and never deletes it. It owns the replacement
// windows it makes and releases them when the application quits, while the web engine still runs.
class WebengineSupervisor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebengineSupervisor)

public:
    explicit WebengineSupervisor(QObject *parent = nullptr);
    ~WebengineSupervisor() override;

    void setApplication(QApplication *app);
    void setMainWindow(MainWindow *window);

    // How many ends in a row came soon after their window's start, counting this one that came after ranForMs.
    static int quickEndsAfter(int previousQuickEnds, qint64 ranForMs);
    // The wait before the next window after that many quick ends in a row: none for a single end.
    static int recoveryDelayMs(int quickEnds);

    // The current window (not owned).
    MainWindow *window = nullptr;
    QApplication *app = nullptr;

public slots:
    void onMainWindowCrash();

private slots:
    void replaceWindow();
    void releaseWindows();

private:
    void watch(MainWindow *target);

    QList<QPointer<MainWindow>> m_replacements;
    // Started with each watched window: how long its render process has had.
    QElapsedTimer m_windowAge;
    int m_quickEnds = 0;
    QTimer *m_delay = nullptr;
    // Held while no window is shown between an end and its replacement: quitting on the last closed
    // window would otherwise end the program.
    std::unique_ptr<QEventLoopLocker> m_keepRunning;
};

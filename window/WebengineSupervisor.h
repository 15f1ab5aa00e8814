#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QApplication;
class MainWindow;

// Replaces the main window with a fresh one on the start page whenever its render process ends.
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

    // The current window (not owned).
    MainWindow *window = nullptr;
    QApplication *app = nullptr;

public slots:
    void onMainWindowCrash();

private slots:
    void releaseWindows();

private:
    void watch(MainWindow *target);

    QList<QPointer<MainWindow>> m_replacements;
};

#pragma once

#include <QObject>

class QApplication;
class MainWindow;

// Replaces the main window with a fresh one on the start page whenever its render process ends.
// Lives on the GUI thread; main() makes the one instance and never deletes it, nor the windows it makes.
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

private:
    void watch(MainWindow *target);
};

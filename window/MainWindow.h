#pragma once

#include <QUrl>
#include <QWebEngineView>

class QApplication;
class QCloseEvent;
class QEvent;
class QWebChannel;
class Orv;

// The program's top-level window: a web view on the page that publishes a new controller as "ORV".
// Lives on the GUI thread; main() keeps the first one on its stack, the supervisor's replacements are
// never deleted, and neither is any window's controller.
class MainWindow : public QWebEngineView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    MainWindow(QWidget *parent, QUrl url);
    ~MainWindow() override;

    // The page's web channel, a child of the page.
    QWebChannel *channel = nullptr;
    // Made here without a parent; it and what it owns live until the process ends.
    Orv *orv = nullptr;
    // Set by whoever shows the window; the window never reads it.
    QApplication *app = nullptr;

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onKill();

private:
    void saveWindowGeometry();
};

#pragma once

#include <QWebEnginePage>

// The main window's page. It stays on the program's own resources: whatever loads in it reaches the
// controller through the web channel, so navigation to any other scheme is refused.
// Lives on the GUI thread; the main window is its Qt parent.
class OrvWebPage : public QWebEnginePage
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OrvWebPage)

public:
    explicit OrvWebPage(QObject *parent = nullptr);
    ~OrvWebPage() override;

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
};

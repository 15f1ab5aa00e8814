#include "window/WebengineSupervisor.h"

#include <QApplication>
#include <QDebug>
#include <QEventLoopLocker>
#include <QUrl>

#include "window/MainWindow.h"

WebengineSupervisor::WebengineSupervisor(QObject *parent)
    : QObject(parent)
{}

WebengineSupervisor::~WebengineSupervisor() = default;

void WebengineSupervisor::setApplication(QApplication *app)
{
    this->app = app;
}

void WebengineSupervisor::setMainWindow(MainWindow *window)
{
    this->window = window;
    watch(window);
}

void WebengineSupervisor::onMainWindowCrash()
{
    // A window replaced earlier keeps its connection; its page must not close the window in use now.
    if (sender() != nullptr && sender() != window) {
        return;
    }
    qDebug("XXXXXXXXXXXXXXXXXXXXXXCRASH");

    // Closing the only window would otherwise end the event loop before the replacement is shown.
    const QEventLoopLocker keepRunning;
    window->close();

    auto *replacement = new MainWindow(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    window = replacement;
    replacement->show();
    replacement->app = app;
    watch(replacement);
}

void WebengineSupervisor::watch(MainWindow *target)
{
    const bool ok = connect(target,
                            SIGNAL(renderProcessTerminated(QWebEnginePage::RenderProcessTerminationStatus, int)),
                            this,
                            SLOT(onMainWindowCrash()));
    Q_ASSERT(ok);
    Q_UNUSED(ok)
}

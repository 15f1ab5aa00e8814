#include "window/WebengineSupervisor.h"

#include <QApplication>
#include <QDebug>
#include <QEventLoopLocker>
#include <QUrl>

#include "window/MainWindow.h"

WebengineSupervisor::WebengineSupervisor(QObject *parent)
    : QObject(parent)
{}

WebengineSupervisor::~WebengineSupervisor()
{
    releaseWindows();
}

void WebengineSupervisor::setApplication(QApplication *app)
{
    this->app = app;
    // A page still alive when the application object goes takes the process down with it.
    const bool ok = connect(app, SIGNAL(aboutToQuit()), this, SLOT(releaseWindows()));
    Q_ASSERT(ok);
    Q_UNUSED(ok)
}

void WebengineSupervisor::setMainWindow(MainWindow *window)
{
    this->window = window;
    watch(window);
}

void WebengineSupervisor::onMainWindowCrash()
{
    // A window replaced earlier keeps its connection; its page must not close the window in use now.
    if (window == nullptr || (sender() != nullptr && sender() != window)) {
        return;
    }
    qDebug("XXXXXXXXXXXXXXXXXXXXXXCRASH");

    // Closing the only window must not end the event loop before the replacement is shown.
    const QEventLoopLocker keepRunning;
    window->close();

    auto *replacement = new MainWindow(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    m_replacements.append(replacement);
    window = replacement;
    replacement->show();
    replacement->app = app;
    watch(replacement);
}

void WebengineSupervisor::releaseWindows()
{
    // The controllers stay: they own nothing of the web engine.
    for (const QPointer<MainWindow> &replacement : qAsConst(m_replacements)) {
        if (replacement == window) {
            window = nullptr;
        }
        delete replacement.data();
    }
    m_replacements.clear();
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

#include "window/WebengineSupervisor.h"

#include <QApplication>
#include <QDebug>
#include <QEventLoopLocker>
#include <QTimer>
#include <QUrl>

#include "core/Log.h"
#include "window/MainWindow.h"

namespace
{
// A render process that ends this soon after its window was made most likely cannot run at all.
constexpr qint64 quickEndMs = 5000;
constexpr int firstDelayMs = 1000;
constexpr int maximumDelayMs = 30000;
constexpr int countedQuickEnds = 100;
} // namespace

WebengineSupervisor::WebengineSupervisor(QObject *parent)
    : QObject(parent)
    , m_delay(new QTimer(this))
{
    m_delay->setSingleShot(true);
    connect(m_delay, SIGNAL(timeout()), this, SLOT(replaceWindow()));
}

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

int WebengineSupervisor::quickEndsAfter(int previousQuickEnds, qint64 ranForMs)
{
    if (ranForMs >= quickEndMs) {
        return 0;
    }
    // Counted no further than the delay can grow, so the count never overflows.
    return qMin(previousQuickEnds + 1, countedQuickEnds);
}

int WebengineSupervisor::recoveryDelayMs(int quickEnds)
{
    if (quickEnds < 2) {
        return 0;
    }
    qint64 delay = firstDelayMs;
    for (int n = 2; n < quickEnds && delay < maximumDelayMs; ++n) {
        delay *= 2;
    }
    return static_cast<int>(qMin<qint64>(delay, maximumDelayMs));
}

void WebengineSupervisor::onMainWindowCrash()
{
    // A window replaced earlier keeps its connection; its page must not close the window in use now. While
    // a replacement waits, the closed window has nothing more to report.
    if (window == nullptr || (sender() != nullptr && sender() != window) || m_delay->isActive()) {
        return;
    }
    qDebug("XXXXXXXXXXXXXXXXXXXXXXCRASH");

    const qint64 ranForMs = m_windowAge.isValid() ? m_windowAge.elapsed() : quickEndMs;
    m_quickEnds = quickEndsAfter(m_quickEnds, ranForMs);
    const int delayMs = recoveryDelayMs(m_quickEnds);

    // Closing the only window must not end the event loop before the replacement is shown.
    m_keepRunning = std::make_unique<QEventLoopLocker>();
    // A render process that ends before the page has loaded leaves the load pending, and the engine would
    // finish it in a new process: the closed window would run a second page with a controller of its own.
    window->stop();
    window->close();

    if (delayMs == 0) {
        replaceWindow();
        return;
    }
    writeLog(2,
             "WebengineSupervisor::onMainWindowCrash",
             QStringLiteral("Render process ended %1 ms after its start, %2 times in a row: next window in %3 ms")
                 .arg(ranForMs)
                 .arg(m_quickEnds)
                 .arg(delayMs));
    m_delay->start(delayMs);
}

void WebengineSupervisor::replaceWindow()
{
    auto *replacement = new MainWindow(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    m_replacements.append(replacement);
    window = replacement;
    replacement->show();
    replacement->app = app;
    watch(replacement);
    m_keepRunning.reset();
}

void WebengineSupervisor::releaseWindows()
{
    m_delay->stop();
    m_keepRunning.reset();
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
    m_windowAge.start();
}

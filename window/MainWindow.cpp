#include "window/MainWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineSettings>

#include "controller/Orv.h"
#include "core/Log.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "window/OrvWebPage.h"
#include "window/PublishedObjectGuard.h"

namespace
{
constexpr int defaultWidthPx = 900;
constexpr int defaultHeightPx = 700;
constexpr int minimumWidthPx = 900;
constexpr int minimumHeightPx = 700;

void enablePageAttributes(QWebEngineSettings *settings)
{
    settings->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, true);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebEngineSettings::LinksIncludedInFocusChain, true);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    settings->setAttribute(QWebEngineSettings::ScreenCaptureEnabled, true);
}
} // namespace

MainWindow::MainWindow(QWidget *parent, QUrl url)
    : QWebEngineView(parent)
{
    orv = new Orv(nullptr);
    connect(orv, SIGNAL(onKill()), this, SLOT(onKill()));

    // Our own page, before the channel: it keeps the page on the resources.
    setPage(new OrvWebPage(this));
    channel = new QWebChannel(page());
    page()->setWebChannel(channel);
    channel->registerObject(QStringLiteral("ORV"), orv);
    // Whatever the page sends, it cannot free the controller or what it publishes.
    auto *guard = new PublishedObjectGuard(this);
    guard->guard(orv);

    enablePageAttributes(page()->settings());
    setUrl(url);
    load(url);
    // Once more after the load has started, in the same order.
    enablePageAttributes(page()->settings());

    setContextMenuPolicy(Qt::NoContextMenu);

    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    settings.beginGroup(QStringLiteral("window"));
    const QSize size = settings.value(QStringLiteral("size"), QSize(defaultWidthPx, defaultHeightPx)).toSize();
    resize(size);
    // The default screen's available area; its own origin is deliberately not added.
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect();
    const QPoint defaultPosition(area.width() / 2 - size.width() / 2, area.height() / 2 - size.height() / 2);
    move(settings.value(QStringLiteral("pos"), defaultPosition).toPoint());
    settings.endGroup();

    setMinimumWidth(minimumWidthPx);
    setMinimumHeight(minimumHeightPx);
}

MainWindow::~MainWindow() = default;

bool MainWindow::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate) {
        // A one-pixel nudge makes the web contents repaint after the window comes back to the front.
        const QSize s = size();
        resize(s.width(), s.height() + 1);
        resize(s);
    }
    return QWidget::event(event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    saveWindowGeometry();
    orv->m_exit();
    event->accept();
}

void MainWindow::onKill()
{
    writeLog(1, "all", QStringLiteral("Exit!"));
    QCoreApplication::quit();
}

void MainWindow::saveWindowGeometry()
{
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    settings.beginGroup(QStringLiteral("window"));
    settings.setValue(QStringLiteral("size"), size());
    settings.setValue(QStringLiteral("pos"), pos());
    settings.endGroup();
}

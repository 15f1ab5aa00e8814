#include "tests/window/WindowDriver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>

#include "window/MainWindow.h"

namespace
{
constexpr int pollIntervalMs = 20;
} // namespace

static void registerPageResources()
{
    Q_INIT_RESOURCE(page);
}

WindowDriver::WindowDriver(QObject *parent)
    : QObject(parent)
{}

WindowDriver::~WindowDriver()
{
    if (m_owned) {
        delete m_window;
    }
}

bool WindowDriver::open(int timeoutMs)
{
    m_window = new MainWindow(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    m_owned = true;
    m_loaded = false;
    connect(m_window, &QWebEngineView::loadFinished, this, [this](bool ok) { m_loaded = m_loaded || ok; });
    m_window->show();
    return waitForLoad(timeoutMs);
}

bool WindowDriver::adopt(MainWindow *window, int timeoutMs)
{
    if (m_owned) {
        delete m_window;
    }
    m_window = window;
    m_owned = false;
    m_loaded = false;
    connect(m_window, &QWebEngineView::loadFinished, this, [this](bool ok) { m_loaded = m_loaded || ok; });
    // The load may have finished before we were handed the window: ask the page itself.
    return waitForLoad(timeoutMs)
           || evaluate(QStringLiteral("document.readyState === 'complete'"), nullptr, timeoutMs).toBool();
}

MainWindow *WindowDriver::window() const
{
    return m_window;
}

bool WindowDriver::waitForLoad(int timeoutMs)
{
    // A real event loop, not processEvents with sleeps in between: the engine's start-up takes many
    // round trips through the Qt event loop and would crawl.
    QSignalSpy loaded(m_window, &QWebEngineView::loadFinished);
    QDeadlineTimer deadline(timeoutMs);
    while (!m_loaded && !deadline.hasExpired()) {
        loaded.wait(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    return m_loaded;
}

QVariant WindowDriver::evaluate(const QString &script, bool *ok, int timeoutMs)
{
    const int id = m_nextId++;
    QSignalSpy spy(this, &WindowDriver::evaluated);
    m_window->page()->runJavaScript(script, [this, id](const QVariant &value) { emit evaluated(id, value); });
    const auto answer = [&spy, id]() -> const QList<QVariant> * {
        for (const QList<QVariant> &args : qAsConst(spy)) {
            if (args.at(0).toInt() == id) {
                return &args;
            }
        }
        return nullptr;
    };
    QDeadlineTimer deadline(timeoutMs);
    while (answer() == nullptr && !deadline.hasExpired()) {
        spy.wait(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    const QList<QVariant> *args = answer();
    if (ok) {
        *ok = args != nullptr;
    }
    return args != nullptr ? args->at(1) : QVariant();
}

bool WindowDriver::waitFor(const QString &expression, int timeoutMs)
{
    const QString script =
        QStringLiteral("(function() { try { return !!(%1); } catch (e) { return false; } })()").arg(expression);
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (evaluate(script, nullptr, static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))).toBool()) {
            return true;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        // Let the page run a little before asking again, in a real event loop.
        QEventLoop pause;
        QTimer::singleShot(pollIntervalMs, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

bool WindowDriver::waitForStart(int timeoutMs)
{
    return waitFor(QStringLiteral("typeof ORV !== 'undefined' && document.querySelector('.splash-screen')"
                                  " && getComputedStyle(document.querySelector('.splash-screen')).display === 'none'"),
                   timeoutMs);
}

bool WindowDriver::waitForLoginScreen(int timeoutMs)
{
    return waitFor(QStringLiteral("location.pathname === '/login' && !!document.querySelector('#loginContainer')"),
                   timeoutMs);
}

bool WindowDriver::waitForDomainsScreen(int timeoutMs)
{
    return waitFor(QStringLiteral("location.pathname === '/domains'"
                                  " && document.querySelectorAll('.domain-container').length > 0"),
                   timeoutMs);
}

bool WindowDriver::openOnLoginScreen()
{
    return open() && waitForLoginScreen();
}

bool WindowDriver::openOnDomainsScreen()
{
    return open() && waitForDomainsScreen();
}

bool WindowDriver::logInThroughForm(const QString &username, const QString &password)
{
    return type(QStringLiteral("input[name=username]"), username)
           && type(QStringLiteral("input[name=password]"), password) && click(QStringLiteral("#loginContainer .login"));
}

bool WindowDriver::waitForTourStep(const QString &textStart)
{
    return waitFor(
        QStringLiteral("document.querySelectorAll(%1).length === 1"
                       " && document.querySelector(%2).textContent.indexOf(%3) === 0")
            .arg(quote(shownTourStep()), quote(shownTourStep() + QStringLiteral(" .anno-content")), quote(textStart)));
}

bool WindowDriver::click(const QString &selector)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1);"
                                   " if (!e) { return false; } e.click(); return true; })()")
                        .arg(quote(selector)))
        .toBool();
}

bool WindowDriver::mouseClick(const QString &selector)
{
    const QVariantList centre =
        evaluate(QStringLiteral("(function() { var e = document.querySelector(%1); if (!e) { return null; }"
                                " var r = e.getBoundingClientRect(); return [r.left + r.width / 2,"
                                " r.top + r.height / 2]; })()")
                     .arg(quote(selector)))
            .toList();
    if (centre.size() != 2 || m_window->focusProxy() == nullptr) {
        return false;
    }
    const QPoint point(qRound(centre.at(0).toDouble()), qRound(centre.at(1).toDouble()));
    QTest::mouseClick(m_window->focusProxy(), Qt::LeftButton, Qt::NoModifier, point);
    return true;
}

bool WindowDriver::isShown(const QString &selector)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1); if (!e) { return false; }"
                                   " var s = getComputedStyle(e), r = e.getBoundingClientRect();"
                                   " return s.display !== 'none' && s.visibility !== 'hidden'"
                                   " && r.width > 0 && r.height > 0; })()")
                        .arg(quote(selector)))
        .toBool();
}

bool WindowDriver::waitForProgram(int timeoutMs)
{
    // The channel answers in the order it was asked.
    const int id = m_nextId;
    return evaluate(QStringLiteral("window.programAnswered%1 = false;"
                                   " ORV.getApplicationName(function() { window.programAnswered%1 = true; }); true")
                        .arg(id))
               .toBool()
           && waitFor(QStringLiteral("window.programAnswered%1").arg(id), timeoutMs);
}

bool WindowDriver::type(const QString &selector, const QString &text)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1); if (!e) { return false; }"
                                   " e.focus(); e.value = %2; e.dispatchEvent(new Event('input', {bubbles: true}));"
                                   " return true; })()")
                        .arg(quote(selector), quote(text)))
        .toBool();
}

QString WindowDriver::text(const QString &selector)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1);"
                                   " return e ? e.textContent.trim() : null; })()")
                        .arg(quote(selector)))
        .toString();
}

bool WindowDriver::hasClass(const QString &selector, const QString &className)
{
    return evaluate(QStringLiteral("(function() { var e = document.querySelector(%1);"
                                   " return !!e && e.classList.contains(%2); })()")
                        .arg(quote(selector), quote(className)))
        .toBool();
}

int WindowDriver::count(const QString &selector)
{
    return evaluate(QStringLiteral("document.querySelectorAll(%1).length").arg(quote(selector))).toInt();
}

QImage WindowDriver::screenshot() const
{
    return m_window->grab().toImage();
}

bool WindowDriver::saveScreenshot(const QString &name)
{
    const QString folder = qEnvironmentVariable("SCREENSHOT_DIR");
    if (folder.isEmpty()) {
        return true;
    }
    const bool counting =
        evaluate(QStringLiteral("window.framesPainted = 0; (function tick() { window.framesPainted += 1;"
                                " if (window.framesPainted < 10) { requestAnimationFrame(tick); } })(); true"))
            .toBool();
    if (!counting || !waitFor(QStringLiteral("window.framesPainted >= 10"))) {
        return false;
    }
    return QDir().mkpath(folder) && screenshot().save(folder + QLatin1Char('/') + name);
}

QString WindowDriver::quote(const QString &text)
{
    // A JSON array of one string is a valid JavaScript literal; strip the brackets.
    const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

QString WindowDriver::shownTourStep()
{
    return QStringLiteral(".anno:not(.anno-hidden)");
}

void prepareWebEngineTestProcess()
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The engine wants a private runtime folder; per-test environments replace it later.
    static QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    registerPageResources();
}

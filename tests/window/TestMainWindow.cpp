#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QtTest>

#include "controller/Orv.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OrvDriver.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "vpn/OrvVpn.h"
#include "window/MainWindow.h"

namespace
{
void storeWindowGeometry(const QVariant &size, const QVariant &pos)
{
    if (size.isValid()) {
        StoredSettings::setValue(QStringLiteral("window/size"), size);
    }
    if (pos.isValid()) {
        StoredSettings::setValue(QStringLiteral("window/pos"), pos);
    }
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void restoresGeometry_data();
    void restoresGeometry();
    void closeSavesGeometryAndExits();
    void restartRestoresClosedGeometry();
    void publishesControllerToPage();
    void activationKeepsSize();
    void staysOnResources_data();
    void staysOnResources();
    void rightClickShowsNoMenu_data();
    void rightClickShowsNoMenu();
    void pageCannotReplaceOrFreePublishedObjects_data();
    void pageCannotReplaceOrFreePublishedObjects();
    // Ends the event loop for good: keep it last.
    void killQuitsWithoutSaving();
};

void TestMainWindow::initTestCase()
{
    installConnectionWarningCheck();
    // The positions below follow from the offscreen platform's one screen.
    QCOMPARE(QGuiApplication::primaryScreen()->availableGeometry(), QRect(0, 0, 800, 600));
}

void TestMainWindow::restoresGeometry_data()
{
    QTest::addColumn<QVariant>("storedSize");
    QTest::addColumn<QVariant>("storedPos");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("pos");

    // Centred on the 800 x 600 area: (400 - width / 2, 300 - height / 2).
    QTest::newRow("first start: 900 x 700 centred") << QVariant() << QVariant() << QSize(900, 700) << QPoint(-50, -50);
    QTest::newRow("stored size without position: halves truncate")
        << QVariant(QSize(1001, 701)) << QVariant() << QSize(1001, 701) << QPoint(-100, -50);
    QTest::newRow("stored 800 x 600 grows to the minimum, centred on the stored size")
        << QVariant(QSize(800, 600)) << QVariant() << QSize(900, 700) << QPoint(0, 0);
    QTest::newRow("stored size and position")
        << QVariant(QSize(1000, 750)) << QVariant(QPoint(12, 34)) << QSize(1000, 750) << QPoint(12, 34);
}

void TestMainWindow::restoresGeometry()
{
    QFETCH(QVariant, storedSize);
    QFETCH(QVariant, storedPos);
    QFETCH(QSize, size);
    QFETCH(QPoint, pos);
    TestEnvironment environment;
    storeWindowGeometry(storedSize, storedPos);

    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    QCOMPARE(window.size(), size);
    QCOMPARE(window.pos(), pos);
    QCOMPARE(window.minimumSize(), QSize(900, 700));
    QCOMPARE(window.url(), QUrl(QStringLiteral("qrc:/index.html")));
    QVERIFY(!window.isVisible());
}

void TestMainWindow::closeSavesGeometryAndExits()
{
    TestEnvironment environment;
    WindowDriver driver;
    QVERIFY(driver.open());
    MainWindow *window = driver.window();
    window->resize(950, 720);
    window->move(40, 30);
    QTRY_COMPARE(window->size(), QSize(950, 720));

    OrvVpn *vpn = OrvDriver::vpnOf(window->orv);
    QVERIFY(vpn);
    QSignalSpy disconnected(vpn, &OrvVpn::onDisconnected);
    QVERIFY(!StoredSettings::value(QStringLiteral("window/size")).isValid());

    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    QCOMPARE(StoredSettings::value(QStringLiteral("window/size")).toSize(), QSize(950, 720));
    QCOMPARE(StoredSettings::value(QStringLiteral("window/pos")).toPoint(), window->pos());
    // The exit operation stopped the (idle) tunnel, which reports itself disconnected.
    QCOMPARE(disconnected.count(), 1);
}

void TestMainWindow::restartRestoresClosedGeometry()
{
    TestEnvironment environment;
    QPoint closedAt;
    {
        MainWindow first(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
        first.show();
        first.resize(1024, 768);
        first.move(25, 15);
        QTRY_COMPARE(first.size(), QSize(1024, 768));
        closedAt = first.pos();
        first.close();
    }
    MainWindow second(nullptr, QUrl(QStringLiteral("qrc:/index.html")));
    QCOMPARE(second.size(), QSize(1024, 768));
    QCOMPARE(second.pos(), closedAt);
}

void TestMainWindow::publishesControllerToPage()
{
    TestEnvironment environment;
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(QStringLiteral("typeof ORV !== 'undefined'")));
    // The only published object, with its nested objects and the application's name and version.
    QVERIFY(driver.waitFor(QStringLiteral("ORV.auth && ORV.vpn && ORV.api")));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.app-name .name').textContent === 'Lumenbridge'")));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.app-name .version').textContent === 'v1.0.0'")));
    // Nested objects travel under generated ids; "ORV" is the one registered by name.
    QCOMPARE(driver
                 .evaluate(QStringLiteral("Object.keys(channel.objects).filter(function(k) {"
                                          " return k.charAt(0) !== '{'; }).join(',')"))
                 .toString(),
             QStringLiteral("ORV"));
    for (const auto attribute : {QWebEngineSettings::FullScreenSupportEnabled,
                                 QWebEngineSettings::JavascriptCanOpenWindows,
                                 QWebEngineSettings::LinksIncludedInFocusChain,
                                 QWebEngineSettings::LocalContentCanAccessRemoteUrls,
                                 QWebEngineSettings::ScreenCaptureEnabled}) {
        QVERIFY(driver.window()->page()->settings()->testAttribute(attribute));
    }
}

void TestMainWindow::pageCannotReplaceOrFreePublishedObjects_data()
{
    QTest::addColumn<QString>("script");

    // Through the page's own channel wrapper.
    QTest::newRow("tunnel object set to null") << "ORV.vpn = null;";
    QTest::newRow("every property overwritten")
        << "ORV.api = null; ORV.auth = ORV.api; ORV.virtualSerialPortsManager = null; ORV.language = 'xx';"
           " ORV.vpn = ORV.auth;";
    QTest::newRow("tunnel object deleted") << "ORV.vpn.deleteLater();";
    QTest::newRow("every nested object deleted")
        << "ORV.api.deleteLater(); ORV.auth.deleteLater(); ORV.vpn.deleteLater();"
           " ORV.virtualSerialPortsManager.deleteLater();";
    // Raw channel messages, as a page that bypasses the wrapper would send them: deleteLater and the two
    // destroyed signals by index and by name, on the controller and each nested object, and a property write
    // that hands over another published object.
    QTest::newRow("raw deletion and destroyed calls")
        << "[ORV.__id__, ORV.api.__id__, ORV.auth.__id__, ORV.vpn.__id__, ORV.virtualSerialPortsManager.__id__]"
           ".forEach(function(id) { [0, 1, 3, 'deleteLater', 'destroyed', 'deleteLater()'].forEach(function(m) {"
           " channel.exec({type: 6, object: id, method: m, args: []}, function() {}); }); });";
    QTest::newRow("raw property writes")
        << "[1, 2, 3, 4, 5].forEach(function(index) {"
           " channel.exec({type: 9, object: 'ORV', property: index, value: {id: ORV.api.__id__}});"
           " channel.exec({type: 9, object: 'ORV', property: index, value: null}); });";
}

// The page runs with the engine's sandbox off as root: nothing it sends may replace or free a program object.
void TestMainWindow::pageCannotReplaceOrFreePublishedObjects()
{
    QFETCH(QString, script);
    TestEnvironment environment;
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(QStringLiteral("typeof ORV !== 'undefined' && ORV.vpn && ORV.api && ORV.auth")));
    Orv *orv = driver.window()->orv;
    const QStringList names{"api", "auth", "vpn", "virtualSerialPortsManager"};
    QList<QPointer<QObject>> published{orv};
    for (const QString &name : names) {
        published.append(orv->property(name.toLatin1().constData()).value<QObject *>());
        QVERIFY2(published.last(), qPrintable(name));
    }
    const QString language = orv->property("language").toString();

    bool ok = false;
    driver.evaluate(script, &ok);
    QVERIFY(ok);
    // The channel answers in order: once this call is answered, everything sent before it has been handled.
    driver.evaluate(QStringLiteral("window.stats = null; ORV.getVpnStatsJson(function(s) { window.stats = s; });"));
    QVERIFY(driver.waitFor(QStringLiteral("window.stats !== null")));
    QCOMPARE(driver.evaluate(QStringLiteral("Object.keys(window.stats).sort().join(',')")).toString(),
             QStringLiteral("bytesIn,bytesOut,lastPacketReceived,packetsIn,packetsOut"));
    // Any deletion the page asked for would be carried out now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    for (int i = 0; i < published.size(); ++i) {
        QVERIFY2(published.at(i), i == 0 ? "ORV" : qPrintable(names.at(i - 1)));
    }
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(orv->property(names.at(i).toLatin1().constData()).value<QObject *>(), published.at(i + 1).data());
    }
    QCOMPARE(orv->property("language").toString(), language);

    // The objects still work for the page: stopping reaches the tunnel object, which reports the end.
    OrvVpn *vpn = OrvDriver::vpnOf(driver.window()->orv);
    QSignalSpy disconnected(vpn, &OrvVpn::onDisconnected);
    driver.evaluate(QStringLiteral("window.stopped = false; ORV.stopVpn(function() { window.stopped = true; });"));
    QVERIFY(driver.waitFor(QStringLiteral("window.stopped")));
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(vpn->getStatus(), 1);
}

void TestMainWindow::activationKeepsSize()
{
    TestEnvironment environment;
    WindowDriver driver;
    QVERIFY(driver.open());
    MainWindow *window = driver.window();
    const QSize before = window->size();

    QList<QSize> seen;

    class ResizeRecorder : public QObject
    {
    public:
        explicit ResizeRecorder(QList<QSize> *seen)
            : m_seen(seen)
        {}

        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Resize) {
                m_seen->append(static_cast<QResizeEvent *>(event)->size());
            }
            return false;
        }

    private:
        QList<QSize> *m_seen;
    } recorder(&seen);

    window->installEventFilter(&recorder);

    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(window, &activate);
    // The nudge: one pixel taller, then back.
    QTRY_VERIFY(seen.contains(QSize(before.width(), before.height() + 1)));
    QTRY_COMPARE(window->size(), before);
    QTRY_COMPARE(seen.last(), before);
    window->removeEventFilter(&recorder);
}

void TestMainWindow::staysOnResources_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("https on loopback") << QStringLiteral("https://127.0.0.1:9/");
    QTest::newRow("file") << QStringLiteral("file:///etc/hostname");
    QTest::newRow("data") << QStringLiteral("data:text/html,<p>x</p>");
}

// Whatever page loads in the view reaches the controller through the channel: it must stay ours.
void TestMainWindow::staysOnResources()
{
    QFETCH(QString, target);
    TestEnvironment environment;
    LogCapture log;
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.evaluate(QStringLiteral("window.marker = 42; true")).toBool());
    QVERIFY(
        driver.evaluate(QStringLiteral("window.location.href = %1; true").arg(WindowDriver::quote(target))).toBool());
    QTRY_VERIFY_WITH_TIMEOUT(log.texts().filter(QStringLiteral("Navigation refused")).size() == 1, 10000);
    QCOMPARE(driver.evaluate(QStringLiteral("window.marker")).toInt(), 42);
    QCOMPARE(driver.window()->url().scheme(), QStringLiteral("qrc"));
    // The resources themselves still load.
    QSignalSpy loaded(driver.window(), &QWebEngineView::loadFinished);
    driver.window()->load(QUrl(QStringLiteral("qrc:/index.html")));
    QVERIFY(loaded.wait(20000));
    QCOMPARE(loaded.first().first().toBool(), true);
}

void TestMainWindow::rightClickShowsNoMenu_data()
{
    QTest::addColumn<bool>("defaultPolicy");
    QTest::addColumn<bool>("menuShown");
    // The first row proves that a menu would be seen if the window let one through.
    QTest::newRow("web view's default policy shows a menu") << true << true;
    QTest::newRow("main window shows none") << false << false;
}

void TestMainWindow::rightClickShowsNoMenu()
{
    QFETCH(bool, defaultPolicy);
    QFETCH(bool, menuShown);
    TestEnvironment environment;
    WindowDriver driver;
    QVERIFY(driver.open());
    MainWindow *window = driver.window();
    if (defaultPolicy) {
        window->setContextMenuPolicy(Qt::DefaultContextMenu);
    }
    QVERIFY(driver.waitForStart());
    QVERIFY(driver
                .evaluate(QStringLiteral("window.menus = 0; document.addEventListener('contextmenu',"
                                         " function() { window.menus++; }, true); true"))
                .toBool());

    QWidget *target = window->focusProxy();
    QVERIFY(target);
    const QPoint point(window->width() / 2, window->height() / 2);
    QTest::mouseClick(target, Qt::RightButton, Qt::NoModifier, point);
    QVERIFY(driver.waitFor(QStringLiteral("window.menus >= 1")));

    const auto visibleMenu = [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMenu *>(widget) && widget->isVisible()) {
                return true;
            }
        }
        return false;
    };
    if (menuShown) {
        QTRY_VERIFY(visibleMenu());
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMenu *>(widget)) {
                widget->close();
            }
        }
    } else {
        // The page's own answer comes after the browser side handled the click.
        QVERIFY(driver.evaluate(QStringLiteral("true")).toBool());
        QVERIFY(!visibleMenu());
    }
}

void TestMainWindow::killQuitsWithoutSaving()
{
    TestEnvironment environment;
    LogCapture log;
    WindowDriver driver;
    QVERIFY(driver.open());
    MainWindow *window = driver.window();
    OrvVpn *vpn = OrvDriver::vpnOf(window->orv);
    QSignalSpy disconnected(vpn, &OrvVpn::onDisconnected);

    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    guard.start(20000);
    QTimer::singleShot(0, window->orv, &Orv::kill);
    QCOMPARE(QCoreApplication::exec(), 0);
    guard.stop();

    QCOMPARE(log.count(QStringLiteral("all(): \"Exit!\"")), 1);
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(window->isVisible());
    QVERIFY(!StoredSettings::value(QStringLiteral("window/size")).isValid());
    QVERIFY(!StoredSettings::value(QStringLiteral("window/pos")).isValid());
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestMainWindow.moc"

#include <QApplication>
#include <QJsonArray>
#include <QtTest>

#include "controller/Orv.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OrvDriver.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "vpn/OrvVpn.h"
#include "window/MainWindow.h"

namespace
{

// Records, in the page, when each VPN signal reached the buffer, every VPN window event dispatched
// (with the sidebar as it was drawn for it) and every colour the status row took.
const QString recorder = QStringLiteral(
    "(function() { window.arrivals = []; window.dispatched = []; window.rowColours = [];"
    " var buffer = ORV_EVENTS.vpn, add = buffer.addEventToDispatch;"
    " buffer.addEventToDispatch = function(event, withTimeout) {"
    "  window.arrivals.push({name: event.type.split('.').pop(), at: performance.now()});"
    "  add(event, withTimeout); };"
    " ['connecting', 'connected', 'disconnected'].forEach(function(name) {"
    "  window.addEventListener('ORV.vpn.' + name, function(event) {"
    "   window.dispatched.push({name: name, at: performance.now(), reason: event.detail.reason || '',"
    "    tip: document.querySelector('.status-tip').textContent}); }); });"
    " var row = document.querySelector('.vpn-status-row');"
    " new MutationObserver(function() { window.rowColours.push(row.className.replace('vpn-status-row', '').trim()); })"
    "  .observe(row, {attributes: true, attributeFilter: ['class']});"
    " return true; })()");

// The buffer holds nothing and no timer runs: no VPN event can be dispatched any more.
const QString bufferIdle = QStringLiteral("ORV_EVENTS.vpn.timeout === null && ORV_EVENTS.vpn.eventToDispatch === null");

void emitSignal(Orv *orv, const QString &signal)
{
    OrvVpn *vpn = OrvDriver::vpnOf(orv);
    const QStringList parts = signal.split(QLatin1Char(':'));
    const QByteArray name = parts.at(0).toLatin1();
    if (parts.size() > 1) {
        QVERIFY(QMetaObject::invokeMethod(vpn, name.constData(), Q_ARG(int, parts.at(1).toInt())));
    } else if (name.startsWith("onVpnStart")) {
        QVERIFY(QMetaObject::invokeMethod(orv, name.constData()));
    } else {
        QVERIFY(QMetaObject::invokeMethod(vpn, name.constData()));
    }
}

// How far the connecting spinner's centre is from the centre of the shield as drawn, in pixels.
const QString spinnerOffCentre =
    QStringLiteral("(function() { var s = document.querySelector('.shield.loader').getBoundingClientRect();"
                   " var p = document.querySelector('#vpn_shield path').getBoundingClientRect();"
                   " return Math.max(Math.abs(s.left + s.width / 2 - p.left - p.width / 2),"
                   "  Math.abs(s.top + s.height / 2 - p.top - p.height / 2)); })()");
} // namespace

// The sidebar's VPN states behind the page's one-slot event buffer, driven by the real controller's
// signals through the web channel.
class TestPageVpn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void eventBuffer_data();
    void eventBuffer();
    void tunnelStateBeforePageStarts_data();
    void tunnelStateBeforePageStarts();
    void spinnerCentredOnShield_data();
    void spinnerCentredOnShield();

private:
    TestEnvironment *m_environment = nullptr;
};

void TestPageVpn::initTestCase()
{
    installConnectionWarningCheck();
}

void TestPageVpn::init()
{
    m_environment = new TestEnvironment;
    StoredSettings::setToursSeen(1, 4);
}

void TestPageVpn::cleanup()
{
    delete m_environment;
    m_environment = nullptr;
}

void TestPageVpn::eventBuffer_data()
{
    // Signals in the order they are emitted (one event loop turn); "name:id" carries a device id.
    QTest::addColumn<bool>("startConnected");
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<QString>("dispatched");
    QTest::addColumn<QString>("colours");
    QTest::addColumn<QString>("statusTip");
    QTest::addColumn<QString>("statusDesc");

    QTest::newRow("connected alone, after the delay") << false << QStringList{"onConnected:101"} << "connected"
                                                      << "bg-green"
                                                      << "Press 1"
                                                      << "Connected";
    QTest::newRow("connected for a device the controller does not know")
        << false << QStringList{"onConnected:9999"} << "connected"
        << "bg-green"
        << "???"
        << "Connected";
    // From the disconnected state: the status row never changes colour.
    QTest::newRow("connected then disconnected: connected never drawn")
        << false << QStringList{"onConnected:101", "onDisconnected"} << "disconnected"
        << ""
        << "Select a device"
        << "Not connected";
    QTest::newRow("disconnected then connecting: straight to connecting")
        << true << QStringList{"onDisconnected", "onConnecting:103"} << "connecting"
        << "bg-orange"
        << "Connecting... Wait"
        << "Not connected";
    QTest::newRow("two delayed events: only the later")
        << true << QStringList{"onOperationNotPermitted", "onVpnStartGetConfigError"} << "disconnected"
        << "bg-red"
        << "Select a device"
        << "Not connected";
}

void TestPageVpn::eventBuffer()
{
    QFETCH(bool, startConnected);
    QFETCH(QStringList, emitted);
    QFETCH(QString, dispatched);
    QFETCH(QString, colours);
    QFETCH(QString, statusTip);
    QFETCH(QString, statusDesc);
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    // Start from a drawn connected state, so that a disconnected state shows as a change of colour.
    if (startConnected) {
        emitSignal(driver.window()->orv, QStringLiteral("onConnected:103"));
        QVERIFY(driver.waitFor(
            QStringLiteral("document.querySelector('.vpn-status-row').classList.contains('bg-green') && ")
            + bufferIdle));
    }
    QVERIFY(driver.waitFor(bufferIdle));
    QVERIFY(driver.evaluate(recorder).toBool());

    for (const QString &signal : emitted) {
        emitSignal(driver.window()->orv, signal);
    }
    QVERIFY(driver.waitFor(QStringLiteral("window.arrivals.length === %1").arg(emitted.size())));
    QVERIFY(driver.waitFor(QStringLiteral("window.dispatched.length > 0 && ") + bufferIdle));

    QCOMPARE(
        driver.evaluate(QStringLiteral("window.dispatched.map(function(e) { return e.name; }).join(',')")).toString(),
        dispatched);
    QCOMPARE(driver.evaluate(QStringLiteral("window.rowColours.join(',')")).toString(), colours);
    QCOMPARE(driver.evaluate(QStringLiteral("window.dispatched[0].tip")).toString(), statusTip);
    QCOMPARE(driver.text(QStringLiteral(".status-desc")), statusDesc);
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), statusTip);
    // A delayed event waits its 200 ms after the last arrival; connecting is shown at once.
    const double waited = driver
                              .evaluate(QStringLiteral("window.dispatched[0].at"
                                                       " - window.arrivals[window.arrivals.length - 1].at"))
                              .toDouble();
    if (dispatched == QLatin1String("connecting")) {
        QVERIFY2(waited < 200, qPrintable(QString::number(waited)));
    } else {
        QVERIFY2(waited >= 195, qPrintable(QString::number(waited)));
    }
    if (emitted.last() == QLatin1String("onVpnStartGetConfigError")) {
        QCOMPARE(driver.evaluate(QStringLiteral("window.dispatched[0].reason")).toString(),
                 QStringLiteral("onVpnStartGetConfigError"));
    }
    // The power button is offered only outside the connecting state.
    QCOMPARE(driver
                 .evaluate(QStringLiteral("getComputedStyle(document.querySelector("
                                          "'#vpn-shield-container .power-button')).display"))
                 .toString(),
             dispatched == QLatin1String("connecting") ? QStringLiteral("none") : QStringLiteral("flex"));
}

void TestPageVpn::tunnelStateBeforePageStarts_data()
{
    // The tunnel object's own reports, in order, all made before the page has loaded.
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("statusDesc");
    QTest::addColumn<QString>("statusTip");
    QTest::addColumn<QString>("rowColour");

    QTest::newRow("connected") << QStringList{"connecting", "connected"} << "bg-green"
                               << "Connected"
                               << "Press 1"
                               << "bg-green";
    QTest::newRow("still connecting") << QStringList{"connecting"} << "bg-orange"
                                      << "Not connected"
                                      << "Connecting... Wait"
                                      << "bg-orange";
    QTest::newRow("down again") << QStringList{"connecting", "connected", "disconnected"} << "bg-red"
                                << "Not connected"
                                << "Select a device"
                                << "";
}

void TestPageVpn::tunnelStateBeforePageStarts()
{
    QFETCH(QStringList, reports);
    QFETCH(QString, colour);
    QFETCH(QString, statusDesc);
    QFETCH(QString, statusTip);
    QFETCH(QString, rowColour);
    // The domain list as an earlier run leaves it, so the controller can name devices at once.
    StoredSettings::setDomains(PortalSession::sampleData().value(QStringLiteral("domains")).toArray());
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));

    // The window starts loading its page in its constructor; the page's scripts run only once the event loop
    // turns, so these reports all come before the page can listen.
    std::unique_ptr<MainWindow> window(new MainWindow(nullptr, QUrl(QStringLiteral("qrc:/index.html"))));
    OrvVpn *vpn = OrvDriver::vpnOf(window->orv);
    vpn->deviceId = 101;
    for (const QString &report : reports) {
        QVERIFY(QMetaObject::invokeMethod(vpn, report.toLatin1().constData(), Qt::DirectConnection));
    }
    window->show();
    WindowDriver driver;
    QVERIFY(driver.adopt(window.get()));
    QVERIFY(driver.waitForDomainsScreen());
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.vpn-status-row').classList.contains(%1) && ")
                               .arg(WindowDriver::quote(colour))
                           + bufferIdle));

    QCOMPARE(driver.text(QStringLiteral(".status-desc")), statusDesc);
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), statusTip);
    // The row of the tunnel's device is marked the same way, on the list drawn after the state.
    const QString row = QStringLiteral("#domainsContainer .device[data-id='101']");
    for (const char *mark : {"bg-green", "bg-orange"}) {
        QCOMPARE(driver.hasClass(row, QLatin1String(mark)), rowColour == QLatin1String(mark));
    }
    QCOMPARE(driver.isShown(row + QStringLiteral(" .web-ui")), rowColour == QLatin1String("bg-green"));
    QCOMPARE(driver.isShown(QStringLiteral("#vpn-shield-container .power-button")),
             colour != QLatin1String("bg-orange"));
}

void TestPageVpn::spinnerCentredOnShield_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("resizedTo");

    QTest::newRow("smallest window") << QSize(900, 700) << QSize();
    QTest::newRow("wide window") << QSize(1400, 900) << QSize();
    QTest::newRow("resized while connecting") << QSize(900, 700) << QSize(1250, 760);
}

void TestPageVpn::spinnerCentredOnShield()
{
    QFETCH(QSize, size);
    QFETCH(QSize, resizedTo);
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    driver.window()->resize(size);
    QVERIFY(driver.waitForDomainsScreen());
    QVERIFY(driver.waitFor(QStringLiteral("window.innerWidth === %1").arg(size.width())));

    emitSignal(driver.window()->orv, QStringLiteral("onConnecting:101"));
    QVERIFY(driver.waitFor(QStringLiteral("!!document.querySelector('.shield.loader')")));
    const double offCentre = driver.evaluate(spinnerOffCentre).toDouble();
    QVERIFY2(offCentre <= 1.0, qPrintable(QString::number(offCentre)));

    if (resizedTo.isValid()) {
        driver.window()->resize(resizedTo);
        QVERIFY(driver.waitFor(QStringLiteral("window.innerWidth === %1").arg(resizedTo.width())));
        QVERIFY(driver.waitFor(spinnerOffCentre + QStringLiteral(" <= 1")));
        QVERIFY(driver
                    .evaluate(QStringLiteral("document.querySelector('#vpn_shield path').getBoundingClientRect()"
                                             ".left > %1")
                                  .arg(size.width() / 6))
                    .toBool());
    }
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestPageVpn test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestPageVpn.moc"

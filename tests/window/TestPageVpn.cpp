#include <QApplication>
#include <QtTest>

#include "controller/Orv.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "vpn/OrvVpn.h"
#include "window/MainWindow.h"

namespace
{
const QString domainsShown =
    QStringLiteral("location.pathname === '/domains' && document.querySelectorAll('.domain-container').length > 0");

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

OrvVpn *tunnelOf(WindowDriver &driver)
{
    return driver.window()->orv->property("vpn").value<OrvVpn *>();
}

void emitSignal(OrvVpn *vpn, Orv *orv, const QString &signal)
{
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
    QSettings::setDefaultFormat(orvSettingsFormat);
    OrvSettings settings;
    for (const char *key : {"orv/tour1", "orv/tour2", "orv/tour3", "orv/tour4"}) {
        settings.setValue(QLatin1String(key), false);
    }
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
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    QVERIFY(driver.waitFor(domainsShown));
    // Start from a drawn connected state, so that a disconnected state shows as a change of colour.
    if (startConnected) {
        emitSignal(tunnelOf(driver), driver.window()->orv, QStringLiteral("onConnected:103"));
        QVERIFY(driver.waitFor(
            QStringLiteral("document.querySelector('.vpn-status-row').classList.contains('bg-green') && ")
            + bufferIdle));
    }
    QVERIFY(driver.waitFor(bufferIdle));
    QVERIFY(driver.evaluate(recorder).toBool());

    for (const QString &signal : emitted) {
        emitSignal(tunnelOf(driver), driver.window()->orv, signal);
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

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestPageVpn test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestPageVpn.moc"

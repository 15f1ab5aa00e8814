#include <QApplication>
#include <QtTest>

#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TunnelFixture.h"
#include "tests/window/WindowDriver.h"
#include "tools/testtunnel/TestTunnel.h"
#include "window/MainWindow.h"

namespace
{
QString row(int deviceId)
{
    return QStringLiteral("#domainsContainer .device[data-id='%1']").arg(deviceId);
}

QString rowHas(int deviceId, const QString &className)
{
    return QStringLiteral("document.querySelector(%1).classList.contains(%2)")
        .arg(WindowDriver::quote(row(deviceId)), WindowDriver::quote(className));
}

const QString statusRowGreen =
    QStringLiteral("document.querySelector('.vpn-status-row').classList.contains('bg-green')");
const QString statusRowRed = QStringLiteral("document.querySelector('.vpn-status-row').classList.contains('bg-red')");
// The VPN buffer holds nothing and no timer runs: no VPN event can be dispatched any more.
const QString bufferIdle = QStringLiteral("ORV_EVENTS.vpn.timeout === null && ORV_EVENTS.vpn.eventToDispatch === null");
} // namespace

// The VPN marks of the page with a real tunnel: the real controller, the test portal handing out the
// profile of a real OpenVPN server in a network namespace.
class TestLoginFlowVpn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void connectMarksThenPowerButtonDisconnects();
    void refusedStartShowsTheRunningTunnel_data();
    void refusedStartShowsTheRunningTunnel();

private:
    TestTunnel *m_tunnel = nullptr;
};

void TestLoginFlowVpn::initTestCase()
{
    installConnectionWarningCheck();
    REQUIRE_TUNNELS();
    m_tunnel = new TestTunnel;
    QVERIFY2(m_tunnel->start(), qPrintable(m_tunnel->errorString()));
}

void TestLoginFlowVpn::cleanupTestCase()
{
    delete m_tunnel;
    m_tunnel = nullptr;
}

void TestLoginFlowVpn::connectMarksThenPowerButtonDisconnects()
{
    TestEnvironment environment;
    // A tour step swallows clicks on its target (the sidebar): this user has seen the first tour.
    StoredSettings::setToursSeen(1, 1);
    PortalSession session;
    QVERIFY(session.startLoggedIn(
        PortalSession::sampleData({{QStringLiteral("vpn_files"), TunnelFixture::vpnFiles(*m_tunnel)}})));

    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(driver.evaluate(statusRowRed).toBool());

    // Orange at once, in the click itself: row, spinner, status row and shield.
    const QString click = QStringLiteral("(function() { document.querySelector(%1).click();"
                                         " return [%2, %3, document.querySelector('.vpn-status-row')"
                                         ".classList.contains('bg-orange'), String(dom.vpn.shield.attr('fill'))]"
                                         ".join(','); })()")
                              .arg(WindowDriver::quote(row(101) + QStringLiteral(" .connect")),
                                   rowHas(101, QStringLiteral("bg-orange")),
                                   QStringLiteral("document.querySelector(%1).classList.contains('loader')")
                                       .arg(WindowDriver::quote(row(101) + QStringLiteral(" .spinner-vpn"))));
    QCOMPARE(driver.evaluate(click).toString(), QStringLiteral("true,true,true,#ff9c30"));
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), QStringLiteral("Connecting... Wait"));

    // Connected through the real server: green row with the white shield, green sidebar, the device's name.
    QVERIFY2(driver.waitFor(rowHas(101, QStringLiteral("bg-green")), 90000), qPrintable(m_tunnel->serverLog()));
    QVERIFY(driver.waitFor(statusRowGreen));
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), QStringLiteral("Press 1"));
    QCOMPARE(driver.evaluate(QStringLiteral("String(dom.vpn.shield.attr('fill'))")).toString(),
             QStringLiteral("#56f248"));
    QVERIFY(!driver.evaluate(rowHas(101, QStringLiteral("bg-orange"))).toBool());
    QCOMPARE(driver.count(row(101) + QStringLiteral(" .spinner-vpn img[src='/img/shield_white.svg']")), 1);
    QVERIFY(driver
                .evaluate(QStringLiteral("getComputedStyle(document.querySelector(%1)).display")
                              .arg(WindowDriver::quote(row(101) + QStringLiteral(" .web-ui"))))
                .toString()
            != QStringLiteral("none"));
    QCOMPARE(driver.text(QStringLiteral(".power-button .desc")), QStringLiteral("Disconnect"));
    QVERIFY(driver.saveScreenshot(QStringLiteral("connected.png")));

    // The power button stops the tunnel.
    QVERIFY(driver.click(QStringLiteral(".power-button")));
    QVERIFY(driver.waitFor(statusRowRed, 30000));
    QVERIFY(driver.waitFor(QStringLiteral("!") + rowHas(101, QStringLiteral("bg-green"))));
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), QStringLiteral("Select a device"));
    QCOMPARE(driver.text(QStringLiteral(".power-button .desc")), QStringLiteral("Connect"));
    QVERIFY(driver
                .evaluate(QStringLiteral("window.vpnStatus = undefined;"
                                         " ORV.vpn.getStatus(function(s) { window.vpnStatus = s; }); true"))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("window.vpnStatus === 1")));
}

void TestLoginFlowVpn::refusedStartShowsTheRunningTunnel_data()
{
    QTest::addColumn<QString>("clicked"); // with the tunnel to device 101 up
    QTest::addColumn<bool>("configFails");

    QTest::newRow("a device of a domain without VPN") << row(201) + QStringLiteral(" .name") << false;
    QTest::newRow("a device whose configuration download fails") << row(103) + QStringLiteral(" .connect") << true;
    QTest::newRow("a device gone offline") << row(102) + QStringLiteral(" .connect") << false;
}

// A start the program refuses leaves the running tunnel up, and the page shows that tunnel as before the click.
void TestLoginFlowVpn::refusedStartShowsTheRunningTunnel()
{
    QFETCH(QString, clicked);
    QFETCH(bool, configFails);
    TestEnvironment environment;
    StoredSettings::setToursSeen(1, 1);
    PortalSession session;
    QVERIFY(session.startLoggedIn(
        PortalSession::sampleData({{QStringLiteral("vpn_files"), TunnelFixture::vpnFiles(*m_tunnel)}})));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(driver.click(row(101) + QStringLiteral(" .connect")));
    QVERIFY2(driver.waitFor(rowHas(101, QStringLiteral("bg-green")) + QStringLiteral(" && ") + bufferIdle, 90000),
             qPrintable(m_tunnel->serverLog()));
    if (configFails) {
        TestPortal::Behaviour failing;
        failing.status = 500;
        session.portal().setBehaviour(TestPortal::Route::VpnConfig, failing);
    }

    QVERIFY(driver
                .evaluate(QStringLiteral("window.shown = [];"
                                         " ['connecting', 'connected', 'disconnected'].forEach(function(name) {"
                                         "  window.addEventListener('ORV.vpn.' + name, function() {"
                                         "   window.shown.push(name); }); }); true"))
                .toBool());
    // The click draws connecting at once; the program's answer comes after it.
    QVERIFY(
        driver.evaluate(QStringLiteral("document.querySelector(%1).click(); true").arg(WindowDriver::quote(clicked)))
            .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("window.shown.length > 0 && ") + bufferIdle));
    QCOMPARE(driver.evaluate(QStringLiteral("window.shown.join(',')")).toString(), QStringLiteral("connected"));
    QVERIFY(driver.evaluate(statusRowGreen).toBool());
    QCOMPARE(driver.text(QStringLiteral(".status-desc")), QStringLiteral("Connected"));
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), QStringLiteral("Press 1"));
    QVERIFY(driver.evaluate(rowHas(101, QStringLiteral("bg-green"))).toBool());
    QCOMPARE(driver.count(QStringLiteral("#domainsContainer .device.bg-orange, #domainsContainer .device.bg-green")),
             1);

    // The power button is the running tunnel's, and stops it.
    QCOMPARE(driver.text(QStringLiteral(".power-button .desc")), QStringLiteral("Disconnect"));
    QVERIFY(driver.click(QStringLiteral(".power-button")));
    QVERIFY(driver.waitFor(statusRowRed, 30000));
    QVERIFY(driver.waitFor(QStringLiteral("!") + rowHas(101, QStringLiteral("bg-green"))));
}

int main(int argc, char *argv[])
{
    // Before any thread exists: the client's tunnel then lives in a network namespace of its own.
    TunnelFixture::isolateProcess();
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestLoginFlowVpn test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestLoginFlowVpn.moc"

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

QString row(int deviceId)
{
    return QStringLiteral("#domainsContainer .device[data-id='%1']").arg(deviceId);
}

QString header(int domainId)
{
    return QStringLiteral("#domainsContainer .domain[data-id='%1']").arg(domainId);
}

// Whether the device container under a domain header is collapsed.
QString closedExpression(int domainId)
{
    return QStringLiteral("document.querySelector(%1).closest('.domain-container')"
                          ".querySelector('.device-container').classList.contains('closed')")
        .arg(WindowDriver::quote(header(domainId)));
}

bool isClosed(WindowDriver &driver, int domainId)
{
    return driver.evaluate(closedExpression(domainId)).toBool();
}

int storedLastDomainIdOpened()
{
    return StoredSettings::value(QStringLiteral("last_domain_id_opened"), -1).toInt();
}

bool storedTourFlag(const QString &key)
{
    return StoredSettings::value(QStringLiteral("orv/") + key, true).toBool();
}
} // namespace

// The domains screen and the VPN marks of its rows, logged in through the real controller and portal.
class TestLoginFlowDomains : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void rendersEveryDomainAndDevice();
    void deviceRowIcons_data();
    void deviceRowIcons();
    void opensRememberedOrFirstDomain_data();
    void opensRememberedOrFirstDomain();
    void headerClickTogglesAndRemembers();
    void reloadFollowsOnlineState();
    void refusedStartReturnsToDisconnected_data();
    void refusedStartReturnsToDisconnected();
    void tourShowsOnceAcrossRestarts();
    void secondDeviceClickClearsFirst_data();
    void secondDeviceClickClearsFirst();

private:
    TestEnvironment *m_environment = nullptr;
};

void TestLoginFlowDomains::initTestCase()
{
    installConnectionWarningCheck();
}

void TestLoginFlowDomains::init()
{
    m_environment = new TestEnvironment;
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
}

void TestLoginFlowDomains::cleanup()
{
    delete m_environment;
    m_environment = nullptr;
}

void TestLoginFlowDomains::rendersEveryDomainAndDevice()
{
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());

    QCOMPARE(driver
                 .evaluate(QStringLiteral("Array.from(document.querySelectorAll('#domainsContainer .domain'))"
                                          ".map(function(e) { return e.textContent.trim().split(/\\s+/)[0] + ':'"
                                          " + e.getAttribute('data-id'); }).join(',')"))
                 .toString(),
             QStringLiteral("Plant:10,Plant:20,Empty:30"));
    QCOMPARE(driver
                 .evaluate(QStringLiteral("Array.from(document.querySelectorAll('#domainsContainer .device'))"
                                          ".map(function(e) { return e.getAttribute('data-id'); }).join(',')"))
                 .toString(),
             QStringLiteral("101,102,103,201,"));
    QCOMPARE(driver.count(row(104)), 0);
    QVERIFY(driver.text(row(101) + QStringLiteral(" .name")).contains(QStringLiteral("Press 1")));
    // Rows: "last" on each domain's last row; an empty domain has one inert row.
    QVERIFY(driver.hasClass(row(103), QStringLiteral("last")));
    QVERIFY(!driver.hasClass(row(101), QStringLiteral("last")));
    QVERIFY(driver.hasClass(row(201), QStringLiteral("last")));
    const QString empty = QStringLiteral("#domainsContainer .device.no-devices");
    QCOMPARE(driver.count(empty), 1);
    QVERIFY(driver.hasClass(empty, QStringLiteral("last")));
    QCOMPARE(driver.text(empty), QStringLiteral("No device registered"));
    // Offline marks.
    QVERIFY(driver.hasClass(row(102), QStringLiteral("offline")));
    QVERIFY(driver.hasClass(row(102), QStringLiteral("bg-grey")));
    QVERIFY(!driver.hasClass(row(101), QStringLiteral("offline")));
    QCOMPARE(driver.evaluate(QStringLiteral("getComputedStyle(document.querySelector(%1)).display")
                                 .arg(WindowDriver::quote(row(102) + QStringLiteral(" .offline-string"))))
                     .toString()
                 == QStringLiteral("none"),
             false);
    QCOMPARE(driver
                 .evaluate(QStringLiteral("getComputedStyle(document.querySelector(%1)).display")
                               .arg(WindowDriver::quote(row(101) + QStringLiteral(" .offline-string"))))
                 .toString(),
             QStringLiteral("none"));
    QCOMPARE(driver.text(QStringLiteral(".navbar .username")), QStringLiteral("alice"));
    QVERIFY(driver.saveScreenshot(QStringLiteral("domains.png")));
}

void TestLoginFlowDomains::deviceRowIcons_data()
{
    QTest::addColumn<int>("deviceId");
    QTest::addColumn<bool>("connect");
    QTest::addColumn<bool>("connectShown");
    QTest::addColumn<bool>("webUi");
    QTest::addColumn<bool>("settings");

    QTest::newRow("online, VPN domain, type 1") << 101 << true << true << true << true;
    QTest::newRow("offline, VPN domain, type 3: connect hidden") << 102 << true << false << true << false;
    QTest::newRow("online, VPN domain, type 5") << 103 << true << true << true << true;
    QTest::newRow("domain without VPN, type 3") << 201 << false << false << false << false;
}

void TestLoginFlowDomains::deviceRowIcons()
{
    QFETCH(int, deviceId);
    QFETCH(bool, connect);
    QFETCH(bool, connectShown);
    QFETCH(bool, webUi);
    QFETCH(bool, settings);
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());

    const QString icons = row(deviceId) + QStringLiteral(" .icons ");
    QCOMPARE(driver.count(icons + QStringLiteral(".connect")), connect ? 1 : 0);
    QCOMPARE(driver.count(icons + QStringLiteral(".web-ui")), webUi ? 1 : 0);
    QCOMPARE(driver.count(icons + QStringLiteral(".settings")), settings ? 1 : 0);
    if (connect) {
        const QString display = QStringLiteral("getComputedStyle(document.querySelector(%1)).display")
                                    .arg(WindowDriver::quote(icons + QStringLiteral(".connect")));
        QCOMPARE(driver.evaluate(display).toString() != QStringLiteral("none"), connectShown);
        // The web interface is offered only on the connected row.
        const QString webDisplay = QStringLiteral("getComputedStyle(document.querySelector(%1)).display")
                                       .arg(WindowDriver::quote(icons + QStringLiteral(".web-ui")));
        QCOMPARE(driver.evaluate(webDisplay).toString(), QStringLiteral("none"));
    }
}

void TestLoginFlowDomains::opensRememberedOrFirstDomain_data()
{
    QTest::addColumn<int>("remembered");
    QTest::addColumn<int>("opened");

    QTest::newRow("nothing remembered: first domain") << -1 << 10;
    QTest::newRow("remembered domain") << 20 << 20;
    QTest::newRow("remembered domain no longer listed: first domain") << 999 << 10;
}

void TestLoginFlowDomains::opensRememberedOrFirstDomain()
{
    QFETCH(int, remembered);
    QFETCH(int, opened);
    if (remembered != -1) {
        PortalSession::storeLastDomainIdOpened(remembered);
    }
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());

    QVERIFY(driver.waitFor(QStringLiteral("!(") + closedExpression(opened) + QLatin1Char(')')));
    for (const int domainId : {10, 20, 30}) {
        QCOMPARE(isClosed(driver, domainId), domainId != opened);
    }
    QCOMPARE(driver.text(header(opened) + QStringLiteral(" .icon-toggle")), QStringLiteral("arrow_drop_up"));
    QTRY_COMPARE(storedLastDomainIdOpened(), opened);
}

void TestLoginFlowDomains::headerClickTogglesAndRemembers()
{
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(driver.waitFor(QStringLiteral("!(") + closedExpression(10) + QLatin1Char(')')));

    // No caret of the login form is left in the selection, which the engine would place again after every change
    // of the list. Clearing the selection changes it only if something was left; the selection made after it
    // changes it for sure, and its event comes last.
    QVERIFY(
        driver
            .evaluate(QStringLiteral("window.selectionChanges = 0;"
                                     " document.addEventListener('selectionchange', function () {"
                                     "   window.selectionChanges += 1;"
                                     " });"
                                     " getSelection().removeAllRanges();"
                                     " getSelection().selectAllChildren(document.querySelector('.navbar .username'));"
                                     " true"))
            .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("window.selectionChanges > 0")));
    QVERIFY(driver.waitForProgram());
    QCOMPARE(driver.evaluate(QStringLiteral("getSelection().removeAllRanges(); window.selectionChanges")).toInt(), 1);

    QVERIFY(driver.click(header(20)));
    QVERIFY(!isClosed(driver, 20));
    QVERIFY(!isClosed(driver, 10));
    QCOMPARE(driver.text(header(20) + QStringLiteral(" .icon-toggle")), QStringLiteral("arrow_drop_up"));
    QTRY_COMPARE(storedLastDomainIdOpened(), 20);

    // A click reads the attributes of the header and what holds it only, never those of the other domains' rows:
    // with a big account a walk over the whole document made every click slow.
    QVERIFY(driver
                .evaluate(QStringLiteral("window.attributesRead = [];"
                                         " window.readAttribute = Element.prototype.getAttribute;"
                                         " Element.prototype.getAttribute = function (name) {"
                                         "   window.attributesRead.push(this);"
                                         "   return window.readAttribute.call(this, name);"
                                         " }; true"))
                .toBool());
    QVERIFY(driver.click(header(20)));
    QVERIFY(isClosed(driver, 20));
    QCOMPARE(driver.text(header(20) + QStringLiteral(" .icon-toggle")), QStringLiteral("arrow_drop_down"));
    QVERIFY(driver.click(header(20)));
    QVERIFY(driver.click(header(20)));
    QCOMPARE(driver
                 .evaluate(QStringLiteral("Element.prototype.getAttribute = window.readAttribute;"
                                          " var clicked = document.querySelector(%1);"
                                          " window.attributesRead.filter(function (element) {"
                                          "   return !element.contains(clicked);"
                                          " }).length")
                               .arg(WindowDriver::quote(header(20))))
                 .toInt(),
             0);
    QVERIFY(isClosed(driver, 20));
    // Closing remembers nothing new.
    QVERIFY(driver.click(header(30)));
    QTRY_COMPARE(storedLastDomainIdOpened(), 30);
}

void TestLoginFlowDomains::reloadFollowsOnlineState()
{
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(driver.hasClass(row(102), QStringLiteral("offline")));

    // The portal now reports 101 offline and 102 online.
    const QJsonArray devices{PortalSession::device(101, QStringLiteral("Press 1"), 1, 10, 0),
                             PortalSession::device(102, QStringLiteral("Press 2"), 3, 10, 1),
                             PortalSession::device(103, QStringLiteral("Gateway"), 5, 10, 1)};
    QVERIFY(session.portal().setData(PortalSession::sampleData({{QStringLiteral("devices"), devices}})));

    QVERIFY(driver.evaluate(QStringLiteral("ORV.reloadDomains(); true")).toBool());
    QVERIFY(driver.waitFor(
        QStringLiteral("document.querySelector(%1).classList.contains('offline')").arg(WindowDriver::quote(row(101)))));
    QVERIFY(!driver.hasClass(row(102), QStringLiteral("offline")));
    QVERIFY(!driver.hasClass(row(102), QStringLiteral("bg-grey")));
    QVERIFY(driver.hasClass(row(101), QStringLiteral("bg-grey")));
    QVERIFY(!driver.hasClass(row(103), QStringLiteral("offline")));
}

void TestLoginFlowDomains::refusedStartReturnsToDisconnected_data()
{
    QTest::addColumn<QString>("clicked");
    QTest::addColumn<int>("deviceId");

    // Domain 20 offers no VPN: the program refuses at once.
    QTest::newRow("name of a device in a domain without VPN") << row(201) + QStringLiteral(" .name") << 201;
    // Domain 10 hands out no profile: the configuration is refused after the download.
    QTest::newRow("connect icon, configuration without a profile") << row(101) + QStringLiteral(" .connect") << 101;
}

void TestLoginFlowDomains::refusedStartReturnsToDisconnected()
{
    QFETCH(QString, clicked);
    QFETCH(int, deviceId);
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(driver.hasClass(QStringLiteral(".vpn-status-row"), QStringLiteral("bg-red")));

    // The row and the shield turn orange in the click itself, before the program answers.
    const QString script = QStringLiteral("(function() { window.vpnEvents = [];"
                                          " window.addEventListener('ORV.vpn.disconnected', function(e) {"
                                          " window.vpnEvents.push(e.detail.reason); });"
                                          " document.querySelector(%1).click();"
                                          " var r = document.querySelector(%2);"
                                          " return [r.classList.contains('bg-orange'),"
                                          " r.querySelector('.spinner-vpn').classList.contains('loader'),"
                                          " document.querySelector('.vpn-status-row').classList.contains('bg-orange'),"
                                          " dom.vpn.shield.attr('fill')].join(','); })()")
                               .arg(WindowDriver::quote(clicked), WindowDriver::quote(row(deviceId)));
    QCOMPARE(driver.evaluate(script).toString(), QStringLiteral("true,true,true,#ff9c30"));

    QVERIFY(driver.waitFor(QStringLiteral("window.vpnEvents.length === 1")));
    QVERIFY(driver.hasClass(QStringLiteral(".vpn-status-row"), QStringLiteral("bg-red")));
    QVERIFY(!driver.hasClass(row(deviceId), QStringLiteral("bg-orange")));
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), QStringLiteral("Select a device"));
    QCOMPARE(driver.evaluate(QStringLiteral("String(dom.vpn.shield.attr('fill'))")).toString(),
             QStringLiteral("#ff012e"));
}

void TestLoginFlowDomains::tourShowsOnceAcrossRestarts()
{
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    {
        WindowDriver first;
        QVERIFY(first.openOnDomainsScreen());
        QVERIFY(first.waitFor(QStringLiteral("tour.step_1.to_show === false")));
        QVERIFY(first.waitFor(QStringLiteral("document.querySelector('.anno') !== null")));
        QTRY_VERIFY(!storedTourFlag(QStringLiteral("tour1")));
        QVERIFY(storedTourFlag(QStringLiteral("tour2")));
        QVERIFY(first.window()->close());
    }
    // A new run with the same settings: the page asks, and is told the tour is no longer needed.
    WindowDriver second;
    QVERIFY(second.openOnDomainsScreen());
    QVERIFY(second
                .evaluate(QStringLiteral("window.tourAnswer = undefined;"
                                         " ORV.tour1IsNeeded(function(v) { window.tourAnswer = v; }); true"))
                .toBool());
    QVERIFY(second.waitFor(QStringLiteral("window.tourAnswer === false")));
    QCOMPARE(second.evaluate(QStringLiteral("tour.step_1.to_show")).toBool(), true);
    QCOMPARE(second.count(QStringLiteral(".anno")), 0);
}

void TestLoginFlowDomains::secondDeviceClickClearsFirst_data()
{
    QTest::addColumn<bool>("firstConnected");
    QTest::addColumn<QString>("clicked");

    QTest::newRow("first connecting, the second's name clicked") << false << row(103) + QStringLiteral(" .name");
    QTest::newRow("first connected, the second's connect icon clicked")
        << true << row(103) + QStringLiteral(" .connect");
}

void TestLoginFlowDomains::secondDeviceClickClearsFirst()
{
    QFETCH(bool, firstConnected);
    QFETCH(QString, clicked);
    StoredSettings::setToursSeen(1, 1);
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(driver.waitFor(QStringLiteral("!(") + closedExpression(10) + QLatin1Char(')')));
    if (firstConnected) {
        QVERIFY(QMetaObject::invokeMethod(OrvDriver::vpnOf(driver.window()->orv), "onConnected", Q_ARG(int, 101)));
        QVERIFY(driver.waitFor(QStringLiteral("document.querySelector(%1).classList.contains('bg-green')")
                                   .arg(WindowDriver::quote(row(101)))));
    } else {
        QVERIFY(driver.click(row(101) + QStringLiteral(" .name")));
        QVERIFY(driver.hasClass(row(101), QStringLiteral("bg-orange")));
    }

    // In the click itself, before the program answers: one highlighted row, the second.
    const QString script =
        QStringLiteral("(function() { document.querySelector(%1).click();"
                       " var first = document.querySelector(%2), second = document.querySelector(%3);"
                       " return [first.classList.contains('bg-orange'), first.classList.contains('bg-green'),"
                       "  first.querySelector('.spinner-vpn').childElementCount,"
                       "  first.querySelector('.spinner-vpn').classList.contains('loader'),"
                       "  getComputedStyle(first.querySelector('.connect')).display !== 'none',"
                       "  second.classList.contains('bg-orange'),"
                       "  second.querySelector('.spinner-vpn').classList.contains('loader'),"
                       "  document.querySelectorAll('#domainsContainer .bg-orange, #domainsContainer .bg-green')"
                       "   .length].join(','); })()")
            .arg(WindowDriver::quote(clicked), WindowDriver::quote(row(101)), WindowDriver::quote(row(103)));
    QCOMPARE(driver.evaluate(script).toString(), QStringLiteral("false,false,0,false,true,true,true,1"));
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestLoginFlowDomains test;
    const int result = QTest::qExec(&test, argc, argv);
    return result;
}

#include "TestLoginFlowDomains.moc"

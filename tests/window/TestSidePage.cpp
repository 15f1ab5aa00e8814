#include <QApplication>
#include <QJsonArray>
#include <QtTest>

#include "controller/Orv.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/SerialTestRig.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/window/WindowDriver.h"
#include "window/MainWindow.h"

namespace
{
const QString side = QStringLiteral("#serialVirtualPortPage");
const QString slided = QStringLiteral("document.querySelector('.main-container .page').classList.contains('slided')");
const QString noAnimation = QStringLiteral("document.getAnimations().length === 0");
const QString noTour = QStringLiteral("document.querySelectorAll('.anno').length === 0");

QString settingsIcon(int deviceId)
{
    return QStringLiteral("#domainsContainer .device[data-id='%1'] .settings").arg(deviceId);
}

bool storedTourFlag(int tour)
{
    return StoredSettings::value(QStringLiteral("orv/tour%1").arg(tour), true).toBool();
}

// Whether an element lies wholly inside the page area as the user sees it, and is what a click at its centre hits.
QString inSight(const QString &selector)
{
    return QStringLiteral("(function() { var e = document.querySelector(%1); if (!e) { return false; }"
                          " var r = e.getBoundingClientRect(), page = document.querySelector('.page')"
                          ".getBoundingClientRect();"
                          " var hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);"
                          " return r.height > 0 && r.top >= page.top - 0.5 && r.bottom <= page.bottom + 0.5"
                          "  && r.left >= page.left - 0.5 && r.right <= page.right + 0.5"
                          "  && hit !== null && e.contains(hit); })()")
        .arg(WindowDriver::quote(selector));
}

bool closeStep(WindowDriver &driver)
{
    return driver.click(WindowDriver::shownTourStep() + QStringLiteral(" .anno-btn")) && driver.waitFor(noTour);
}

// Opens a device's side page from its serial-ports icon and waits until it has slid in with its list open.
bool openSidePage(WindowDriver &driver, int deviceId)
{
    return driver.click(settingsIcon(deviceId))
           && driver.waitFor(slided
                             + QStringLiteral(" && !document.querySelector('.virtual-serial-ports-container')"
                                              ".classList.contains('closed')"));
}

// Records when the side page's overlay comes and goes.
const QString watchOverlay = QStringLiteral(
    "(function() { window.overlayChanges = []; var o = document.querySelector('#serialVirtualPortPage .form-overlay');"
    " new MutationObserver(function() { window.overlayChanges.push({shown: !o.classList.contains('hidden'),"
    "  at: performance.now()}); }).observe(o, {attributes: true, attributeFilter: ['class']}); return true; })()");

// Clicks an element of the side page whose action runs behind the overlay, and waits for the overlay to go.
// Returns how long the overlay stayed up, or -1 when it did not show at once or never went.
double behindOverlay(WindowDriver &driver, const QString &selector)
{
    const bool shownAtOnce =
        driver
            .evaluate(QStringLiteral("window.overlayChanges = []; window.clickedAt = performance.now();"
                                     " document.querySelector(%1).click();"
                                     " !document.querySelector('#serialVirtualPortPage .form-overlay')"
                                     ".classList.contains('hidden')")
                          .arg(WindowDriver::quote(selector)))
            .toBool();
    if (!shownAtOnce
        || !driver.waitFor(QStringLiteral("window.overlayChanges.some(function(c) { return !c.shown; })"), 30000)) {
        return -1;
    }
    return driver
        .evaluate(QStringLiteral("window.overlayChanges.filter(function(c) { return !c.shown; })[0].at"
                                 " - window.clickedAt"))
        .toDouble();
}

// The port rows as the user reads them: type label and local port name.
QStringList portRows(WindowDriver &driver)
{
    QStringList rows;
    const QVariantList list =
        driver
            .evaluate(QStringLiteral("Array.from(document.querySelectorAll('#serialVirtualPortPage"
                                     " .virtual-serial-port[data-type]')).map(function(r) {"
                                     " return r.querySelector('.port-type').textContent.trim() + ' '"
                                     " + r.querySelector('.serial-name').textContent.trim(); })"))
            .toList();
    for (const QVariant &row : list) {
        rows << row.toString();
    }
    return rows;
}

// The same, from the controller's own list of the device's ports.
QStringList controllerPorts(WindowDriver &driver, int deviceId)
{
    static const char *const labels[] = {"RS 232 A", "RS 232 B", "RS 485", "USB"};
    QStringList rows;
    for (const QJsonValue &value : driver.window()->orv->getVirtualSerialPortsByDeviceIdJson(deviceId)) {
        const QJsonObject port = value.toObject();
        if (port.value(QStringLiteral("deviceId")).toInt() != deviceId) {
            return {QStringLiteral("port of another device")};
        }
        rows << QLatin1String(labels[port.value(QStringLiteral("type")).toInt() & 3]) + QLatin1Char(' ')
                    + port.value(QStringLiteral("serialName")).toString();
    }
    return rows;
}

// The values of the types the form offers, and the one selected.
QString offeredTypes(WindowDriver &driver)
{
    return driver
        .evaluate(QStringLiteral("(function() { var o = Array.from(document.querySelectorAll("
                                 "'#serialVirtualPortPage select option'));"
                                 " return o.filter(function(x) { return !x.disabled; }).map(function(x) {"
                                 "  return x.value + (x.selected ? '*' : ''); }).join(','); })()"))
        .toString();
}

bool formOpen(WindowDriver &driver)
{
    return !driver.hasClass(side + QStringLiteral(" .form-container"), QStringLiteral("closed"));
}
} // namespace

// The virtual serial ports side page on the real page and controller: ports made and removed with the
// setupc.exe stand-in, its tours, its way in and out.
class TestSidePage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void opensInSight_data();
    void opensInSight();
    void unknownDeviceIconDoesNothing();
    void toursFollowTheirTriggers();
    void portsFillAndFree();

private:
    TestEnvironment *m_environment = nullptr;
    // Runs the stand-ins from a temporary working directory, as the program finds them.
    SerialTestRig *m_rig = nullptr;
};

void TestSidePage::initTestCase()
{
    installConnectionWarningCheck();
}

void TestSidePage::init()
{
    m_environment = new TestEnvironment;
    m_rig = new SerialTestRig;
    QVERIFY(m_rig->isValid());
    PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    StoredSettings::setToursSeen(1, 1);
}

void TestSidePage::cleanup()
{
    delete m_rig;
    m_rig = nullptr;
    delete m_environment;
    m_environment = nullptr;
}

void TestSidePage::opensInSight_data()
{
    QTest::addColumn<bool>("scrolled");
    QTest::addColumn<int>("deviceId");
    QTest::newRow("list at its top") << false << 1001;
    QTest::newRow("list scrolled to its end") << true << 1016;
}

void TestSidePage::opensInSight()
{
    QFETCH(bool, scrolled);
    QFETCH(int, deviceId);
    StoredSettings::setToursSeen(2, 4);
    PortalSession::storeLastDomainIdOpened(deviceId - 900);
    PortalSession session;
    QVERIFY(session.start(PortalSession::longData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(driver.waitFor(noAnimation));
    if (scrolled) {
        QVERIFY(driver
                    .evaluate(QStringLiteral("var page = document.querySelector('.page');"
                                             " page.scrollTop = page.scrollHeight; page.scrollTop > 200"))
                    .toBool());
    }
    const double scrollTop = driver.evaluate(QStringLiteral("document.querySelector('.page').scrollTop")).toDouble();
    QVERIFY(driver.waitFor(inSight(settingsIcon(deviceId))));

    QVERIFY(driver.mouseClick(settingsIcon(deviceId)));
    QVERIFY(driver.waitFor(slided));
    QVERIFY(driver.waitFor(noAnimation));
    QCOMPARE(driver.text(side + QStringLiteral(" .side-header .name")), QStringLiteral("Unit %1").arg(deviceId - 1000));
    for (const char *part : {" .side-header", " .icon-back", " .icon-create-new"}) {
        QVERIFY2(driver.evaluate(inSight(side + QLatin1String(part))).toBool(), part);
    }
    // The list is out of sight, and the page area shows nothing else than the side page.
    QVERIFY(!driver.evaluate(inSight(settingsIcon(deviceId))).toBool());

    // Back, with the mouse: the list returns where the user left it.
    QVERIFY(driver.mouseClick(side + QStringLiteral(" .icon-back")));
    QVERIFY(driver.waitFor(QStringLiteral("!") + slided));
    QVERIFY(driver.hasClass(side + QStringLiteral(" .virtual-serial-ports-container"), QStringLiteral("closed")));
    QVERIFY(!formOpen(driver));
    QVERIFY(driver.waitFor(noAnimation));
    QCOMPARE(driver.evaluate(QStringLiteral("document.querySelector('.page').scrollTop")).toDouble(), scrollTop);
    QVERIFY(driver.evaluate(inSight(settingsIcon(deviceId))).toBool());
    QVERIFY(!driver.evaluate(inSight(side + QStringLiteral(" .icon-back"))).toBool());
}

void TestSidePage::unknownDeviceIconDoesNothing()
{
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    // The list the screen was drawn from no longer holds the device whose row is still shown.
    QVERIFY(
        driver
            .evaluate(QStringLiteral("window.pageErrors = [];"
                                     " window.addEventListener('error', function(e) { pageErrors.push(e.message); });"
                                     " domains.list.forEach(function(d) { d.devices = (d.devices || [])"
                                     "  .filter(function(x) { return x.id !== 101; }); }); true"))
            .toBool());
    QVERIFY(driver.click(settingsIcon(101)));
    QVERIFY(driver.waitForProgram());
    QVERIFY(driver.waitFor(noAnimation));
    QVERIFY(!driver.evaluate(slided).toBool());
    QCOMPARE(driver
                 .evaluate(QStringLiteral("document.querySelector('#serialVirtualPortPage .side-header')"
                                          ".getAttribute('data-id')"))
                 .toString(),
             QString());
    QCOMPARE(driver.evaluate(QStringLiteral("window.pageErrors.join('|')")).toString(), QString());
    // A device still listed opens as usual.
    QVERIFY(openSidePage(driver, 103));
    QCOMPARE(driver.text(side + QStringLiteral(" .side-header .name")), QStringLiteral("Gateway"));
}

void TestSidePage::toursFollowTheirTriggers()
{
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    {
        WindowDriver driver;
        QVERIFY(driver.openOnDomainsScreen());
        QVERIFY(openSidePage(driver, 101));
        QVERIFY(driver.evaluate(watchOverlay).toBool());

        // No ports yet: the second tour explains the list. The add icon is inside it and ignores clicks meanwhile.
        QVERIFY(driver.waitForTourStep(QStringLiteral("In this area are displayed all virtual ports")));
        QCOMPARE(driver.text(side + QStringLiteral(" .empty-list")), QStringLiteral("Add a new virtual serial port"));
        QTRY_VERIFY(!storedTourFlag(2));
        QVERIFY(driver.click(side + QStringLiteral(" .icon-create-new")));
        QVERIFY(driver.waitForProgram());
        QVERIFY(!formOpen(driver));
        QVERIFY(storedTourFlag(3));
        QVERIFY(closeStep(driver));

        // The add icon opens the form, and the third tour explains it; its Create button ignores clicks meanwhile.
        QVERIFY(driver.click(side + QStringLiteral(" .icon-create-new")));
        QVERIFY(formOpen(driver));
        QVERIFY(driver.waitForTourStep(QStringLiteral("Select the virtual port of device")));
        QTRY_VERIFY(!storedTourFlag(3));
        QVERIFY(driver.click(side + QStringLiteral(" .button-create")));
        QVERIFY(driver.waitForProgram());
        QCOMPARE(driver.evaluate(QStringLiteral("window.overlayChanges.length")).toInt(), 0);
        QVERIFY(closeStep(driver));

        // A creation that fails shows no tour.
        QVERIFY(m_rig->useFakeSetupc("#!/bin/sh\nexit 1\n"));
        QVERIFY(behindOverlay(driver, side + QStringLiteral(" .button-create")) >= 500);
        QVERIFY(driver.waitForProgram());
        QCOMPARE(portRows(driver), QStringList());
        QVERIFY(driver.evaluate(noTour).toBool());
        QCOMPARE(driver.evaluate(QStringLiteral("tour.step_4.to_show")).toBool(), true);
        QVERIFY(storedTourFlag(4));

        // A creation that succeeds: the fourth tour explains the new row.
        QVERIFY(m_rig->useRealSetupc());
        QVERIFY(driver
                    .evaluate(QStringLiteral("var s = document.querySelector('#serialVirtualPortPage select');"
                                             " s.value = '2'; s.dispatchEvent(new Event('change')); true"))
                    .toBool());
        QVERIFY(behindOverlay(driver, side + QStringLiteral(" .button-create")) >= 500);
        QVERIFY(driver.waitForTourStep(QStringLiteral("The virtual port has been successfully created")));
        QTRY_VERIFY(!storedTourFlag(4));
        // While a step shows, the tour keeps a copy of its target in place: read the rows once it is closed.
        QVERIFY(closeStep(driver));
        QCOMPARE(portRows(driver), controllerPorts(driver, 101));
        QCOMPARE(portRows(driver).size(), 1);
        QVERIFY(portRows(driver).constFirst().startsWith(QLatin1String("RS 485 COM")));
        QVERIFY(formOpen(driver));
        QCOMPARE(offeredTypes(driver), QStringLiteral("0*,1,3"));
        QVERIFY(driver.window()->close());
    }

    // The next run: the program rebuilds the port at login; no tour comes back, whatever the user does.
    WindowDriver again;
    QVERIFY(again.openOnDomainsScreen());
    QVERIFY(openSidePage(again, 101));
    QVERIFY(again.evaluate(watchOverlay).toBool());
    QCOMPARE(portRows(again).size(), 1);
    QVERIFY(behindOverlay(again, side + QStringLiteral(" .virtual-serial-port[data-type='2'] .remove")) >= 500);
    QCOMPARE(portRows(again), QStringList());
    QVERIFY(again.click(side + QStringLiteral(" .icon-create-new")));
    QVERIFY(behindOverlay(again, side + QStringLiteral(" .button-create")) >= 500);
    QCOMPARE(portRows(again).size(), 1);
    QVERIFY(again.waitForProgram());
    QVERIFY(again.evaluate(noTour).toBool());
    QCOMPARE(again
                 .evaluate(QStringLiteral("[tour.step_2.to_show, tour.step_3.to_show, tour.step_4.to_show]"
                                          ".join(',')"))
                 .toString(),
             QStringLiteral("true,true,true"));
}

void TestSidePage::portsFillAndFree()
{
    StoredSettings::setToursSeen(2, 4);
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(openSidePage(driver, 103));
    QVERIFY(driver.evaluate(watchOverlay).toBool());
    QVERIFY(driver.click(side + QStringLiteral(" .icon-create-new")));
    QCOMPARE(offeredTypes(driver), QStringLiteral("0*,1,2,3"));

    // Each creation takes the first free type; the form stays open while one is left.
    const QStringList offered{"1*,2,3", "2*,3", "3*", ""};
    for (int n = 0; n < 4; ++n) {
        const double overlayMs = behindOverlay(driver, side + QStringLiteral(" .button-create"));
        QVERIFY2(overlayMs >= 500, qPrintable(QString::number(overlayMs)));
        QCOMPARE(portRows(driver).size(), n + 1);
        QCOMPARE(offeredTypes(driver), offered.at(n));
        QCOMPARE(formOpen(driver), n < 3);
        QCOMPARE(driver.isShown(side + QStringLiteral(" .create-new")), n < 3);
    }
    QCOMPARE(portRows(driver), controllerPorts(driver, 103));
    QCOMPARE(m_rig->pairLines().size(), 8);
    QCOMPARE(driver.count(side + QStringLiteral(" .empty-list")), 0);

    // Removing one frees its type: the add row is back and offers that type alone.
    QVERIFY(behindOverlay(driver, side + QStringLiteral(" .virtual-serial-port[data-type='1'] .remove")) >= 500);
    QCOMPARE(portRows(driver).size(), 3);
    QCOMPARE(portRows(driver), controllerPorts(driver, 103));
    QVERIFY(!portRows(driver).join(QLatin1Char(',')).contains(QLatin1String("RS 232 B")));
    QVERIFY(driver.isShown(side + QStringLiteral(" .create-new")));
    QCOMPARE(offeredTypes(driver), QStringLiteral("1*"));
    QCOMPARE(m_rig->pairLines().size(), 6);
    QVERIFY(driver.click(side + QStringLiteral(" .icon-create-new")));
    QVERIFY(formOpen(driver));
    QVERIFY(driver.click(side + QStringLiteral(" .button-cancel")));
    QVERIFY(!formOpen(driver));
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestSidePage test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestSidePage.moc"

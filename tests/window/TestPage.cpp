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

// Every text node the user can read under the given roots, in document order (icon ligatures left out).
QString visibleTexts(const QString &roots, const QString &skipped = QStringLiteral(".material-icons, script"))
{
    return QStringLiteral("(function() { var out = [];"
                          " document.querySelectorAll(%1).forEach(function(root) {"
                          "  var walker = document.createTreeWalker(root, NodeFilter.SHOW_TEXT);"
                          "  for (var n = walker.nextNode(); n; n = walker.nextNode()) {"
                          "   var t = n.textContent.trim();"
                          "   if (t && !n.parentNode.closest(%2)) { out.push(t); } } });"
                          " return out; })()")
        .arg(WindowDriver::quote(roots), WindowDriver::quote(skipped));
}

const QString allRoots = QStringLiteral(".navbar, .main-container, .tooltip");

// A tour bubble sits inside the main container, after its target.
QString textsOutsideTour()
{
    return visibleTexts(allRoots, QStringLiteral(".material-icons, script, .anno"));
}

QStringList stringList(const QVariant &value)
{
    QStringList list;
    for (const QVariant &entry : value.toList()) {
        list << entry.toString();
    }
    return list;
}

// Clicks the language toggle and waits until only the new label is left.
bool toggleLanguage(WindowDriver &driver, const QString &label)
{
    return driver.click(QStringLiteral(".navbar .language"))
           && driver.waitFor(QStringLiteral("document.querySelectorAll('.lang-text').length === 1"
                                            " && document.querySelector('.lang-text').textContent === %1")
                                 .arg(WindowDriver::quote(label)));
}

const QString shownStep = WindowDriver::shownTourStep();

// Clicks a button of the shown step after checking its label.
bool clickTourButton(WindowDriver &driver, int index, const QString &label)
{
    return driver
        .evaluate(QStringLiteral("(function() { var b = document.querySelectorAll(%1)[%2];"
                                 " if (!b || b.textContent !== %3) { return false; } b.click(); return true; })()")
                      .arg(WindowDriver::quote(shownStep + QStringLiteral(" .anno-btn")))
                      .arg(index)
                      .arg(WindowDriver::quote(label)))
        .toBool();
}

QJsonObject hostileData()
{
    const QJsonArray devices{
        PortalSession::device(101, QStringLiteral("<img src=x onerror=\"window.injected=true\">Press"), 1, 10, 1),
        PortalSession::device(103, QStringLiteral("<script>window.injected=true</script>Gate"), 5, 10, 1)};
    return PortalSession::sampleData(
        {{QStringLiteral("name"), QStringLiteral("<b>North</b> & <i>Co</i>")}, {QStringLiteral("devices"), devices}});
}

// The sample data with its first device offline.
QJsonObject firstDeviceOffline()
{
    QJsonArray devices = PortalSession::sampleData()
                             .value(QStringLiteral("domains"))[0]
                             .toObject()
                             .value(QStringLiteral("devices"))
                             .toArray();
    devices.replace(0, PortalSession::device(101, QStringLiteral("Press 1"), 1, 10, 0));
    return PortalSession::sampleData({{QStringLiteral("devices"), devices}});
}

// Logs in from stored credentials with the first tour still to be seen, and walks it to the given step.
bool openAtTourStep(WindowDriver &driver, int step)
{
    static const char *const starts[] = {
        "This area is dedicated", "This button allows", "In this area are displayed", "Beside the name"};
    if (!driver.open() || !driver.waitForDomainsScreen() || !driver.waitForTourStep(QLatin1String(starts[0]))) {
        return false;
    }
    for (int n = 1; n < step; ++n) {
        if (!clickTourButton(driver, 1, QStringLiteral("Next")) || !driver.waitForTourStep(QLatin1String(starts[n]))) {
            return false;
        }
    }
    return true;
}

// Every colour the status row takes from now on, and every click the window sees.
const QString watchClicksEffects = QStringLiteral(
    "(function() { window.rowColours = []; var row = document.querySelector('.vpn-status-row');"
    " window.clicksSeen = 0; window.addEventListener('click', function() { window.clicksSeen += 1; }, true);"
    " new MutationObserver(function() { window.rowColours.push(row.className.replace('vpn-status-row', '').trim()); })"
    "  .observe(row, {attributes: true, attributeFilter: ['class']}); return true; })()");
const QString deviceRowMarked = QStringLiteral("!!document.querySelector('#domainsContainer .device.bg-orange')");

// The elements holding readable text that are drawn in another font than Lato (icon ligatures aside).
const QString textsNotInLato = QStringLiteral(
    "(function() { var out = [];"
    " var walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);"
    " for (var n = walker.nextNode(); n; n = walker.nextNode()) {"
    "  var e = n.parentNode;"
    "  if (!n.textContent.trim() || e.closest('.material-icons, script, style')) { continue; }"
    "  var r = e.getBoundingClientRect(), s = getComputedStyle(e);"
    "  if (r.width === 0 || r.height === 0 || s.visibility === 'hidden') { continue; }"
    "  if (s.fontFamily.replace(/[\"']/g, '').split(',')[0].trim() !== 'Lato') {"
    "   out.push(e.className + ': ' + n.textContent.trim().slice(0, 30) + ' (' + s.fontFamily + ')'); } }"
    " return out; })()");
} // namespace

// What only the page decides: translations, traffic units, escaping of portal names, tours that scroll,
// and the side page's state; on the real window, controller and a test portal on loopback.
class TestPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void languageToggleOnLoginScreen_data();
    void languageToggleOnLoginScreen();
    void languageToggleOnDomainsScreen();
    void trafficUnits_data();
    void trafficUnits();
    void portalNamesAreText();
    void tourStepScrollsTargetIntoView();
    void domainsRouteClearsSlidedSidePage();
    void portFormOffersFreeTypes_data();
    void portFormOffersFreeTypes();
    void deviceNameInSidebarAndQuickToggles();
    void tourTextIconsShow_data();
    void tourTextIconsShow();
    void tourTargetIgnoresClicks_data();
    void tourTargetIgnoresClicks();
    void everyTextInLato_data();
    void everyTextInLato();

private:
    TestEnvironment *m_environment = nullptr;
    // One window serves every row of the traffic test: they only write and read the traffic box.
    WindowDriver *m_trafficWindow = nullptr;
};

void TestPage::initTestCase()
{
    installConnectionWarningCheck();
}

void TestPage::cleanupTestCase()
{
    delete m_trafficWindow;
    m_trafficWindow = nullptr;
}

void TestPage::init()
{
    m_environment = new TestEnvironment;
}

void TestPage::cleanup()
{
    delete m_environment;
    m_environment = nullptr;
}

void TestPage::languageToggleOnLoginScreen_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("forgot");
    QTest::addColumn<QString>("nextLabel");
    QTest::addColumn<QString>("nextForgot");
    QTest::addColumn<QString>("nextFeedback");
    QTest::addColumn<QString>("nextLanguage");

    QTest::newRow("english to italian") << "en"
                                        << "EN"
                                        << "Forgot password"
                                        << "IT"
                                        << "Password dimenticata"
                                        << "Lo username è vuoto"
                                        << "it";
    QTest::newRow("italian to english") << "it"
                                        << "IT"
                                        << "Password dimenticata"
                                        << "EN"
                                        << "Forgot password"
                                        << "Username is empty"
                                        << "en";
    // A language without a table reads English and counts as the first entry of the toggle.
    QTest::newRow("unknown language reads english") << "de"
                                                    << "EN"
                                                    << "Forgot password"
                                                    << "IT"
                                                    << "Password dimenticata"
                                                    << "Lo username è vuoto"
                                                    << "it";
}

void TestPage::languageToggleOnLoginScreen()
{
    QFETCH(QString, stored);
    QFETCH(QString, label);
    QFETCH(QString, forgot);
    QFETCH(QString, nextLabel);
    QFETCH(QString, nextForgot);
    QFETCH(QString, nextFeedback);
    QFETCH(QString, nextLanguage);
    StoredSettings::setValue(QStringLiteral("orv/language"), stored);

    WindowDriver driver;
    QVERIFY(driver.openOnLoginScreen());
    QVERIFY(driver.waitForStart());
    QCOMPARE(driver.text(QStringLiteral(".lang-text")), label);
    QCOMPARE(driver.text(QStringLiteral("button.forgot-password")), forgot);
    if (QLatin1String(QTest::currentDataTag()) == QLatin1String("english to italian")) {
        QVERIFY(driver.saveScreenshot(QStringLiteral("login.png")));
    }

    // A message shown before the switch follows it.
    QVERIFY(driver.click(QStringLiteral("#loginContainer button.login")));
    QVERIFY(
        driver.waitFor(QStringLiteral("document.querySelector('.form-row-feedback').classList.contains('bg-red')")));
    QVERIFY(toggleLanguage(driver, nextLabel));
    QCOMPARE(driver.text(QStringLiteral("button.forgot-password")), nextForgot);
    QCOMPARE(driver.text(QStringLiteral(".form-row-feedback")), nextFeedback);
    QCOMPARE(driver.text(QStringLiteral(".form-title")), QStringLiteral("Login"));
    QCOMPARE(driver.evaluate(QStringLiteral("app.language")).toString(), nextLanguage);
    QTRY_COMPARE(StoredSettings::value(QStringLiteral("orv/language")).toString(), nextLanguage);
}

void TestPage::languageToggleOnDomainsScreen()
{
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    // Fresh settings: the first tour is open, and a connect icon's tooltip is shown.
    QVERIFY(driver.waitForTourStep(QStringLiteral("This area is dedicated")));
    QVERIFY(driver
                .evaluate(QStringLiteral("document.querySelector('#domainsContainer .connect')"
                                         ".dispatchEvent(new MouseEvent('mouseenter')); true"))
                .toBool());
    QVERIFY(
        driver.waitFor(QStringLiteral("document.querySelector('.tooltip-inner')"
                                      " && document.querySelector('.tooltip-inner').textContent === 'Start the VPN'")));

    const QStringList english = stringList(driver.evaluate(textsOutsideTour()));
    const QStringList englishWithTour = stringList(driver.evaluate(visibleTexts(allRoots)));
    QVERIFY(english.contains(QStringLiteral("Not connected")));
    QVERIFY(englishWithTour.contains(QStringLiteral("Skip")));

    QVERIFY(toggleLanguage(driver, QStringLiteral("IT")));
    const QStringList italian = stringList(driver.evaluate(visibleTexts(allRoots)));
    for (const char *text : {"Non connesso",
                             "Seleziona un dispositivo",
                             "Connetti",
                             "Nessun dispositivo registrato",
                             "Indietro",
                             "Crea una nuova porta seriale virtuale",
                             "Tipo",
                             "Annulla",
                             "Crea",
                             "Salta",
                             "Avanti",
                             "Avvia la VPN",
                             "Press 1",
                             "Plant North",
                             "Bytes"}) {
        QVERIFY2(italian.contains(QString::fromUtf8(text)), text);
    }
    // No text whose Italian differs is left in English (tour texts with markup included).
    const QStringList untranslated = stringList(
        driver.evaluate(QStringLiteral("(function() { var en = resources.en.translation, it = resources.it.translation;"
                                       " return Object.keys(en).filter(function(k) { return en[k] !== it[k]; })"
                                       "  .map(function(k) { return app.normalisedHtml(en[k]); }); })()")));
    for (const QString &text : italian) {
        QVERIFY2(!untranslated.contains(text), qPrintable(text));
    }
    QCOMPARE(driver.evaluate(QStringLiteral("document.querySelector('.anno-content').innerHTML")).toString(),
             driver.evaluate(QStringLiteral("app.normalisedHtml(resources.it.translation.tour1_step1)")).toString());

    // The next step of the open tour is drawn in the new language.
    QVERIFY(clickTourButton(driver, 1, QStringLiteral("Avanti")));
    QVERIFY(driver.waitForTourStep(QStringLiteral("Questo pulsante")));
    QVERIFY(toggleLanguage(driver, QStringLiteral("EN")));
    QVERIFY(driver.waitForTourStep(QStringLiteral("This button allows")));
    QVERIFY(clickTourButton(driver, 1, QStringLiteral("Next")));
    QVERIFY(driver.waitForTourStep(QStringLiteral("In this area are displayed")));
    QVERIFY(clickTourButton(driver, 1, QStringLiteral("Next")));
    QVERIFY(driver.waitForTourStep(QStringLiteral("Beside the name")));
    QVERIFY(clickTourButton(driver, 0, QStringLiteral("Done")));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelectorAll('.anno').length === 0")));

    // Back in English, everything outside the tour reads as it did before the first switch.
    QCOMPARE(stringList(driver.evaluate(textsOutsideTour())).join(QLatin1Char('|')), english.join(QLatin1Char('|')));

    // The tooltip lies over the row above its icon: a click there goes to that row, and the tooltip goes as soon as
    // the pointer leaves its icon, even onto the tooltip itself.
    QCOMPARE(driver.evaluate(QStringLiteral("getComputedStyle(document.querySelector('.tooltip')).pointerEvents"))
                 .toString(),
             QStringLiteral("none"));
    QVERIFY(driver
                .evaluate(QStringLiteral("document.querySelector('#domainsContainer .connect').dispatchEvent("
                                         "new MouseEvent('mouseleave', {relatedTarget: document.querySelector("
                                         "'.tooltip')})); true"))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("Array.from(document.querySelectorAll('.tooltip')).every(function(t) {"
                                          " return getComputedStyle(t).display === 'none'; })")));
}

void TestPage::trafficUnits_data()
{
    QTest::addColumn<double>("bytes");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("unit");
    QTest::newRow("nothing") << 0.0 << "0"
                             << "B";
    QTest::newRow("one byte below a kilobyte") << 1023.0 << "1023"
                                               << "B";
    QTest::newRow("one kilobyte, no decimal") << 1024.0 << "1"
                                              << "kB";
    QTest::newRow("one and a half kilobytes") << 1536.0 << "1.5"
                                              << "kB";
    QTest::newRow("one byte below a megabyte rounds up") << 1048575.0 << "1"
                                                         << "MB";
    QTest::newRow("gigabytes") << 3.0 * 1024 * 1024 * 1024 << "3"
                               << "GB";
    QTest::newRow("beyond 1024 GB the unit stays") << 2048.0 * 1024 * 1024 * 1024 << "2048"
                                                   << "GB";
}

void TestPage::trafficUnits()
{
    QFETCH(double, bytes);
    QFETCH(QString, value);
    QFETCH(QString, unit);
    if (m_trafficWindow == nullptr) {
        m_trafficWindow = new WindowDriver;
        QVERIFY(m_trafficWindow->open());
        QVERIFY(m_trafficWindow->waitForStart());
        // The page's own poll would race the values written here: stop it and poll by hand.
        QVERIFY(m_trafficWindow->evaluate(QStringLiteral("clearInterval(app.trafficPoll); true")).toBool());
    }
    WindowDriver &driver = *m_trafficWindow;

    QVERIFY(driver
                .evaluate(QStringLiteral("app.showTraffic({bytesIn: %1, bytesOut: %1 + 1}); true")
                              .arg(QString::number(bytes, 'f', 0)))
                .toBool());
    QCOMPARE(driver.text(QStringLiteral(".vpn-stats .stats-in .value")), value);
    QCOMPARE(driver.text(QStringLiteral(".vpn-stats .stats-in .unit")), unit);

    // The poll reads the real controller, which answers zeros while no tunnel runs.
    QVERIFY(driver.evaluate(QStringLiteral("app.pollTraffic(); true")).toBool());
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.vpn-stats .stats-in .value').textContent === '0'"
                                          " && document.querySelector('.vpn-stats .stats-out .unit').textContent"
                                          " === 'B'"),
                           10000));
}

void TestPage::portalNamesAreText()
{
    StoredSettings::setToursSeen(1, 4);
    PortalSession session;
    QVERIFY(session.startLoggedIn(hostileData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());

    const QString pressName = QStringLiteral("<img src=x onerror=\"window.injected=true\">Press");
    QCOMPARE(driver.text(QStringLiteral("#domainsContainer .domain[data-id='10'] .domain-name")),
             QStringLiteral("<b>North</b> & <i>Co</i>"));
    QCOMPARE(driver.text(QStringLiteral("#domainsContainer .device[data-id='101'] .name")), pressName);
    QCOMPARE(driver.text(QStringLiteral("#domainsContainer .device[data-id='103'] .name")),
             QStringLiteral("<script>window.injected=true</script>Gate"));
    QCOMPARE(driver.count(QStringLiteral("#domainsContainer img, #domainsContainer script, #domainsContainer b")), 0);

    // The status tip of a connected device and the side page's header show the name as text too.
    QVERIFY(QMetaObject::invokeMethod(OrvDriver::vpnOf(driver.window()->orv), "onConnected", Q_ARG(int, 101)));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.vpn-status-row').classList.contains('bg-green')")));
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), pressName);
    QCOMPARE(driver.count(QStringLiteral(".status-tip *")), 0);
    QCOMPARE(driver.count(QStringLiteral("#domainsContainer .device[data-id='101'] img")), 1);
    QCOMPARE(driver
                 .evaluate(QStringLiteral("document.querySelector(\"#domainsContainer .device[data-id='101'] img\")"
                                          ".getAttribute('src')"))
                 .toString(),
             QStringLiteral("/img/shield_white.svg"));

    QVERIFY(driver.click(QStringLiteral("#domainsContainer .device[data-id='101'] .settings")));
    QVERIFY(
        driver.waitFor(QStringLiteral("document.querySelector('.main-container .page').classList.contains('slided')")));
    QCOMPARE(driver.text(QStringLiteral("#serialVirtualPortPage .side-header .name")), pressName);
    QCOMPARE(driver.count(QStringLiteral("#serialVirtualPortPage .side-header img")), 0);
    QCOMPARE(driver.evaluate(QStringLiteral("typeof window.injected")).toString(), QStringLiteral("undefined"));
}

void TestPage::tourStepScrollsTargetIntoView()
{
    StoredSettings::setToursSeen(1, 4);
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::longData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    // The remembered domain unfolds with a transition; the scroll must be measured on the settled layout.
    QVERIFY(driver.waitFor(QStringLiteral("document.getAnimations().length === 0")));
    const QString target = QStringLiteral("#domainsContainer .domain[data-id='116']");
    QVERIFY(driver
                .evaluate(QStringLiteral("(function() { var page = document.querySelector('.page');"
                                         " var r = document.querySelector(%1).getBoundingClientRect();"
                                         " return page.scrollTop === 0 && r.top > page.getBoundingClientRect().bottom;"
                                         " })()")
                              .arg(WindowDriver::quote(target)))
                .toBool());

    // The page's own step builder, on a header below the fold.
    QVERIFY(driver
                .evaluate(QStringLiteral("window.tourError = null;"
                                         " try { new Anno([tourStep({target: %1, key: 'tour1_step3',"
                                         " position: 'center-top', buttons: [tourButtons.done]})]).show(); }"
                                         " catch (e) { window.tourError = e.message; } true")
                              .arg(WindowDriver::quote(target)))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.page').scrollTop > 0")));
    QCOMPARE(driver.evaluate(QStringLiteral("window.tourError")), QVariant());
    QVERIFY(driver.waitFor(
        QStringLiteral("(function() { var page = document.querySelector('.page').getBoundingClientRect();"
                       " var r = document.querySelector(%1).getBoundingClientRect();"
                       " return r.top >= page.top && r.bottom <= page.bottom; })()")
            .arg(WindowDriver::quote(target))));
    QCOMPARE(driver.text(QStringLiteral(".anno-btn")), QStringLiteral("Done"));
}

void TestPage::domainsRouteClearsSlidedSidePage()
{
    StoredSettings::setToursSeen(1, 4);
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());
    QVERIFY(QMetaObject::invokeMethod(OrvDriver::vpnOf(driver.window()->orv), "onConnected", Q_ARG(int, 103)));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector(\"#domainsContainer .device[data-id='103']\")"
                                          ".classList.contains('bg-green')")));
    QVERIFY(driver.waitFor(QStringLiteral("(function() { var c = document.querySelector("
                                          "'#domainsContainer .device-container:not(.closed)');"
                                          " return c && c.getBoundingClientRect().height"
                                          " === parseFloat(c.style.maxHeight); })()")));
    // The check mark on the shield and the row's shield image are drawn.
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelectorAll('#vpn_shield g path').length === 2"
                                          " && document.querySelectorAll('#vpn_shield g path')[1].getTotalLength() > 15"
                                          " && document.querySelector(\"#domainsContainer .device[data-id='103'] img\")"
                                          ".naturalWidth > 0")));
    QVERIFY(driver.saveScreenshot(QStringLiteral("domains.png")));

    QVERIFY(driver.click(QStringLiteral("#domainsContainer .device[data-id='101'] .settings")));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.main-container .page').classList.contains('slided')"
                                          " && !document.querySelector('.virtual-serial-ports-container')"
                                          ".classList.contains('closed')")));
    QVERIFY(driver.click(QStringLiteral("#serialVirtualPortPage .icon-create-new")));
    QVERIFY(driver.waitFor(QStringLiteral("getComputedStyle(document.querySelector('#serialVirtualPortPage"
                                          " .form-container')).transform === 'none'"
                                          " || getComputedStyle(document.querySelector('#serialVirtualPortPage"
                                          " .form-container')).transform === 'matrix(1, 0, 0, 1, 0, 0)'")));
    QVERIFY(driver.saveScreenshot(QStringLiteral("serial-ports.png")));

    // Log out from the side page and back in through the form: the list shows, not the side page.
    QVERIFY(driver.click(QStringLiteral(".navbar .logout")));
    QVERIFY(driver.waitForLoginScreen());
    QVERIFY(driver.logInThroughForm(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(driver.waitForDomainsScreen());
    QVERIFY(!driver.hasClass(QStringLiteral(".main-container .page"), QStringLiteral("slided")));
    QVERIFY(
        driver
            .evaluate(QStringLiteral("(function() { var page = document.querySelector('.page').getBoundingClientRect();"
                                     " return document.querySelector('#domainsContainer').getBoundingClientRect()"
                                     ".left >= page.left; })()"))
            .toBool());
}

void TestPage::portFormOffersFreeTypes_data()
{
    QTest::addColumn<QString>("ports");
    QTest::addColumn<QString>("enabled");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<bool>("addRowShown");
    QTest::newRow("no ports: every type, the first selected") << "[]"
                                                              << "0,1,2,3"
                                                              << "0" << true;
    QTest::newRow("types 0 and 2 used: RS 232 B and USB offered")
        << "[{type: 0, serialName: 'COM5'}, {type: 2, serialName: 'COM6'}]"
        << "1,3"
        << "1" << true;
    QTest::newRow("all four used: add row hidden")
        << "[{type: 0, serialName: 'COM5'}, {type: 1, serialName: 'COM6'}, {type: 2, serialName: 'COM7'},"
           " {type: 3, serialName: 'COM8'}]"
        << ""
        << "" << false;
}

void TestPage::portFormOffersFreeTypes()
{
    QFETCH(QString, ports);
    QFETCH(QString, enabled);
    QFETCH(QString, selected);
    QFETCH(bool, addRowShown);
    StoredSettings::setToursSeen(1, 4);
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());

    // The list as the controller would give it, drawn by the page's own template; the form open beforehand.
    QVERIFY(
        driver
            .evaluate(
                QStringLiteral(
                    "(function() { var ports = %1;"
                    " document.querySelector('#serialVirtualPortPage .form-container').classList.remove('closed');"
                    " document.querySelector('#serialVirtualPortPage .column').innerHTML ="
                    "  _.template($('script#virtualSerialPortsTemplate').html(), {variable: 'data'})({ports: ports});"
                    " domains.offerFreeTypes(ports); return true; })()")
                    .arg(ports))
            .toBool());
    const QString options =
        QStringLiteral("Array.from(document.querySelectorAll('#serialVirtualPortPage select option'))");
    QCOMPARE(driver
                 .evaluate(options
                           + QStringLiteral(".filter(function(o) { return !o.disabled; })"
                                            ".map(function(o) { return o.value; }).join(',')"))
                 .toString(),
             enabled);
    QCOMPARE(driver
                 .evaluate(options
                           + QStringLiteral(".filter(function(o) { return o.selected && !o.disabled; })"
                                            ".map(function(o) { return o.value; }).join(',')"))
                 .toString(),
             selected);
    QCOMPARE(driver
                 .evaluate(QStringLiteral("getComputedStyle(document.querySelector('#serialVirtualPortPage"
                                          " .create-new')).display !== 'none'"))
                 .toBool(),
             addRowShown);
    QCOMPARE(driver.hasClass(QStringLiteral("#serialVirtualPortPage .form-container"), QStringLiteral("closed")),
             !addRowShown);
    QCOMPARE(driver.count(QStringLiteral("#serialVirtualPortPage .virtual-serial-port.empty-list")),
             ports == QLatin1String("[]") ? 1 : 0);
}

// A device named like a table text keeps its name through a language switch; two quick clicks on the toggle
// still leave one label, for the language the page ends in.
void TestPage::deviceNameInSidebarAndQuickToggles()
{
    StoredSettings::setToursSeen(1, 4);
    const QJsonArray devices{PortalSession::device(101, QStringLiteral("Back"), 1, 10, 1)};
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData({{QStringLiteral("devices"), devices}})));
    WindowDriver driver;
    QVERIFY(driver.openOnDomainsScreen());

    QVERIFY(QMetaObject::invokeMethod(OrvDriver::vpnOf(driver.window()->orv), "onConnected", Q_ARG(int, 101)));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelector('.vpn-status-row').classList.contains('bg-green')")));
    QVERIFY(toggleLanguage(driver, QStringLiteral("IT")));
    QCOMPARE(driver.text(QStringLiteral(".status-tip")), QStringLiteral("Back"));
    QCOMPARE(driver.text(QStringLiteral(".status-desc")), QStringLiteral("Connesso"));

    QVERIFY(driver
                .evaluate(QStringLiteral("document.querySelector('.navbar .language').click();"
                                         " document.querySelector('.navbar .language').click(); true"))
                .toBool());
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelectorAll('.lang-text').length === 1")));
    QCOMPARE(driver.text(QStringLiteral(".lang-text")), QStringLiteral("IT"));
    QCOMPARE(driver.evaluate(QStringLiteral("app.language")).toString(), QStringLiteral("it"));
}

void TestPage::tourTextIconsShow_data()
{
    QTest::addColumn<bool>("firstOffline");
    QTest::newRow("first device online") << false;
    QTest::newRow("first device offline") << true;
}

// The last step's bubble sits inside the first device row, whose rules hide some icons.
void TestPage::tourTextIconsShow()
{
    QFETCH(bool, firstOffline);
    PortalSession session;
    QVERIFY(session.startLoggedIn(firstOffline ? firstDeviceOffline() : PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(openAtTourStep(driver, 4));
    QCOMPARE(driver.hasClass(QStringLiteral("#domainsContainer .device[data-id='101']"), QStringLiteral("offline")),
             firstOffline);
    for (const char *icon : {".offline-string", "i.connect", "i.web-ui", "i.settings"}) {
        QVERIFY2(driver.isShown(shownStep + QStringLiteral(" .anno-content ") + QLatin1String(icon)), icon);
    }
    QCOMPARE(
        stringList(
            driver.evaluate(visibleTexts(shownStep + QStringLiteral(" .anno-content"), QStringLiteral("script"))))
            .mid(1, 4)
            .join(QLatin1Char(',')),
        QStringLiteral("OFFLINE,: the device is not connected to the VPN,link,: the device is online. It's possible "
                       "to establish the VPN clicking on this button"));
}

void TestPage::tourTargetIgnoresClicks_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("clicked");
    QTest::addColumn<bool>("byMouse");

    const QString power = QStringLiteral("#vpn-shield-container .power-button");
    QTest::newRow("step 1, the power button inside the sidebar, by mouse") << 1 << power << true;
    QTest::newRow("step 2, the power button itself") << 2 << power << false;
    QTest::newRow("step 2, the power button, by mouse") << 2 << power << true;
    QTest::newRow("step 4, the first row's connect icon")
        << 4 << QStringLiteral("#domainsContainer .device[data-id='101'] .connect") << false;
}

void TestPage::tourTargetIgnoresClicks()
{
    QFETCH(int, step);
    QFETCH(QString, clicked);
    QFETCH(bool, byMouse);
    PortalSession session;
    QVERIFY(session.startLoggedIn(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(openAtTourStep(driver, step));
    const QString stepText = driver.text(shownStep + QStringLiteral(" .anno-content"));
    QVERIFY(driver.evaluate(watchClicksEffects).toBool());

    QVERIFY(byMouse ? driver.mouseClick(clicked) : driver.click(clicked));
    // A mouse click reaches the page on its own way: see it arrive before looking at its effects.
    QVERIFY(driver.waitFor(QStringLiteral("window.clicksSeen === 1")));
    QVERIFY(driver.waitForProgram());
    QCOMPARE(driver.evaluate(QStringLiteral("window.rowColours.join(',')")).toString(), QString());
    QVERIFY(!driver.evaluate(deviceRowMarked).toBool());
    QCOMPARE(driver.text(shownStep + QStringLiteral(" .anno-content")), stepText);

    // Once the tour is closed the same click goes through: the sidebar turns orange.
    QVERIFY(clickTourButton(driver, 0, step == 4 ? QStringLiteral("Done") : QStringLiteral("Skip")));
    QVERIFY(driver.waitFor(QStringLiteral("document.querySelectorAll('.anno').length === 0")));
    QVERIFY(byMouse ? driver.mouseClick(clicked) : driver.click(clicked));
    QVERIFY(driver.waitFor(QStringLiteral("window.rowColours.indexOf('bg-orange') >= 0")));
}

void TestPage::everyTextInLato_data()
{
    QTest::addColumn<QString>("screen");
    QTest::newRow("login screen with a message") << "login";
    QTest::newRow("domains screen with a tour step and a tooltip") << "domains";
    QTest::newRow("side page with its form and the last tour") << "side page";
    QTest::newRow("administrator screen") << "administrator";
}

void TestPage::everyTextInLato()
{
    QFETCH(QString, screen);
    StoredSettings::setToursSeen(2, 3);
    if (screen != QLatin1String("login")) {
        PortalSession::storeCredentials(QStringLiteral("alice"), QStringLiteral("secret"));
    }
    PortalSession session;
    QVERIFY(session.start(PortalSession::sampleData()));
    WindowDriver driver;
    QVERIFY(driver.open());
    if (screen == QLatin1String("login")) {
        QVERIFY(driver.waitForLoginScreen());
        QVERIFY(driver.click(QStringLiteral("#loginContainer button.login")));
        QVERIFY(driver.waitFor(
            QStringLiteral("document.querySelector('.form-row-feedback').classList.contains('bg-red')")));
    } else if (screen == QLatin1String("administrator")) {
        QVERIFY(driver.waitForDomainsScreen());
        QVERIFY(driver.evaluate(QStringLiteral("root.showPage(true); true")).toBool());
    } else {
        QVERIFY(driver.waitForTourStep(QStringLiteral("This area is dedicated")));
        QVERIFY(driver
                    .evaluate(QStringLiteral("document.querySelector('#domainsContainer .connect')"
                                             ".dispatchEvent(new MouseEvent('mouseenter')); true"))
                    .toBool());
        QVERIFY(driver.waitFor(QStringLiteral("!!document.querySelector('.tooltip-inner')")));
        if (screen == QLatin1String("side page")) {
            QVERIFY(clickTourButton(driver, 0, QStringLiteral("Skip")));
            QVERIFY(driver.waitFor(QStringLiteral("document.querySelectorAll('.anno').length === 0")));
            QVERIFY(driver.click(QStringLiteral("#domainsContainer .device[data-id='101'] .settings")));
            QVERIFY(
                driver.waitFor(QStringLiteral("!!document.querySelector('#serialVirtualPortPage .icon-create-new')")));
            QVERIFY(driver.click(QStringLiteral("#serialVirtualPortPage .icon-create-new")));
            QVERIFY(driver.evaluate(QStringLiteral("tour.step_4.show(); true")).toBool());
            QVERIFY(driver.waitForTourStep(QStringLiteral("The virtual port has been")));
        }
    }
    QCOMPARE(stringList(driver.evaluate(textsNotInLato)), QStringList());
}

int main(int argc, char *argv[])
{
    prepareWebEngineTestProcess();
    QApplication app(argc, argv);
    TestPage test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestPage.moc"

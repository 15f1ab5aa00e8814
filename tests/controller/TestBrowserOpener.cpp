#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "controller/BrowserOpener.h"
#include "controller/Orv.h"
#include "core/UserDesktop.h"
#include "tests/support/HostileFolder.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/UrlRecorder.h"

namespace
{
constexpr int waitMs = 10000;
const char *const userVariables[] = {"SUDO_UID", "PKEXEC_UID"};

// What the opener should run with: the user's ids and groups, as the user database has them.
QStringList expectedIdentity(uid_t uid)
{
    const passwd *entry = getpwuid(uid);
    if (!entry) {
        return {};
    }
    int count = 64;
    QVector<gid_t> groups(count);
    if (getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &count) < 0) {
        return {};
    }
    QStringList names;
    for (int i = 0; i < count; ++i) {
        names.append(QString::number(groups.at(i)));
    }
    std::sort(names.begin(), names.end());
    return {QString::number(uid),
            QString::number(entry->pw_gid),
            names.join(QLatin1Char(' ')),
            QString::fromLocal8Bit(entry->pw_dir)};
}
} // namespace

// The browser started for the user the program runs for, never as root.
class TestBrowserOpener : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void opensAsInvokingUser_data();
    void opensAsInvokingUser();
    void controllerOpensAsInvokingUser();
    void deviceWebAddress_data();
    void deviceWebAddress();

private:
    QStringList runStandIn(const std::function<void()> &open, bool *opened);

    QTemporaryDir *m_dir = nullptr;
    QString m_output;
    UrlRecorder m_desktop;
    int m_inheritableFd = -1;
};

void TestBrowserOpener::initTestCase()
{
    installConnectionWarningCheck();
    if (geteuid() != 0) {
        QSKIP("needs root: the opener drops to another user");
    }
    QVERIFY(getpwuid(HostileFolder::foreignUid()));
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_desktop, "open");
    // A descriptor without close-on-exec, as a library might leave one: it must not reach the user's browser.
    m_inheritableFd = open("/dev/null", O_RDONLY);
    QVERIFY(m_inheritableFd >= 0);
}

void TestBrowserOpener::cleanupTestCase()
{
    if (m_inheritableFd >= 0) {
        close(m_inheritableFd);
    }
}

void TestBrowserOpener::init()
{
    for (const char *name : userVariables) {
        qunsetenv(name);
    }
    qputenv("LUMENBRIDGE_ROOT_ONLY", "1");
    m_desktop.urls.clear();
    // The stand-in and its output must be reachable by the other user.
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    QCOMPARE(chmod(QFile::encodeName(m_dir->path()).constData(), 0755), 0);
    m_output = m_dir->filePath(QStringLiteral("identity"));
    const QString script = m_dir->filePath(QStringLiteral("opener"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("#!/bin/sh\n"
                              "groups=$(id -G | tr ' ' '\\n' | sort | tr '\\n' ' ')\n"
                              "if [ -e /proc/self/fd/%1 ]; then fd=inherited; else fd=closed; fi\n"
                              "printf '%s\\n' \"$(id -u)\" \"$(id -g)\" \"${groups% }\" \"$HOME\""
                              " \"${LUMENBRIDGE_ROOT_ONLY:-absent}\" \"$fd\" \"$1\" \"$XAUTHORITY\""
                              " \"$XDG_CURRENT_DESKTOP\" \"$XDG_SESSION_TYPE\" > %2\n")
                   .arg(m_inheritableFd)
                   .arg(m_output)
                   .toUtf8());
    file.close();
    QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                | QFileDevice::ReadOther | QFileDevice::ExeOther));
    QFile output(m_output);
    QVERIFY(output.open(QIODevice::WriteOnly));
    output.close();
    QCOMPARE(chown(QFile::encodeName(m_output).constData(), HostileFolder::foreignUid(), 0), 0);
    BrowserOpener::setProgramForTests(script);
}

void TestBrowserOpener::cleanup()
{
    BrowserOpener::setProgramForTests(QString());
    for (const char *name : userVariables) {
        qunsetenv(name);
    }
    delete m_dir;
    m_dir = nullptr;
}

// The stand-in's report: uid, gid, groups, HOME, the root-only variable, the descriptor, the address, the display's
// authority file and the desktop's names.
QStringList TestBrowserOpener::runStandIn(const std::function<void()> &open, bool *opened)
{
    *opened = false;
    open();
    QStringList lines;
    const auto read = [&] {
        QFile output(m_output);
        lines = output.open(QIODevice::ReadOnly) ? QString::fromUtf8(output.readAll()).split(QLatin1Char('\n'))
                                                 : QStringList();
        return lines.size() == 11;
    };
    *opened = QTest::qWaitFor(read, waitMs);
    return lines.mid(0, 10);
}

void TestBrowserOpener::opensAsInvokingUser_data()
{
    QTest::addColumn<QByteArray>("sudoUid");
    QTest::addColumn<QByteArray>("pkexecUid");
    QTest::addColumn<QString>("outcome");
    const QByteArray other = QByteArray::number(HostileFolder::foreignUid());
    QTest::newRow("sudo") << other << QByteArray() << "user";
    QTest::newRow("pkexec") << QByteArray() << other << "user";
    QTest::newRow("both naming the same user") << other << other << "user";
    // Root's own session: root's browser, still without the program's descriptors.
    QTest::newRow("root's own session") << QByteArray() << QByteArray() << "root";
    QTest::newRow("root elevated by root") << QByteArray("0") << QByteArray() << "root";
    // An environment that names no valid user opens nothing: never a browser as root.
    QTest::newRow("not a number") << QByteArray("abc") << QByteArray() << "refused";
    QTest::newRow("empty") << QByteArray("") << QByteArray() << "refused";
    QTest::newRow("negative") << QByteArray("-1") << QByteArray() << "refused";
    QTest::newRow("trailing text") << other + "x" << QByteArray() << "refused";
    QTest::newRow("leading blank") << " " + other << QByteArray() << "refused";
    QTest::newRow("too large") << QByteArray("99999999999") << QByteArray() << "refused";
    QTest::newRow("the no-user id") << QByteArray("4294967295") << QByteArray() << "refused";
    QTest::newRow("no such user") << QByteArray("3999999999") << QByteArray() << "refused";
    QTest::newRow("two different users") << other << QByteArray("0") << "refused";
    // The page's debugging port is root's alone: no process of another user may join the program's network.
    QTest::newRow("the page's debugging on") << other << QByteArray() << "refused while debugging";
}

void TestBrowserOpener::opensAsInvokingUser()
{
    QFETCH(QByteArray, sudoUid);
    QFETCH(QByteArray, pkexecUid);
    QFETCH(QString, outcome);
    // An empty variable is still set; a null one is not.
    if (!sudoUid.isNull()) {
        qputenv("SUDO_UID", sudoUid);
    }
    if (!pkexecUid.isNull()) {
        qputenv("PKEXEC_UID", pkexecUid);
    }
    if (outcome == QLatin1String("refused while debugging")) {
        qputenv("QTWEBENGINE_REMOTE_DEBUGGING", "127.0.0.1:9222");
    }
    // As a start for a user leaves them: the user's file and the desktop's names set aside, root's copy in use.
    const QByteArray aside = UserDesktop::prefix;
    qputenv((aside + "XAUTHORITY").constData(), "/home/user/.Xauthority");
    qputenv((aside + "XDG_CURRENT_DESKTOP").constData(), "ubuntu:GNOME");
    qputenv((aside + "XDG_SESSION_TYPE").constData(), "x11");
    qputenv("XAUTHORITY", "/run/lumenbridge-runtime/0/xauthority-root");
    const QUrl url(QStringLiteral("https://10.8.0.5"));
    LogCapture log;
    bool result = false;
    if (outcome.startsWith(QLatin1String("refused"))) {
        result = BrowserOpener::open(url);
        qunsetenv("QTWEBENGINE_REMOTE_DEBUGGING");
        QVERIFY(!result);
        QVERIFY(m_desktop.urls.isEmpty());
        // Nothing was started: the refusal is decided before any process exists.
        QCOMPARE(QFileInfo(m_output).size(), 0);
        QCOMPARE(log.texts().filter(QStringLiteral("Browser not opened: ")).size(), 1);
        return;
    }
    bool opened = false;
    const QStringList report = runStandIn([&] { result = BrowserOpener::open(url); }, &opened);
    QVERIFY(result);
    QVERIFY(opened);
    const uid_t uid = outcome == QLatin1String("root") ? 0 : HostileFolder::foreignUid();
    QCOMPARE(report.mid(0, 4), expectedIdentity(uid));
    if (outcome == QLatin1String("user")) {
        QVERIFY(!report.at(2).split(QLatin1Char(' ')).contains(QStringLiteral("0")));
        QCOMPARE(report.at(4), QStringLiteral("absent"));
    }
    QCOMPARE(report.at(5), QStringLiteral("closed"));
    QCOMPARE(report.at(6), QStringLiteral("https://10.8.0.5"));
    // The user's browser reads the user's own file; root's own keeps root's.
    QCOMPARE(report.at(7),
             outcome == QLatin1String("user") ? QStringLiteral("/home/user/.Xauthority")
                                              : QStringLiteral("/run/lumenbridge-runtime/0/xauthority-root"));
    QCOMPARE(report.mid(8), (QStringList{QStringLiteral("ubuntu:GNOME"), QStringLiteral("x11")}));
    QVERIFY(m_desktop.urls.isEmpty());
}

void TestBrowserOpener::controllerOpensAsInvokingUser()
{
    TestEnvironment environment;
    qputenv("SUDO_UID", QByteArray::number(HostileFolder::foreignUid()));
    Orv orv;
    bool opened = false;
    const QStringList report = runStandIn([&] { orv.forgotPassword(); }, &opened);
    QVERIFY(opened);
    QCOMPARE(report.mid(0, 4), expectedIdentity(HostileFolder::foreignUid()));
    QCOMPARE(report.at(6), Api::baseAddress() + QStringLiteral("/auth//forgot"));
    QVERIFY(m_desktop.urls.isEmpty());
}

void TestBrowserOpener::deviceWebAddress_data()
{
    QTest::addColumn<QString>("vpnIp");
    QTest::addColumn<QString>("opened"); // empty: nothing is opened

    QTest::newRow("an address") << "10.8.0.5"
                                << "https://10.8.0.5";
    QTest::newRow("an address and a port") << "10.8.0.5:8443"
                                           << "https://10.8.0.5:8443";
    QTest::newRow("a host name") << "device.example"
                                 << "https://device.example";
    QTest::newRow("a user part hiding another host") << "10.8.0.5@evil.example"
                                                     << "";
    QTest::newRow("a path") << "10.8.0.5/../admin"
                            << "";
    QTest::newRow("a query") << "10.8.0.5?next=https://evil.example"
                             << "";
    QTest::newRow("a fragment") << "evil.example#10.8.0.5"
                                << "";
    QTest::newRow("blanks") << "10.8.0.5 --new-window"
                            << "";
    QTest::newRow("empty") << ""
                           << "";
}

// The device's address is the portal's word: only a plain https address of the device's host is opened.
void TestBrowserOpener::deviceWebAddress()
{
    QFETCH(QString, vpnIp);
    QFETCH(QString, opened);

    TestEnvironment environment;
    StoredSettings::setDomains(
        QJsonArray{QJsonObject{{"id", 1},
                               {"name", "plant"},
                               {"vpn_enable", 1},
                               {"devices", QJsonArray{PortalSession::deviceAt(5, 1, 1, vpnIp)}}}});
    Orv orv;
    LogCapture log;
    if (opened.isEmpty()) {
        orv.openDeviceWebUI(5);
        QCOMPARE(QFileInfo(m_output).size(), 0);
        QVERIFY(log.contains(LogCapture::line("Orv::openDeviceWebUI", QStringLiteral("Device web address refused"))));
    } else {
        bool started = false;
        const QStringList report = runStandIn([&] { orv.openDeviceWebUI(5); }, &started);
        QVERIFY(started);
        QCOMPARE(report.at(6), opened);
    }
    QVERIFY(m_desktop.urls.isEmpty());
}

QTEST_MAIN(TestBrowserOpener)

#include "TestBrowserOpener.moc"

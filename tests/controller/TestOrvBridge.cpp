#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "controller/BrowserOpener.h"
#include "controller/Orv.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PortalSession.h"
#include "tests/support/StoredSettings.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/UrlRecorder.h"

class TestOrvBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void publishedInterface();
    void getAllPageFiles_data();
    void getAllPageFiles();
    void languageFromLocaleThenSettings();
    void storedStateSlots();
    void browserUrls();
    void unknownDeviceLeavesPortsAlone();
    void statsWithoutTunnelAreZero();
    void safeConfigFileName_data();
    void safeConfigFileName();
    void restartCommandQuotesEverything_data();
    void restartCommandQuotesEverything();
    void restartWithoutShellStillQuits();
    void restartPasswordInNoCommandLine();
    void killOnlyEmits();
};

void TestOrvBridge::initTestCase()
{
    installConnectionWarningCheck();
}

// The page's whole contract: what the web channel publishes of the controller.
void TestOrvBridge::publishedInterface()
{
    TestEnvironment environment;
    Orv orv;
    const QMetaObject *meta = orv.metaObject();
    QStringList signalNames;
    int publicSlots = 0;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() == QMetaMethod::Signal) {
            QVERIFY2(publicSlots == 0, "signals come first");
            QCOMPARE(method.parameterCount(), 0);
            signalNames.append(QString::fromLatin1(method.name()));
        } else if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Public) {
            ++publicSlots;
        }
    }
    QCOMPARE(signalNames.size(), 8);
    QCOMPARE(signalNames.last(), QStringLiteral("onKill"));
    QCOMPARE(publicSlots, 37);

    // The four objects are published as nested objects, so their pointer types must be QObject pointers.
    QStringList properties;
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        properties.append(QString::fromLatin1(property.name()));
        // Read-only: nothing the page writes may replace a program object.
        QVERIFY(!property.isWritable());
        QVERIFY(!property.hasNotifySignal());
        if (property.userType() != QMetaType::QString) {
            QVERIFY2(QMetaType::typeFlags(property.userType()) & QMetaType::PointerToQObject, property.name());
            QVERIFY2(property.read(&orv).value<QObject *>(), property.name());
        }
    }
    QCOMPARE(properties, (QStringList{"api", "language", "virtualSerialPortsManager", "auth", "vpn"}));
}

void TestOrvBridge::getAllPageFiles_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("expected");
    // Name order ignoring case; only the exact suffix "js" is wrapped; a folder in the page is skipped.
    QTest::newRow("files in name order, js wrapped, JS not")
        << "testpage"
        << QString::fromUtf8("<div id=\"login\">Accesso è</div>\n"
                             "<script type='application/javascript'>console.log('B');\n</script>"
                             "var upper = 1;\n");
    QTest::newRow("page with one file") << "otherpage"
                                        << "x\n";
    QTest::newRow("missing page") << "nopage"
                                  << "";
    QTest::newRow("empty name is the pages folder itself, which holds only folders") << ""
                                                                                     << "";
}

void TestOrvBridge::getAllPageFiles()
{
    QFETCH(QString, page);
    QFETCH(QString, expected);
    TestEnvironment environment;
    Orv orv;
    QCOMPARE(orv.getAllPageFiles(page), expected);
}

void TestOrvBridge::languageFromLocaleThenSettings()
{
    TestEnvironment environment;
    const QLocale previous;
    QLocale::setDefault(QLocale(QStringLiteral("it_IT")));
    {
        Orv orv;
        QCOMPARE(orv.property("language").toString(), QStringLiteral("it"));
        orv.setLanguage(QStringLiteral("en"));
        QCOMPARE(orv.property("language").toString(), QStringLiteral("en"));
    }
    {
        Orv orv;
        QCOMPARE(orv.property("language").toString(), QStringLiteral("en"));
    }
    QLocale::setDefault(previous);
}

void TestOrvBridge::storedStateSlots()
{
    TestEnvironment environment;
    {
        Orv orv;
        QCOMPARE(orv.getLastDomainIdOpened(), -1);
        QVERIFY(orv.tour2IsNeeded());
        orv.tour2IsNotNeeded();
        orv.setLastDomainIdOpened(17);
        QVERIFY(!orv.tour2IsNeeded());
        QVERIFY(orv.tour1IsNeeded());
        QVERIFY(orv.tour3IsNeeded());
        QVERIFY(orv.tour4IsNeeded());
    }
    // A new run sees what the last one stored.
    Orv orv;
    QCOMPARE(orv.getLastDomainIdOpened(), 17);
    QVERIFY(!orv.tour2IsNeeded());
    QVERIFY(orv.tour1IsNeeded());
    orv.tour4IsNotNeeded();
    QVERIFY(!orv.tour4IsNeeded());
    QVERIFY(orv.tour3IsNeeded());
}

void TestOrvBridge::browserUrls()
{
    TestEnvironment environment;
    const QJsonArray devices{PortalSession::deviceAt(10, 1, 1, QStringLiteral("10.8.0.5")),
                             PortalSession::deviceAt(11, 1, 0, QStringLiteral("10.8.0.6"))};
    StoredSettings::setDomains({QJsonObject{{"id", 1}, {"name", "d"}, {"vpn_enable", 1}, {"devices", devices}}});
    StoredSettings::setValue(QStringLiteral("portal/base_address"), QStringLiteral("https://127.0.0.1:1/"));
    UrlRecorder recorder;
    BrowserOpener::setProgramForTests(recorder.program());
    Orv orv;
    orv.openDeviceWebUI(11);
    orv.openDeviceWebUI(999);
    orv.openDeviceWebUI(10);
    orv.forgotPassword();
    BrowserOpener::setProgramForTests(QString());

    // The offline and the unknown device open nothing: the two opened come from the last two calls.
    QStringList opened = recorder.opened(2);
    std::sort(opened.begin(), opened.end());
    QCOMPARE(opened,
             (QStringList{QStringLiteral("https://10.8.0.5"), QStringLiteral("https://127.0.0.1:1/auth//forgot")}));
}

void TestOrvBridge::unknownDeviceLeavesPortsAlone()
{
    TestEnvironment environment;
    Orv orv;
    QVERIFY(!orv.create(0, 999));
    QVERIFY(!orv.destroyVirtualSerialPort(999, 0));
    QCOMPARE(orv.getVirtualSerialPortsByDeviceIdJson(999), QJsonArray());
    QCOMPARE(orv.getDeviceByIdJson(999), QJsonArray());
    QCOMPARE(orv.getDomainsJson(), QJsonArray());
}

void TestOrvBridge::statsWithoutTunnelAreZero()
{
    TestEnvironment environment;
    Orv orv;
    const QJsonObject stats = orv.getVpnStatsJson();
    const QStringList keys{"bytesIn", "bytesOut", "lastPacketReceived", "packetsIn", "packetsOut"};
    QCOMPARE(stats.keys(), keys);
    for (const QString &key : keys) {
        QVERIFY2(stats.value(key).isDouble(), qPrintable(key));
        QCOMPARE(stats.value(key).toInt(-1), 0);
    }
}

void TestOrvBridge::safeConfigFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("profile") << "client.ovpn" << true;
    QTest::newRow("certificate") << "ca.crt" << true;
    QTest::newRow("dots inside a name") << "key..pem" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("parent path") << "../evil.ovpn" << false;
    QTest::newRow("absolute path") << "/etc/passwd" << false;
    QTest::newRow("sub folder") << "sub/file" << false;
    QTest::newRow("backslash parent") << "..\\evil" << false;
    QTest::newRow("drive relative") << "C:evil" << false;
    QTest::newRow("drive absolute") << "C:\\Windows\\evil" << false;
    QTest::newRow("zero character") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << false;
}

void TestOrvBridge::safeConfigFileName()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(Orv::isSafeConfigFileName(name), safe);
}

void TestOrvBridge::restartCommandQuotesEverything_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("plain") << "s3cret";
    QTest::newRow("single quote") << "it's";
    QTest::newRow("break out of the quotes") << "'; touch MARK; echo '";
    QTest::newRow("command substitution") << "$(touch MARK)";
    QTest::newRow("backticks") << "`touch MARK`";
    QTest::newRow("variables and globs") << "$HOME * ?";
    QTest::newRow("pipe and background") << "x | touch MARK & touch MARK";
    QTest::newRow("double quotes and backslashes") << "\"\\\"\\n";
    QTest::newRow("looks like an echo option") << "-n";
    QTest::newRow("empty") << "";
}

// Runs the exact command line through a real bash, with a stand-in sudo on PATH that records what it got.
void TestOrvBridge::restartCommandQuotesEverything()
{
    QFETCH(QString, password);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString marker = dir.path() + QStringLiteral("/MARK");
    password.replace(QStringLiteral("MARK"), marker);

    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("bin")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("my app's folder")));
    const QString application = dir.path() + QStringLiteral("/my app's folder/lumen $bridge");
    const QString sudo = dir.path() + QStringLiteral("/bin/sudo");
    {
        QFile script(sudo);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/bash\n"
                     "cat > \"$(dirname \"$0\")/stdin.tmp\"\n"
                     "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.tmp\"\n"
                     "mv \"$(dirname \"$0\")/stdin.tmp\" \"$(dirname \"$0\")/stdin\"\n"
                     "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/args\"\n");
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }

    const QStringList arguments = Orv::restartAsRootArguments(application);
    QCOMPARE(arguments.size(), 3);
    QCOMPARE(arguments.at(0), QStringLiteral("-c"));
    QCOMPARE(arguments.at(2), QStringLiteral("&"));

    QProcess bash;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       dir.path() + QStringLiteral("/bin:") + environment.value(QStringLiteral("PATH")));
    bash.setProcessEnvironment(environment);
    bash.setWorkingDirectory(dir.path());
    bash.start(QStringLiteral("bash"), arguments);
    QVERIFY(bash.waitForStarted(10000));
    bash.write(Orv::restartAsRootInput(password));
    bash.closeWriteChannel();
    QVERIFY(bash.waitForFinished(10000));
    QCOMPARE(bash.exitCode(), 0);

    // The stand-in sudo runs in the background; its files appear once it has read everything.
    const QString argsPath = dir.path() + QStringLiteral("/bin/args");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(argsPath), 10000);
    QFile args(argsPath);
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(args.readAll()), QStringLiteral("-k\n-S\n") + application + QLatin1Char('\n'));
    QFile input(dir.path() + QStringLiteral("/bin/stdin"));
    QVERIFY(input.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(input.readAll()), password + QLatin1Char('\n'));
    QVERIFY2(!QFile::exists(marker), "a character of the password ran as a command");
}

void TestOrvBridge::restartWithoutShellStillQuits()
{
    TestEnvironment environment;
    QTemporaryDir emptyPath;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(emptyPath.path()));
    LogCapture log;
    Orv orv;
    QSignalSpy kills(&orv, &Orv::onKill);
    orv.restartAsRoot(QStringLiteral("pw"));
    qputenv("PATH", path);
    QVERIFY(log.contains(LogCapture::line("exec_command", QStringLiteral("Restart as root..."))));
    QVERIFY(log.contains(LogCapture::line("exec_command", QStringLiteral("Fail to start detached"))));
    QCOMPARE(kills.count(), 0);
    QVERIFY(kills.wait(5000));
    QCOMPARE(kills.count(), 1);
}

// The real restart: bash on PATH, a stand-in sudo that, before it reads its input, records the command line of
// every process on the machine. The password is long enough to fill a pipe, so whoever writes it into sudo's input
// is still there, blocked, when the stand-in looks.
void TestOrvBridge::restartPasswordInNoCommandLine()
{
    TestEnvironment environment;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString marker = QStringLiteral("elevation-password-marker-");
    const QString password = marker + QString(100 * 1024, QLatin1Char('p'));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("bin")));
    {
        QFile script(dir.path() + QStringLiteral("/bin/sudo"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            "#!/bin/bash\n"
            "out=\"$(dirname \"$0\")\"\n"
            "for f in /proc/[0-9]*/cmdline; do tr '\\0' ' ' < \"$f\" 2>/dev/null; echo; done > \"$out/cmdlines\"\n"
            "printf '%s\\n' \"$@\" > \"$out/args\"\n"
            "cat > \"$out/stdin.tmp\"\n"
            "mv \"$out/stdin.tmp\" \"$out/stdin\"\n");
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.path() + QStringLiteral("/bin:")) + path);
    LogCapture log;
    Orv orv;
    QSignalSpy kills(&orv, &Orv::onKill);
    orv.restartAsRoot(password);
    qputenv("PATH", path);
    QVERIFY(log.contains(LogCapture::line("exec_command", QStringLiteral("Start detached"))));

    const QString stdinPath = dir.path() + QStringLiteral("/bin/stdin");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(stdinPath), 10000);
    QFile input(stdinPath);
    QVERIFY(input.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(input.readAll()), password + QLatin1Char('\n'));
    QFile args(dir.path() + QStringLiteral("/bin/args"));
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(args.readAll()),
             QStringLiteral("-k\n-S\n") + QCoreApplication::applicationFilePath() + QLatin1Char('\n'));
    QFile commandLines(dir.path() + QStringLiteral("/bin/cmdlines"));
    QVERIFY(commandLines.open(QIODevice::ReadOnly));
    const QString all = QString::fromUtf8(commandLines.readAll());
    QVERIFY(all.contains(QStringLiteral("sudo -k -S")));
    QVERIFY2(!all.contains(marker), "the password is on a command line");
    QVERIFY(!log.texts().join(QLatin1Char('\n')).contains(marker));
    // The kill may already have come while the stand-in was still running.
    QTRY_COMPARE_WITH_TIMEOUT(kills.count(), 1, 5000);
}

void TestOrvBridge::killOnlyEmits()
{
    TestEnvironment environment;
    Orv orv;
    OrvVpn *vpn = orv.property("vpn").value<OrvVpn *>();
    QVERIFY(vpn);
    QSignalSpy kills(&orv, &Orv::onKill);
    QSignalSpy disconnections(vpn, &OrvVpn::onDisconnected);
    orv.kill();
    QCOMPARE(kills.count(), 1);
    // Stopping the tunnel would have reported a disconnection at once, there being no worker.
    QCOMPARE(disconnections.count(), 0);
    QCOMPARE(vpn->getStatus(), 1);
}

QTEST_MAIN(TestOrvBridge)
#include "TestOrvBridge.moc"

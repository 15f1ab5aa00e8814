#include <QtTest>

#include "core/Log.h"
#include "tests/support/LogCapture.h"

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase();
    void filter_data();
    void filter();
    void lineFormat_data();
    void lineFormat();
    void shortOverloadLogsUnderAll();
};

void TestLog::init()
{
    debugLevel = 4;
    debugModule = QStringLiteral("all");
}

void TestLog::cleanupTestCase()
{
    init();
}

void TestLog::filter_data()
{
    QTest::addColumn<int>("globalLevel");
    QTest::addColumn<QString>("moduleFilter");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("module");
    QTest::addColumn<bool>("written");
    QTest::addColumn<int>("type");

    QTest::newRow("all modules, debug") << 4 << "all" << 4 << "orv_vpn" << true << int(QtDebugMsg);
    QTest::newRow("matching module") << 4 << "orv_vpn" << 4 << "orv_vpn" << true << int(QtDebugMsg);
    QTest::newRow("other module dropped") << 4 << "orv_vpn" << 4 << "http_request" << false << 0;
    QTest::newRow("module compared case-sensitively") << 4 << "ORV_vpn" << 4 << "orv_vpn" << false << 0;
    QTest::newRow("level 3 drops debug") << 3 << "all" << 4 << "orv_vpn" << false << 0;
    QTest::newRow("level 3 writes info") << 3 << "all" << 3 << "orv_vpn" << true << int(QtInfoMsg);
    QTest::newRow("level 2 is a warning") << 3 << "all" << 2 << "orv_vpn" << true << int(QtWarningMsg);
    QTest::newRow("level 1 is critical") << 3 << "all" << 1 << "orv_vpn" << true << int(QtCriticalMsg);
    QTest::newRow("global level 0 silences") << 0 << "all" << 1 << "orv_vpn" << false << 0;
    QTest::newRow("negative global level silences") << -1 << "all" << 1 << "orv_vpn" << false << 0;
    QTest::newRow("level 0 dropped") << 4 << "all" << 0 << "orv_vpn" << false << 0;
    QTest::newRow("level 5 dropped") << 4 << "all" << 5 << "orv_vpn" << false << 0;
    QTest::newRow("level -1 dropped") << 4 << "all" << -1 << "orv_vpn" << false << 0;
}

void TestLog::filter()
{
    QFETCH(int, globalLevel);
    QFETCH(QString, moduleFilter);
    QFETCH(int, level);
    QFETCH(QString, module);
    QFETCH(bool, written);
    QFETCH(int, type);

    debugLevel = globalLevel;
    debugModule = moduleFilter;
    LogCapture log;
    writeLog(level, module.toLatin1().constData(), "OrvVpn::stop", QStringLiteral("Delete worker thread"));
    const auto lines = log.lines();
    QCOMPARE(lines.size(), written ? 1 : 0);
    if (written) {
        QCOMPARE(lines.first().text, QStringLiteral("OrvVpn::stop(): \"Delete worker thread\""));
        QCOMPARE(int(lines.first().type), type);
    }
}

void TestLog::lineFormat_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("line");
    QTest::newRow("plain") << "Abort request"
                           << "HttpRequest::onTimeout(): \"Abort request\"";
    QTest::newRow("empty") << ""
                           << "HttpRequest::onTimeout(): \"\"";
    QTest::newRow("quote escaped") << "say \"hi\""
                                   << "HttpRequest::onTimeout(): \"say \\\"hi\\\"\"";
    QTest::newRow("line break escaped") << "a\nb"
                                        << "HttpRequest::onTimeout(): \"a\\nb\"";
}

void TestLog::lineFormat()
{
    QFETCH(QString, message);
    QFETCH(QString, line);
    LogCapture log;
    writeLog(4, "http_request", "HttpRequest::onTimeout", message);
    QCOMPARE(log.texts(), QStringList{line});
}

void TestLog::shortOverloadLogsUnderAll()
{
    {
        LogCapture log;
        writeLog(1, "all", QStringLiteral("Exit!"));
        QCOMPARE(log.texts(), QStringList{QStringLiteral("all(): \"Exit!\"")});
        QCOMPARE(int(log.lines().first().type), int(QtCriticalMsg));
    }
    debugModule = QStringLiteral("exec_command");
    LogCapture log;
    writeLog(1, "all", QStringLiteral("Exit!"));
    writeLog(4, "exec_command", "start", QStringLiteral("kept"));
    QCOMPARE(log.texts(), QStringList{QStringLiteral("start(): \"kept\"")});
}

QTEST_GUILESS_MAIN(TestLog)
#include "TestLog.moc"

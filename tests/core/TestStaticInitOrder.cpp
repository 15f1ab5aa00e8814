#include <cstring>

#include <QResource>
#include <QSettings>
#include <QtTest>

#include "core/Log.h"
#include "core/OrvSettingsFormat.h"
#include "core/StaticInitOrder.h"
#include "vpn/OrvVpnSignals.h"

namespace
{
// What of the program's globals is set up at one point of the static initialisation. Plain data, zero before
// any initialiser runs, so the probes below may write it whenever they run.
struct Snapshot
{
    bool taken;
    bool logFilter;
    bool relay;
    bool format;
    bool page;
};

enum Probe
{
    BeforeLogFilter,
    AfterLogFilter,
    AfterRelay,
    AfterFormat,
    AfterPage,
    ProbeCount
};

Snapshot snapshots[ProbeCount];

// The filter is a QString: before its initialiser its bytes are still all zero, and reading them then is safe.
bool logFilterSet()
{
    static const unsigned char zero[sizeof(QString)] = {};
    return std::memcmp(&debugModule, zero, sizeof(QString)) != 0 && debugModule == QLatin1String("all");
}

void take(Probe probe)
{
    snapshots[probe] = {true,
                        logFilterSet(),
                        orvVpnSignals != nullptr,
                        orvSettingsFormat != QSettings::InvalidFormat,
                        QResource(QStringLiteral(":/index.html")).isValid()};
}

// Halfway between the program's own steps, and one before the first.
[[gnu::constructor(logFilterInitPriority - 1)]] void probeBeforeLogFilter()
{
    take(BeforeLogFilter);
}

[[gnu::constructor((logFilterInitPriority + vpnSignalRelayInitPriority) / 2)]] void probeAfterLogFilter()
{
    take(AfterLogFilter);
}

[[gnu::constructor((vpnSignalRelayInitPriority + settingsFormatInitPriority) / 2)]] void probeAfterRelay()
{
    take(AfterRelay);
}

[[gnu::constructor((settingsFormatInitPriority + pageResourcesInitPriority) / 2)]] void probeAfterFormat()
{
    take(AfterFormat);
}

[[gnu::constructor(pageResourcesInitPriority + 1)]] void probeAfterPage()
{
    take(AfterPage);
}
} // namespace

// The program's globals come up before main in one fixed order, whatever order the linker gives their files.
// Linked from the same objects as the program.
class TestStaticInitOrder : public QObject
{
    Q_OBJECT

private slots:
    void order_data();
    void order();
};

void TestStaticInitOrder::order_data()
{
    QTest::addColumn<int>("probe");
    QTest::addColumn<bool>("logFilter");
    QTest::addColumn<bool>("relay");
    QTest::addColumn<bool>("format");
    QTest::addColumn<bool>("page");

    QTest::newRow("nothing before the log filter") << int(BeforeLogFilter) << false << false << false << false;
    QTest::newRow("the log filter first") << int(AfterLogFilter) << true << false << false << false;
    QTest::newRow("then the signal relay") << int(AfterRelay) << true << true << false << false;
    QTest::newRow("then the settings format") << int(AfterFormat) << true << true << true << false;
    QTest::newRow("the page's resources last") << int(AfterPage) << true << true << true << true;
}

void TestStaticInitOrder::order()
{
    QFETCH(int, probe);
    QFETCH(bool, logFilter);
    QFETCH(bool, relay);
    QFETCH(bool, format);
    QFETCH(bool, page);

    const Snapshot &snapshot = snapshots[probe];
    QVERIFY(snapshot.taken);
    QCOMPARE(snapshot.logFilter, logFilter);
    QCOMPARE(snapshot.relay, relay);
    QCOMPARE(snapshot.format, format);
    QCOMPARE(snapshot.page, page);
}

QTEST_GUILESS_MAIN(TestStaticInitOrder)
#include "TestStaticInitOrder.moc"

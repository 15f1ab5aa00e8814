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
// The program's globals that are set up, one bit each, plus a bit for "the probe ran".
enum Global
{
    LogFilter = 1,
    Relay = 2,
    Format = 4,
    Page = 8,
    Taken = 16
};

// Plain data, zero before any initialiser runs, so the probes may write it whenever they run.
int snapshots[5];

// The filter is a QString: before its initialiser its bytes are still all zero, and reading them then is safe.
bool logFilterSet()
{
    static const unsigned char zero[sizeof(QString)] = {};
    return std::memcmp(&debugModule, zero, sizeof(QString)) != 0 && debugModule == QLatin1String("all");
}

int state()
{
    return Taken | (logFilterSet() ? LogFilter : 0) | (orvVpnSignals ? Relay : 0)
           | (orvSettingsFormat >= QSettings::CustomFormat1 ? Format : 0)
           | (QResource(QStringLiteral(":/index.html")).isValid() ? Page : 0);
}

// One before the first step, then halfway between the steps, then one after the last.
[[gnu::constructor(logFilterInitPriority - 1)]] void probe0()
{
    snapshots[0] = state();
}

[[gnu::constructor((logFilterInitPriority + vpnSignalRelayInitPriority) / 2)]] void probe1()
{
    snapshots[1] = state();
}

[[gnu::constructor((vpnSignalRelayInitPriority + settingsFormatInitPriority) / 2)]] void probe2()
{
    snapshots[2] = state();
}

[[gnu::constructor((settingsFormatInitPriority + pageResourcesInitPriority) / 2)]] void probe3()
{
    snapshots[3] = state();
}

[[gnu::constructor(pageResourcesInitPriority + 1)]] void probe4()
{
    snapshots[4] = state();
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
    QTest::addColumn<int>("setUp");
    QTest::newRow("nothing before the log filter") << 0 << 0;
    QTest::newRow("the log filter first") << 1 << int(LogFilter);
    QTest::newRow("then the signal relay") << 2 << (LogFilter | Relay);
    QTest::newRow("then the settings format") << 3 << (LogFilter | Relay | Format);
    QTest::newRow("the page's resources last") << 4 << (LogFilter | Relay | Format | Page);
}

void TestStaticInitOrder::order()
{
    QFETCH(int, probe);
    QFETCH(int, setUp);
    QCOMPARE(snapshots[probe], Taken | setUp);
}

QTEST_GUILESS_MAIN(TestStaticInitOrder)
#include "TestStaticInitOrder.moc"

#include <QProcess>
#include <QtTest>

#include "tests/support/TunnelFixture.h"
#include "vpn/engine/RouteLookup.h"

// The routes are made in the test process's own network namespace (TUNNEL_TEST_MAIN), on veth links whose other
// ends stay beside them.
class TestRouteLookup : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void serversBehindDefaultGateway_data();
    void serversBehindDefaultGateway();
};

namespace
{
bool ip(const QString &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments.split(QLatin1Char(' '))) == 0;
}
} // namespace

void TestRouteLookup::cleanup()
{
    for (const char *link : {"lbrl0", "lbrl1"}) {
        QProcess::execute(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), QLatin1String(link)});
    }
}

void TestRouteLookup::serversBehindDefaultGateway_data()
{
    QTest::addColumn<QStringList>("routes"); // ip commands, once two links with their networks are up
    QTest::addColumn<QStringList>("servers");
    QTest::addColumn<bool>("behind");

    const QString byDefault = QStringLiteral("route add default via 198.51.100.1 dev lbrl0");
    QTest::newRow("server on the Internet, through the default gateway")
        << QStringList{byDefault} << QStringList{"203.0.113.7"} << true;
    QTest::newRow("no default gateway at all") << QStringList{} << QStringList{"203.0.113.7"} << false;
    QTest::newRow("server on a network of this host") << QStringList{byDefault} << QStringList{"192.0.2.9"} << false;
    QTest::newRow("server through another gateway")
        << QStringList{byDefault, "route add 203.0.113.0/24 via 192.0.2.1 dev lbrl1"} << QStringList{"203.0.113.7"}
        << false;
    QTest::newRow("one of several servers on a network of this host")
        << QStringList{byDefault} << QStringList{"203.0.113.7", "192.0.2.9"} << false;
    QTest::newRow("a name that resolves to this host") << QStringList{byDefault} << QStringList{"localhost"} << false;
    // The daemon routes an IPv6 server itself; the IPv4 route would only name a server it does not have.
    QTest::newRow("an IPv6 server") << QStringList{byDefault} << QStringList{"fd52:3::2"} << false;
    QTest::newRow("an IPv6 server beside one through the default gateway")
        << QStringList{byDefault} << QStringList{"fd52:3::2", "203.0.113.7"} << true;
}

// The daemon's host route to the server goes through the default gateway: right only when the server is reached
// that way now, or it would be cut off (a server on the host's own network, as the demo's is).
void TestRouteLookup::serversBehindDefaultGateway()
{
    QFETCH(QStringList, routes);
    QFETCH(QStringList, servers);
    QFETCH(bool, behind);
    REQUIRE_TUNNELS();

    QVERIFY(ip(QStringLiteral("link add lbrl0 type veth peer name lbrl0p"))
            && ip(QStringLiteral("link add lbrl1 type veth peer name lbrl1p")));
    QVERIFY(ip(QStringLiteral("link set lbrl0p up")) && ip(QStringLiteral("link set lbrl1p up")));
    QVERIFY(ip(QStringLiteral("addr add 198.51.100.2/24 dev lbrl0")) && ip(QStringLiteral("link set lbrl0 up")));
    QVERIFY(ip(QStringLiteral("addr add 192.0.2.2/24 dev lbrl1")) && ip(QStringLiteral("link set lbrl1 up")));
    for (const QString &route : routes) {
        QVERIFY2(ip(route), qPrintable(route));
    }
    std::vector<std::string> hosts;
    for (const QString &server : servers) {
        hosts.push_back(server.toStdString());
    }
    QCOMPARE(RouteLookup::serversBehindDefaultGateway(hosts) == RouteLookup::ServerRoute::ThroughDefaultGateway,
             behind);
}

TUNNEL_TEST_MAIN(TestRouteLookup, QCoreApplication)
#include "TestRouteLookup.moc"

#include <cstdio>
#include <memory>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QRandomGenerator>

#include "tools/testportal/TestPortal.h"

namespace
{
// A big account for the benchmarks: `count` domains of 10 to 50 devices each, the same for the same count. Every
// third device starts offline; reply n of the domain list flips the online state of the devices whose position in
// the list is n modulo 10, so each reload brings a tenth of the devices changed.
class GeneratedAccount
{
public:
    explicit GeneratedAccount(int count)
    {
        // The types the program offers (it hides type 2), half of them with serial ports.
        const int deviceTypes[] = {0, 1, 3, 5};
        QRandomGenerator random{quint32(count)};
        int position = 0;
        for (int d = 1; d <= count; ++d) {
            const int devices = int(random.bounded(10, 51));
            QJsonArray list;
            for (int k = 0; k < devices; ++k, ++position) {
                list.append(QJsonObject{
                    {"id", d * 100 + k},
                    {"name", QStringLiteral("Device %1-%2").arg(d).arg(k)},
                    {"type", deviceTypes[position % 4]},
                    {"domain_id", d},
                    {"data_delivery_enable", position % 2},
                    {"remote_access_enable", 1},
                    {"vpn_status", position % 3 == 0 ? 0 : 1},
                    {"vpn_ip", QStringLiteral("10.%1.%2.%3").arg(d / 250 % 250).arg(d % 250).arg(k + 1)},
                    {"api_key", QString::number(random.generate64(), 16) + QString::number(random.generate64(), 16)}});
            }
            // One domain in ten offers no VPN, as on a real account.
            m_domains.append(QJsonObject{{"id", d},
                                         {"name", QStringLiteral("Site %1").arg(d)},
                                         {"vpn_enable", d % 10 == 0 ? 0 : 1},
                                         {"devices", list}});
        }
    }

    QJsonObject data() const
    {
        return {{"users", QJsonArray{QJsonObject{{"username", "demo"}, {"password", "demo-password"}}}},
                {"domains", m_domains}};
    }

    // The size of a domain-list reply, as the portal sends it.
    int replyBytes() const
    {
        return QJsonDocument(QJsonObject{{"domains", m_domains}}).toJson(QJsonDocument::Compact).size();
    }

    void flipTenth(int reply)
    {
        int position = 0;
        for (int d = 0; d < m_domains.size(); ++d) {
            QJsonObject domain = m_domains.at(d).toObject();
            QJsonArray devices = domain.value(QLatin1String("devices")).toArray();
            for (int k = 0; k < devices.size(); ++k, ++position) {
                if (position % 10 == reply % 10) {
                    QJsonObject device = devices.at(k).toObject();
                    device.insert(QStringLiteral("vpn_status"), 1 - device.value(QLatin1String("vpn_status")).toInt());
                    devices.replace(k, device);
                }
            }
            domain.insert(QStringLiteral("devices"), devices);
            m_domains.replace(d, domain);
        }
    }

private:
    QJsonArray m_domains;
};
} // namespace

// Serves the test portal until killed; prints "port <n>" once it listens (and "reply-bytes <n>", the size of the
// domain-list reply, for a generated account).
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumenbridge-testportal"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("HTTPS test portal on loopback"));
    parser.addHelpOption();
    const QCommandLineOption dataOption(
        QStringLiteral("data"), QStringLiteral("JSON data file."), QStringLiteral("file"));
    const QCommandLineOption certOption(QStringLiteral("cert"),
                                        QStringLiteral("Server certificate (PEM)."),
                                        QStringLiteral("file"),
                                        TestPortal::serverCertificatePath());
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("Server private key (PEM)."),
                                       QStringLiteral("file"),
                                       TestPortal::serverKeyPath());
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Address to listen on."),
                                          QStringLiteral("address"),
                                          QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("Port, 0 for any free one."), QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption deviceKeyOption(
        QStringLiteral("device-key"),
        QStringLiteral("Play a device: serve only its remote-access call with this key."),
        QStringLiteral("key"));
    const QCommandLineOption devicePortOption(QStringLiteral("device-port"),
                                              QStringLiteral("The device's remote-access TCP port to report."),
                                              QStringLiteral("n"),
                                              QStringLiteral("4001"));
    const QCommandLineOption generateOption(
        QStringLiteral("generate-domains"),
        QStringLiteral("Serve the user demo/demo-password an account of n generated domains, a tenth of the devices"
                       " changing their online state with every domain-list reply."),
        QStringLiteral("n"));
    parser.addOptions({dataOption,
                       certOption,
                       keyOption,
                       listenOption,
                       portOption,
                       deviceKeyOption,
                       devicePortOption,
                       generateOption});
    parser.process(application);

    TestPortal portal;
    if (!portal.setCertificate(parser.value(certOption), parser.value(keyOption))) {
        std::fprintf(stderr, "%s\n", qPrintable(portal.errorString()));
        return 1;
    }
    if (parser.isSet(dataOption) && !portal.loadData(parser.value(dataOption))) {
        std::fprintf(stderr, "%s\n", qPrintable(portal.errorString()));
        return 1;
    }
    std::unique_ptr<GeneratedAccount> account;
    if (parser.isSet(generateOption)) {
        const int count = parser.value(generateOption).toInt();
        if (count <= 0) {
            std::fprintf(stderr, "bad --generate-domains\n");
            return 1;
        }
        account = std::make_unique<GeneratedAccount>(count);
        if (!portal.setData(account->data())) {
            std::fprintf(stderr, "%s\n", qPrintable(portal.errorString()));
            return 1;
        }
        int replies = 0;
        QObject::connect(&portal, &TestPortal::requestAnswered, &portal, [&portal, &account, &replies](int index) {
            const TestPortal::Request request = portal.requests().value(index);
            if (request.route == TestPortal::Route::Domains && request.status == 200) {
                account->flipTenth(replies++);
                (void)portal.setData(account->data());
            }
        });
    }
    if (parser.isSet(deviceKeyOption)) {
        portal.setDeviceMode(parser.value(deviceKeyOption), parser.value(devicePortOption).toInt());
    }
    const QHostAddress address(parser.value(listenOption));
    bool portIsNumber = false;
    const uint port = parser.value(portOption).toUInt(&portIsNumber);
    if (address.isNull() || !portIsNumber || port > 65535) {
        std::fprintf(stderr, "bad --listen or --port\n");
        return 1;
    }
    if (!portal.start(address, static_cast<quint16>(port))) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(portal.errorString()));
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned int>(portal.port()));
    if (account) {
        std::printf("reply-bytes %d\n", account->replyBytes());
    }
    std::fflush(stdout);
    return QCoreApplication::exec();
}

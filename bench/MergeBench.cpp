// The domain-list merge of a reload: N domains of 50 devices, 10 % of the devices changed since the last list.
//   replyHandled   the controller's whole answer to a domain-list reply, entered where the portal's reply enters
//                  it: parse, merge into the kept records, store the list, hand it to the serial-port manager
//   parseAndStore  the same reply's parse and store without the merge: the part of replyHandled that is not merge
//   replyUnchanged the same with a reply equal to the list already merged and stored (a quiet reload)
//   parseOnly      QJsonDocument::fromJson of the same reply's bytes: the anchor the handled reply is held to
//   updateDevices  the records' own per-domain merge (OrvDomain::updateDevices) over every domain
// Each from 100 to 10,000 domains, in microseconds.
#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "controller/Orv.h"
#include "core/Log.h"
#include "core/OrvSettings.h"
#include "core/OrvSettingsFormat.h"
#include "records/OrvDevice.h"
#include "records/OrvDomain.h"

namespace
{
constexpr int devicesPerDomain = 50;
// Every tenth device differs between the two lists.
constexpr int changedEvery = 10;
// Types the controller keeps (it hides type 2).
constexpr int deviceTypes[] = {1, 3, 4, 5};

// Each benchmark stores into a settings file of its own: the store reads the file it replaces, so an earlier
// benchmark's larger file must not be the one read.
void useFreshSettingsFolder(const benchmark::State &state, const char *name)
{
    static QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("%1-%2").arg(QLatin1String(name)).arg(state.range(0)));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder));
}

QJsonObject device(int domain, int index, bool changed)
{
    const int id = domain * 1000 + index;
    return {{"id", id},
            {"name", QStringLiteral("Device %1 of plant %2%3").arg(index).arg(domain).arg(changed ? " (moved)" : "")},
            {"type", deviceTypes[index % 4]},
            {"domain_id", domain},
            {"data_delivery_enable", index % 2},
            {"remote_access_enable", 1},
            {"vpn_status", (index % 3 == 0) != changed ? 1 : 0},
            {"vpn_ip", QStringLiteral("10.8.%1.%2").arg(domain % 256).arg(index + 2)},
            {"api_key", QStringLiteral("%1").arg(id, 32, 16, QLatin1Char('0'))}};
}

// The portal's domain list; `variant` 1 changes every tenth device of variant 0.
QJsonArray domainList(int domains, int variant)
{
    QJsonArray list;
    for (int d = 0; d < domains; ++d) {
        QJsonArray devices;
        for (int i = 0; i < devicesPerDomain; ++i) {
            devices.append(device(d, i, variant == 1 && i % changedEvery == 0));
        }
        list.append(QJsonObject{
            {"id", d}, {"name", QStringLiteral("Plant %1").arg(d)}, {"vpn_enable", 1}, {"devices", devices}});
    }
    return list;
}

QString replyBody(int domains, int variant)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{"domains", domainList(domains, variant)}}).toJson(QJsonDocument::Compact));
}

QList<OrvDomain *> records(const QJsonArray &list)
{
    QList<OrvDomain *> domains;
    for (const QJsonValue &value : list) {
        domains.append(OrvDomain::fromJson(value.toObject()));
    }
    return domains;
}

void freeRecords(QList<OrvDomain *> &domains)
{
    for (OrvDomain *domain : qAsConst(domains)) {
        domain->clearDevices();
        delete domain;
    }
    domains.clear();
}

void replyHandled(benchmark::State &state)
{
    const int domains = int(state.range(0));
    const QString bodies[2] = {replyBody(domains, 0), replyBody(domains, 1)};
    useFreshSettingsFolder(state, "reply");
    Orv orv;
    // The first list is loaded before timing: every timed reply then merges into a full list.
    QMetaObject::invokeMethod(
        &orv, "loadDomainsSuccess", Qt::DirectConnection, Q_ARG(int, 200), Q_ARG(QString, bodies[0]));
    if (orv.getDomainsJson().size() != domains) {
        state.SkipWithError("the controller did not take the list");
        return;
    }
    int next = 1;
    for (auto _ : state) {
        QMetaObject::invokeMethod(
            &orv, "loadDomainsSuccess", Qt::DirectConnection, Q_ARG(int, 200), Q_ARG(QString, bodies[next]));
        next = 1 - next;
    }
    orv.stopReloadDomainsTimer();
    state.counters["devices"] = double(domains) * devicesPerDomain;
}

void replyUnchanged(benchmark::State &state)
{
    const int domains = int(state.range(0));
    const QString body = replyBody(domains, 1);
    useFreshSettingsFolder(state, "unchanged");
    Orv orv;
    QMetaObject::invokeMethod(&orv, "loadDomainsSuccess", Qt::DirectConnection, Q_ARG(int, 200), Q_ARG(QString, body));
    if (orv.getDomainsJson().size() != domains) {
        state.SkipWithError("the controller did not take the list");
        return;
    }
    for (auto _ : state) {
        QMetaObject::invokeMethod(
            &orv, "loadDomainsSuccess", Qt::DirectConnection, Q_ARG(int, 200), Q_ARG(QString, body));
    }
    orv.stopReloadDomainsTimer();
    state.counters["devices"] = double(domains) * devicesPerDomain;
}

void parseOnly(benchmark::State &state)
{
    const QByteArray body = replyBody(int(state.range(0)), 1).toUtf8();
    for (auto _ : state) {
        benchmark::DoNotOptimize(QJsonDocument::fromJson(body));
    }
    state.counters["devices"] = double(state.range(0)) * devicesPerDomain;
}

void parseAndStore(benchmark::State &state)
{
    const int domains = int(state.range(0));
    const QString body = replyBody(domains, 1);
    useFreshSettingsFolder(state, "store");
    // As in replyHandled, every timed store replaces a stored list of the same size.
    {
        QList<OrvDomain *> first = records(domainList(domains, 0));
        QSettings::setDefaultFormat(orvSettingsFormat);
        OrvSettings settings;
        settings.setDomains(first);
        freeRecords(first);
    }
    for (auto _ : state) {
        const QJsonDocument document = QJsonDocument::fromJson(body.toUtf8());
        QList<OrvDomain *> fresh = records(document.object().value(QLatin1String("domains")).toArray());
        {
            QSettings::setDefaultFormat(orvSettingsFormat);
            OrvSettings settings;
            settings.setDomains(fresh);
        }
        freeRecords(fresh);
    }
    state.counters["devices"] = double(domains) * devicesPerDomain;
}

void updateDevices(benchmark::State &state)
{
    const int domains = int(state.range(0));
    const QJsonArray lists[2] = {domainList(domains, 0), domainList(domains, 1)};
    QList<OrvDomain *> kept = records(lists[0]);
    int next = 1;
    for (auto _ : state) {
        state.PauseTiming();
        QList<OrvDomain *> fresh = records(lists[next]);
        state.ResumeTiming();
        for (int d = 0; d < domains; ++d) {
            kept.at(d)->updateDevices(fresh.at(d)->devices);
            fresh.at(d)->devices.clear();
        }
        state.PauseTiming();
        freeRecords(fresh);
        next = 1 - next;
        state.ResumeTiming();
    }
    const bool merged = kept.size() == domains && kept.first()->devices.size() == devicesPerDomain;
    freeRecords(kept);
    if (!merged) {
        state.SkipWithError("the records did not merge");
    }
    state.counters["devices"] = double(domains) * devicesPerDomain;
}
} // namespace

// Size by size, each row right after its anchor: the heap a 10,000-domain run leaves behind slows what follows.
BENCHMARK(parseOnly)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(replyHandled)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(parseAndStore)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(updateDevices)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(parseOnly)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(replyHandled)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(replyUnchanged)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(parseAndStore)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(updateDevices)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(parseOnly)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(replyHandled)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(replyUnchanged)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(parseAndStore)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(updateDevices)->Arg(10000)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumenbridge"));
    // Settings, profiles and the serial bridge the controller unpacks go into a folder of our own.
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    QDir::setCurrent(dir.path());
    debugLevel = 0;

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#include <QCoreApplication>
#include <QFile>
#include <QPoint>
#include <QSettings>
#include <QSize>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "core/OrvSettingsFormat.h"

namespace
{
constexpr int portCount = 20;

// The domain list as the settings store keeps it: the records' JSON numbers as doubles, and strings.
QVariantList domainList(int domainCount, int devicesPerDomain)
{
    QVariantList domains;
    for (int d = 0; d < domainCount; ++d) {
        QVariantList devices;
        for (int i = 0; i < devicesPerDomain; ++i) {
            const int id = d * 1000 + i;
            devices.append(
                QVariantMap{{QStringLiteral("id"), double(id)},
                            {QStringLiteral("name"), QStringLiteral("Device %1 of plant %2").arg(i).arg(d)},
                            {QStringLiteral("type"), double(i % 6)},
                            {QStringLiteral("domain_id"), double(d)},
                            {QStringLiteral("data_delivery_enable"), double(i % 2)},
                            {QStringLiteral("remote_access_enable"), 1.0},
                            {QStringLiteral("vpn_status"), double(i % 3 == 0)},
                            {QStringLiteral("vpn_ip"), QStringLiteral("10.8.%1.%2").arg(d % 256).arg(i + 2)},
                            {QStringLiteral("api_key"), QStringLiteral("%1").arg(id, 32, 16, QLatin1Char('0'))}});
        }
        domains.append(QVariantMap{{QStringLiteral("id"), double(d)},
                                   {QStringLiteral("name"), QStringLiteral("Plant %1").arg(d)},
                                   {QStringLiteral("vpn_enable"), 1.0},
                                   {QStringLiteral("devices"), devices}});
    }
    return domains;
}

// A store as a busy user's file holds it: 50 domains of 20 devices, 20 virtual ports and every other key.
QSettings::SettingsMap realisticStore()
{
    QVariantList ports;
    for (int p = 0; p < portCount; ++p) {
        ports.append(QVariantMap{{QStringLiteral("baudRate"), 2.0},
                                 {QStringLiteral("dataBit"), 3.0},
                                 {QStringLiteral("stopBit"), 0.0},
                                 {QStringLiteral("parity"), 0.0},
                                 {QStringLiteral("type"), double(p % 4)},
                                 {QStringLiteral("deviceId"), double(p * 1000)},
                                 {QStringLiteral("serialName"), QStringLiteral("COM%1").arg(p + 2)},
                                 {QStringLiteral("raw"), 1.0},
                                 {QStringLiteral("echo"), 0.0},
                                 {QStringLiteral("terminator"), 0.0}});
    }
    return {{QStringLiteral("window/size"), QSize(900, 700)},
            {QStringLiteral("window/pos"), QPoint(310, 190)},
            {QStringLiteral("orv/language"), QStringLiteral("en")},
            {QStringLiteral("orv/tour1"), false},
            {QStringLiteral("orv/tour2"), false},
            {QStringLiteral("orv/tour3"), false},
            {QStringLiteral("orv/tour4"), false},
            {QStringLiteral("vpn/last_device_id"), 12003},
            {QStringLiteral("auth/username"), QStringLiteral("operator@plant.example")},
            {QStringLiteral("auth/password"), QStringLiteral("correct horse battery staple")},
            {QStringLiteral("auth/last_username"), QStringLiteral("operator@plant.example")},
            {QStringLiteral("domains"), domainList(50, 20)},
            {QStringLiteral("last_domain_id_opened"), 12},
            {QStringLiteral("virtual_serial_ports"), ports}};
}

// The large case: the domain list alone, 1,000 domains of 50 devices.
QSettings::SettingsMap largeStore()
{
    return {{QStringLiteral("domains"), domainList(1000, 50)}};
}

// One round trip: a settings object writes the whole store and is destroyed (which writes the file); a fresh one
// reads it back. QSettings keeps the parsed map of every file it has seen in the process and skips the read while
// size and modification time are unchanged, so the written file is renamed to a path never used before and the
// reader opens that one: its read really parses the file. The rename (one system call) is part of the timing.
void roundTrip(benchmark::State &state, QSettings::Format format, const QSettings::SettingsMap &store)
{
    const int domainCount = store.value(QStringLiteral("domains")).toList().size();
    QTemporaryDir dir;
    quint64 iteration = 0;
    qint64 fileSize = 0;
    for (auto _ : state) {
        const QString written = dir.filePath(QStringLiteral("w%1").arg(iteration));
        const QString read = dir.filePath(QStringLiteral("r%1").arg(iteration));
        ++iteration;
        {
            QSettings settings(written, format);
            for (auto it = store.constBegin(); it != store.constEnd(); ++it) {
                settings.setValue(it.key(), it.value());
            }
        }
        if (!QFile::rename(written, read)) {
            state.SkipWithError("rename failed");
            break;
        }
        QSettings settings(read, format);
        const QVariantList domains = settings.value(QStringLiteral("domains")).toList();
        if (settings.status() != QSettings::NoError || domains.size() != domainCount) {
            state.SkipWithError("the store did not read back");
            break;
        }
        benchmark::DoNotOptimize(domains);
        fileSize = QFile(read).size();
        QFile::remove(read);
    }
    state.counters["file_bytes"] = double(fileSize);
}

void encryptedFormat(benchmark::State &state)
{
    roundTrip(state, orvSettingsFormat, realisticStore());
}

void iniFormat(benchmark::State &state)
{
    roundTrip(state, QSettings::IniFormat, realisticStore());
}

void largeEncryptedFormat(benchmark::State &state)
{
    roundTrip(state, orvSettingsFormat, largeStore());
}

void largeIniFormat(benchmark::State &state)
{
    roundTrip(state, QSettings::IniFormat, largeStore());
}
} // namespace

BENCHMARK(encryptedFormat)->Unit(benchmark::kMillisecond);
BENCHMARK(iniFormat)->Unit(benchmark::kMillisecond);
BENCHMARK(largeEncryptedFormat)->Unit(benchmark::kMillisecond);
BENCHMARK(largeIniFormat)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

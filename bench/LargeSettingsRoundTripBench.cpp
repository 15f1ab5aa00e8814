// The settings round trip with a large store: 1,000 domains of 50 devices in the encrypted format against Qt's INI
// format. One round trip writes the whole store through a settings object and reads it back through a fresh one.
#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "core/OrvSettingsFormat.h"

namespace
{
constexpr int domainCount = 1000;
constexpr int devicesPerDomain = 50;

// The records as the settings store keeps them: JSON numbers as doubles, and strings.
QVariantList largeDomainList()
{
    QVariantList domains;
    for (int d = 0; d < domainCount; ++d) {
        QVariantList devices;
        for (int i = 0; i < devicesPerDomain; ++i) {
            const int id = d * 1000 + i;
            devices.append(
                QVariantMap{{QStringLiteral("id"), double(id)},
                            {QStringLiteral("name"), QStringLiteral("Device %1 of plant %2").arg(i).arg(d)},
                            {QStringLiteral("type"), double(1 + i % 5)},
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

// QSettings keeps every parsed file of the process and skips a read while size and time are unchanged, so the
// written file is renamed to a new path before the fresh object reads it: the read really parses.
void roundTrip(benchmark::State &state, QSettings::Format format)
{
    const QVariantList domains = largeDomainList();
    QTemporaryDir dir;
    quint64 iteration = 0;
    qint64 fileSize = 0;
    for (auto _ : state) {
        const QString written = dir.filePath(QStringLiteral("w%1").arg(iteration));
        const QString read = dir.filePath(QStringLiteral("r%1").arg(iteration));
        ++iteration;
        {
            QSettings settings(written, format);
            settings.setValue(QStringLiteral("domains"), domains);
        }
        if (!QFile::rename(written, read)) {
            state.SkipWithError("rename failed");
            break;
        }
        QSettings settings(read, format);
        const QVariantList back = settings.value(QStringLiteral("domains")).toList();
        if (settings.status() != QSettings::NoError || back.size() != domainCount
            || back.last().toMap().value(QStringLiteral("devices")).toList().size() != devicesPerDomain) {
            state.SkipWithError("the store did not read back");
            break;
        }
        benchmark::DoNotOptimize(back);
        fileSize = QFile(read).size();
        QFile::remove(read);
    }
    state.counters["file_bytes"] = double(fileSize);
}

void largeEncryptedFormat(benchmark::State &state)
{
    roundTrip(state, orvSettingsFormat);
}

void largeIniFormat(benchmark::State &state)
{
    roundTrip(state, QSettings::IniFormat);
}
} // namespace

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

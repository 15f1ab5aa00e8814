#include <QByteArray>

#include <benchmark/benchmark.h>

#include "core/BlowfishCipher.h"

// The settings cipher on the encrypted size of a 1,000 x 50 store (22 MiB, split across threads) and on buffers
// small enough to stay on the caller's thread. scripts/bench turns the times into MB/s beside openssl's figure.
namespace
{
QByteArray clearText(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 131 + (i >> 7));
    }
    return bytes;
}

void encrypt(benchmark::State &state)
{
    const QByteArray clear = clearText(static_cast<int>(state.range(0)));
    BlowfishCipher cipher("bench key of 25 bytes....");
    benchmark::DoNotOptimize(cipher.encrypted(clear.left(8)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(cipher.encrypted(clear));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void decrypt(benchmark::State &state)
{
    BlowfishCipher cipher("bench key of 25 bytes....");
    const QByteArray cipherText = cipher.encrypted(clearText(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(cipher.decrypted(cipherText));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
} // namespace

BENCHMARK(encrypt)->Arg(256 << 10)->Arg(22 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(decrypt)->Arg(256 << 10)->Arg(22 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();

#pragma once

#include <algorithm>
#include <thread>
#include <vector>

#include <QtGlobal>

// Splits CPU-bound work over a few short-lived threads and the caller's, for data nobody else touches meanwhile
// (the settings store's buffers and value trees). The caller waits for every part; nothing outlives the call.
class ParallelWork
{
public:
    static constexpr int maxParts = 4;

    // How many parts `items` items are worth, at least `minItemsPerPart` each: 1 means the caller does it all.
    static int partsFor(qsizetype items, qsizetype minItemsPerPart)
    {
        const auto hardware = static_cast<qsizetype>(std::max(1u, std::thread::hardware_concurrency()));
        const qsizetype parts = std::min<qsizetype>(std::min<qsizetype>(hardware, maxParts), items / minItemsPerPart);
        return static_cast<int>(std::max<qsizetype>(1, parts));
    }

    // Runs work(part) for every part from 0 to parts - 1; the last part on the caller's thread.
    template <typename Work>
    static void run(int parts, Work work)
    {
        std::vector<std::thread> helpers;
        helpers.reserve(static_cast<size_t>(std::max(0, parts - 1)));
        for (int part = 0; part + 1 < parts; ++part) {
            helpers.emplace_back([&work, part] { work(part); });
        }
        if (parts > 0) {
            work(parts - 1);
        }
        for (std::thread &helper : helpers) {
            helper.join();
        }
    }

    // The first item of a part when `items` items are shared out evenly.
    static qsizetype partBegin(qsizetype items, int parts, int part)
    {
        return items * part / parts;
    }
};

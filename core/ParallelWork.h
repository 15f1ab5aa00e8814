#pragma once

#include <algorithm>
#include <numeric>
#include <vector>

#include <QThread>
#include <QtConcurrentMap>

// Splits CPU-bound work into a few parts for Qt's global thread pool and the caller's thread, for data nobody else
// touches meanwhile (the settings store's buffers and value trees). A part no pool thread is free for runs on the
// caller's thread; the caller waits for every part, and nothing outlives the call.
class ParallelWork
{
public:
    static constexpr int maxParts = 4;

    // How many parts `items` items are worth, at least `minItemsPerPart` each: 1 means the caller does it all.
    static int partsFor(qsizetype items, qsizetype minItemsPerPart)
    {
        const auto processors = static_cast<qsizetype>(QThread::idealThreadCount());
        const qsizetype parts = std::min<qsizetype>(std::min<qsizetype>(processors, maxParts), items / minItemsPerPart);
        return static_cast<int>(std::max<qsizetype>(1, parts));
    }

    // Runs work(part) for every part from 0 to parts - 1.
    template <typename Work>
    static void run(int parts, Work work)
    {
        if (parts == 1) {
            work(0);
            return;
        }
        std::vector<int> indices(static_cast<size_t>(std::max(0, parts)));
        std::iota(indices.begin(), indices.end(), 0);
        QtConcurrent::blockingMap(indices, [&work](int part) { work(part); });
    }

    // The first item of a part when `items` items are shared out evenly.
    static qsizetype partBegin(qsizetype items, int parts, int part)
    {
        return items * part / parts;
    }
};

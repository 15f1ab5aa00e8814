#include "core/FreedMemory.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace
{
// Long enough for a reload's reply, its store and the page's fetch of the list to be over.
constexpr int releaseDelayMs = 2000;
// The C library's own starting threshold; it would otherwise rise with every big block freed, up to 32 MiB.
constexpr int ownMappingBytes = 128 * 1024;
} // namespace

void FreedMemory::mapLargeBlocksApart()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, ownMappingBytes);
#endif
}

void FreedMemory::releaseSoon()
{
    static QPointer<QTimer> timer;
    if (timer.isNull()) {
        if (!QCoreApplication::instance()) {
            return;
        }
        timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        timer->setInterval(releaseDelayMs);
        QObject::connect(timer, &QTimer::timeout, timer, &FreedMemory::release);
    }
    timer->start();
}

void FreedMemory::release()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

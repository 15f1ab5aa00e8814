#include "tests/support/FileRewriteCounter.h"

#include <QFile>
#include <QFileInfo>

#include <sys/inotify.h>
#include <unistd.h>

FileRewriteCounter::FileRewriteCounter(const QString &filePath)
    : m_name(QFile::encodeName(QFileInfo(filePath).fileName()))
{
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        return;
    }
    const QByteArray folder = QFile::encodeName(QFileInfo(filePath).absolutePath());
    if (inotify_add_watch(m_fd, folder.constData(), IN_CREATE | IN_MOVED_TO) < 0) {
        close(m_fd);
        m_fd = -1;
    }
}

FileRewriteCounter::~FileRewriteCounter()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool FileRewriteCounter::isValid() const
{
    return m_fd >= 0;
}

int FileRewriteCounter::count()
{
    if (m_fd < 0) {
        return -1;
    }
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t length = read(m_fd, buffer, sizeof(buffer));
        if (length <= 0) {
            break;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            if (event->mask & IN_Q_OVERFLOW) {
                m_overflowed = true;
            } else if (event->len > 0 && m_name == QByteArray(event->name)) {
                ++m_count;
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return m_overflowed ? -1 : m_count;
}

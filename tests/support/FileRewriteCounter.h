#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Counts how often a file is put in place (created, or replaced by a rename as QSaveFile does) from its
// construction on, through inotify on the file's folder, which must exist. The kernel queues every event as it
// happens, so count() is exact as soon as the writes have returned.
class FileRewriteCounter
{
    Q_DISABLE_COPY_MOVE(FileRewriteCounter)

public:
    explicit FileRewriteCounter(const QString &filePath);
    ~FileRewriteCounter();

    bool isValid() const;
    // -1 when the watch could not be set up or the event queue overflowed.
    int count();

private:
    int m_fd = -1;
    QByteArray m_name;
    int m_count = 0;
    bool m_overflowed = false;
};

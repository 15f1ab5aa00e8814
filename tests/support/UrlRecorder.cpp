#include "tests/support/UrlRecorder.h"

#include <QFile>
#include <QtTest>

namespace
{
constexpr int openedTimeoutMs = 10000;
}

UrlRecorder::UrlRecorder(QObject *parent)
    : QObject(parent)
{
    QFile script(m_folder.filePath(QStringLiteral("opener")));
    if (script.open(QIODevice::WriteOnly)) {
        script.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\n")
                         .arg(m_folder.filePath(QStringLiteral("opened")))
                         .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

QString UrlRecorder::program() const
{
    return m_folder.filePath(QStringLiteral("opener"));
}

QStringList UrlRecorder::opened(int count) const
{
    QStringList lines;
    static_cast<void>(QTest::qWaitFor(
        [&] {
            QFile file(m_folder.filePath(QStringLiteral("opened")));
            lines = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))
                                                   : QStringList();
            lines.removeAll(QString());
            return lines.size() >= count;
        },
        openedTimeoutMs));
    return lines;
}

void UrlRecorder::open(const QUrl &url)
{
    urls.append(url);
}

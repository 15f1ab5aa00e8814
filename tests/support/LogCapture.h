#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// Records every line that goes through Qt's message handler while it exists, and fails the running
// test on the warnings that betray broken string-based connections.
class LogCapture
{
    Q_DISABLE_COPY_MOVE(LogCapture)

public:
    struct Line
    {
        QtMsgType type;
        QString text;
    };

    LogCapture();
    ~LogCapture();

    QList<Line> lines() const;
    QStringList texts() const;
    bool contains(const QString &text) const;
    int count(const QString &text) const;
    void clear();

    // The line our log function writes for a message: Class::function(): "message".
    static QString line(const char *function, const QString &message);
};

// Installs the connection-warning check for the whole test run (called from the test's main or initTestCase).
void installConnectionWarningCheck();

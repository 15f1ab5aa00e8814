#include "tests/support/LogCapture.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTest>

namespace
{
QMutex mutex;
QList<LogCapture::Line> captured;
bool capturing = false;
QtMessageHandler previousHandler = nullptr;
bool checkInstalled = false;

bool isConnectionFault(const QString &message)
{
    return message.startsWith(QLatin1String("QObject::connect:")) || message.contains(QLatin1String("No such method"))
           || message.contains(QLatin1String("Cannot queue arguments"));
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&mutex);
        if (capturing) {
            captured.append({type, message});
        }
    }
    if (previousHandler) {
        previousHandler(type, context, message);
    }
    if (type == QtWarningMsg && isConnectionFault(message)) {
        // Only meaningful on the test's own thread; QFAIL elsewhere would not stop the test.
        qFatal("Broken connection: %s", qPrintable(message));
    }
}

void install()
{
    if (!checkInstalled) {
        previousHandler = qInstallMessageHandler(handler);
        checkInstalled = true;
    }
}
} // namespace

void installConnectionWarningCheck()
{
    install();
}

LogCapture::LogCapture()
{
    install();
    QMutexLocker locker(&mutex);
    captured.clear();
    capturing = true;
}

LogCapture::~LogCapture()
{
    QMutexLocker locker(&mutex);
    capturing = false;
    captured.clear();
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker locker(&mutex);
    return captured;
}

QStringList LogCapture::texts() const
{
    QStringList result;
    for (const Line &line : lines()) {
        result.append(line.text);
    }
    return result;
}

bool LogCapture::contains(const QString &text) const
{
    return count(text) > 0;
}

int LogCapture::count(const QString &text) const
{
    int n = 0;
    for (const Line &line : lines()) {
        if (line.text == text) {
            ++n;
        }
    }
    return n;
}

void LogCapture::clear()
{
    QMutexLocker locker(&mutex);
    captured.clear();
}

QString LogCapture::line(const char *function, const QString &message)
{
    return QString::fromLatin1(function) + QStringLiteral("(): \"") + message + QLatin1Char('"');
}

#include "core/Log.h"

#include <QDebug>
#include <QMessageLogger>

int debugLevel = 4;
// Initialised here, in its own translation unit, so that no other static initialiser can run before it.
QString debugModule = QStringLiteral("all");

void writeLog(int level, const char *module, const char *function, QString message)
{
    if (debugModule != QLatin1String("all") && debugModule != QLatin1String(module)) {
        return;
    }
    if (level == 0 || debugLevel <= 0 || level < 0 || level > 4 || debugLevel < level) {
        return;
    }
    const QMessageLogger logger(nullptr, 0, nullptr);
    QDebug stream = level == 4   ? logger.debug()
                    : level == 3 ? logger.info()
                    : level == 2 ? logger.warning()
                                 : logger.critical();
    stream.nospace();
    stream.noquote() << function << "(): ";
    stream.quote() << message;
}

void writeLog(int level, const char *function, QString message)
{
    writeLog(level, "all", function, std::move(message));
}

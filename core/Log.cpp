#include "core/Log.h"

#include <QDebug>
#include <QMessageLogger>

#include "core/StaticInitOrder.h"

// Static data: set before any initialiser runs.
int debugLevel = 4;
// Dynamically initialised, so marked to come first of the program's globals (core/StaticInitOrder.h).
[[gnu::init_priority(logFilterInitPriority)]] QString debugModule = QStringLiteral("all");

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

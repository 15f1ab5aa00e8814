#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QUrl>

#include <unistd.h>

#include "core/Log.h"
#include "window/MainWindow.h"
#include "window/WebengineSupervisor.h"

namespace
{
const char *const organizationName = "Orvane";
const char *const organizationDomain = "orvane.example";
const char *const applicationName = "Lumenbridge";
const char *const applicationVersion = "1.0.0";
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setOrganizationName(QString::fromLatin1(organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(organizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));

    // The web engine shares GL contexts between its views and refuses to start as root with its sandbox on;
    // the tunnel needs root on Linux, so only then is the sandbox switched off.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }

    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("helper"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption levelOption(QStringList{QStringLiteral("g"), QStringLiteral("debug-level")},
                                   QStringLiteral("Debug level"),
                                   QStringLiteral("4"),
                                   QString());
    levelOption.setDefaultValue(QStringLiteral("4"));
    parser.addOption(levelOption);
    QCommandLineOption moduleOption(QStringList{QStringLiteral("m"), QStringLiteral("debug-module")},
                                    QStringLiteral("Debug module"),
                                    QStringLiteral("all"),
                                    QString());
    moduleOption.setDefaultValue(QStringLiteral("all"));
    parser.addOption(moduleOption);
    parser.process(app);

    debugLevel = parser.value(levelOption).toInt(nullptr, 10);
    debugModule = parser.value(moduleOption);

    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(applicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));

    MainWindow window(nullptr, QUrl(QStringLiteral("qrc:/index.html")));

    auto *supervisor = new WebengineSupervisor(nullptr);
    supervisor->setApplication(&app);
    supervisor->setMainWindow(&window);

    window.show();
    window.app = &app;

    return QApplication::exec();
}

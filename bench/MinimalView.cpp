#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebEngineView>

#include <unistd.h>

#include "bench/StartupPageWait.h"

// The web engine's floor: the smallest program that shows an empty page from its resources in a web view.
// Prints "moment <epoch ms>" and "ready" once the page is complete, then stays until its standard input closes, so that
// the benchmark can read its memory in that state.
int main(int argc, char *argv[])
{
    // Fresh folders for the engine's profile, as the program's probe has.
    QTemporaryDir home;
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString path = home.path() + QLatin1Char('/') + QLatin1String(name);
        QDir().mkpath(path);
        qputenv(name, QFile::encodeName(path));
    }
    QFile::setPermissions(home.path() + QStringLiteral("/XDG_RUNTIME_DIR"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    QApplication application(argc, argv);

    QWebEngineView view;
    view.resize(900, 700);
    view.load(QUrl(QStringLiteral("qrc:/minimal/empty.html")));
    view.show();
    if (!waitForPageExpression(view.page(), QStringLiteral("document.readyState === 'complete'"), 60000)) {
        std::fprintf(stderr, "the empty page did not load\n");
        return 1;
    }
    // When the document became complete, on the page's own clock.
    std::printf(
        "moment %.3f\n",
        pageMomentEpochMs(view.page(), QStringLiteral("performance.getEntriesByType('navigation')[0].domComplete")));
    std::printf("ready\n");
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&input] {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return QApplication::exec();
}

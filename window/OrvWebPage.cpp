#include "window/OrvWebPage.h"

#include <QUrl>

#include "core/Log.h"

OrvWebPage::OrvWebPage(QObject *parent)
    : QWebEnginePage(parent)
{}

OrvWebPage::~OrvWebPage() = default;

bool OrvWebPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    Q_UNUSED(type)
    Q_UNUSED(isMainFrame)
    if (url.scheme() == QLatin1String("qrc")) {
        return true;
    }
    writeLog(2,
             "OrvWebPage::acceptNavigationRequest",
             QStringLiteral("Navigation refused: ")
                 + url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment));
    return false;
}

#include "controller/BrowserOpener.h"

#include <cerrno>
#include <string>
#include <vector>

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "core/DetachedLaunch.h"
#include "core/InvokingUser.h"
#include "core/Log.h"
#include "core/UserDesktop.h"

namespace
{
constexpr const char *logFunction = "BrowserOpener::open";

QString programForTests;

QString openerProgram()
{
    if (!programForTests.isEmpty()) {
        return programForTests;
    }
    // Never from PATH: only the system's own folders.
    return QStandardPaths::findExecutable(
        QStringLiteral("xdg-open"),
        {QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

bool ownedFolder(const std::string &path, uid_t uid)
{
    struct stat info
    {
    };

    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid;
}

// The user's own session: home, names, a fixed PATH, the session bus and runtime folder when the user has them,
// the display with the user's own authority file as the user named it, the desktop's names and the language.
// Nothing else of root's environment goes along.
std::vector<std::string> userEnvironment(const InvokingUser &user)
{
    std::vector<std::string> result{
        "HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name, "PATH=/usr/local/bin:/usr/bin:/bin"};
    const std::string runtime = "/run/user/" + std::to_string(user.uid);
    if (ownedFolder(runtime, user.uid)) {
        result.push_back("XDG_RUNTIME_DIR=" + runtime);
        result.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    }
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"}) {
        if (const char *value = getenv(name)) {
            result.push_back(std::string(name) + '=' + value);
        }
    }
    const std::vector<std::string> desktop = UserDesktop::environment();
    result.insert(result.end(), desktop.begin(), desktop.end());
    return result;
}

// Root's own (already cleaned) environment, with the desktop's names under their own names again.
std::vector<std::string> rootEnvironment()
{
    std::vector<std::string> result;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        if (!UserDesktop::keepsAside(text.substr(0, text.find('=')))) {
            result.push_back(text);
        }
    }
    for (const std::string &entry : UserDesktop::environment()) {
        // Root's own session: its XAUTHORITY is root's own and stands as it is.
        if (entry.compare(0, 11, "XAUTHORITY=") != 0) {
            result.push_back(entry);
        }
    }
    return result;
}

bool prepare(const InvokingUser &user, const QUrl &url, DetachedLaunch *launch, QString *error)
{
    const QString program = openerProgram();
    if (program.isEmpty()) {
        *error = QStringLiteral("xdg-open not found");
        return false;
    }
    launch->program = QFile::encodeName(program).toStdString();
    launch->arguments = {launch->program, url.toEncoded().toStdString()};
    if (user.kind == InvokingUser::Kind::None) {
        launch->environment = rootEnvironment();
        return true;
    }
    if (!user.groups(&launch->groups)) {
        *error = QStringLiteral("cannot list the groups of ") + QString::fromStdString(user.name);
        return false;
    }
    launch->environment = userEnvironment(user);
    launch->asUser = true;
    launch->uid = user.uid;
    launch->gid = user.gid;
    return true;
}
} // namespace

bool BrowserOpener::open(const QUrl &url)
{
    if (geteuid() != 0) {
        return QDesktopServices::openUrl(url);
    }
    const InvokingUser user = InvokingUser::fromEnvironment();
    QString error = QString::fromStdString(user.reason);
    DetachedLaunch launch;
    if (user.kind == InvokingUser::Kind::Valid && qEnvironmentVariableIsSet("QTWEBENGINE_REMOTE_DEBUGGING")) {
        // The page's debugging port is for root alone: no process of another user joins our network.
        error = QStringLiteral("the page's debugging is on");
    } else if (user.kind != InvokingUser::Kind::Invalid && prepare(user, url, &launch, &error)) {
        std::string reason;
        if (launch.start(&reason)) {
            return true;
        }
        error = QString::fromStdString(reason);
    }
    // Never fall back to a browser run as root for another user.
    writeLog(2, "all", logFunction, QStringLiteral("Browser not opened: ") + error);
    return false;
}

void BrowserOpener::setProgramForTests(const QString &program)
{
    programForTests = program;
}

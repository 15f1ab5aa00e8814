#include "controller/BrowserOpener.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/InvokingUser.h"
#include "core/Log.h"

namespace
{
constexpr const char *logFunction = "BrowserOpener::open";
constexpr int maxGroups = 65536;
constexpr int fallbackOpenMax = 65536;
constexpr int execFailedExitCode = 127;

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

// Everything the child needs, made before the fork: after it only async-signal-safe calls are allowed.
struct Launch
{
    std::string program;
    std::vector<std::string> argumentStrings;
    std::vector<std::string> environmentStrings;
    std::vector<char *> arguments;
    std::vector<char *> environment;
    std::vector<gid_t> groups;
    uid_t uid = 0;
    gid_t gid = 0;

    void seal()
    {
        for (std::string &text : argumentStrings) {
            arguments.push_back(&text[0]);
        }
        arguments.push_back(nullptr);
        for (std::string &text : environmentStrings) {
            environment.push_back(&text[0]);
        }
        environment.push_back(nullptr);
    }
};

bool ownedFolder(const std::string &path, uid_t uid)
{
    struct stat info
    {
    };

    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid;
}

// The user's own session: home, names, a fixed PATH, the session bus and runtime folder when the user has them,
// and the display variables the desktop needs. Nothing else of root's environment goes along.
std::vector<std::string> userEnvironment(const InvokingUser &user)
{
    std::vector<std::string> result{
        "HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name, "PATH=/usr/local/bin:/usr/bin:/bin"};
    const std::string runtime = "/run/user/" + std::to_string(user.uid);
    if (ownedFolder(runtime, user.uid)) {
        result.push_back("XDG_RUNTIME_DIR=" + runtime);
        result.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    }
    const char *kept[] = {"DISPLAY",
                          "WAYLAND_DISPLAY",
                          "XAUTHORITY",
                          "LANG",
                          "LANGUAGE",
                          "LC_ALL",
                          "LC_MESSAGES",
                          "XDG_CURRENT_DESKTOP",
                          "XDG_SESSION_TYPE"};
    for (const char *name : kept) {
        if (const char *value = getenv(name)) {
            result.push_back(std::string(name) + '=' + value);
        }
    }
    return result;
}

bool prepare(const InvokingUser &user, const QUrl &url, Launch *launch, QString *error)
{
    int count = 32;
    launch->groups.resize(static_cast<size_t>(count));
    while (getgrouplist(user.name.c_str(), user.gid, launch->groups.data(), &count) < 0) {
        if (count <= static_cast<int>(launch->groups.size()) || count > maxGroups) {
            *error = QStringLiteral("cannot list the groups of ") + QString::fromStdString(user.name);
            return false;
        }
        launch->groups.resize(static_cast<size_t>(count));
    }
    launch->groups.resize(static_cast<size_t>(count));

    const QString program = openerProgram();
    if (program.isEmpty()) {
        *error = QStringLiteral("xdg-open not found");
        return false;
    }
    launch->program = QFile::encodeName(program).toStdString();
    launch->argumentStrings = {launch->program, url.toEncoded().toStdString()};
    launch->environmentStrings = userEnvironment(user);
    launch->uid = user.uid;
    launch->gid = user.gid;
    launch->seal();
    return true;
}

[[noreturn]] void reportAndExit(int pipeFd)
{
    const int code = errno;
    const ssize_t written = write(pipeFd, &code, sizeof(code));
    (void)written;
    _exit(execFailedExitCode);
}

// In the grandchild, before exec: the user's identity for good, no descriptor of ours, out of our session.
[[noreturn]] void becomeUserAndExec(const Launch &launch, int pipeFd, int nullFd)
{
    setsid();
    if (setgroups(launch.groups.size(), launch.groups.data()) != 0 || setgid(launch.gid) != 0
        || setuid(launch.uid) != 0) {
        reportAndExit(pipeFd);
    }
    if (launch.uid != 0 && (setuid(0) == 0 || setgid(0) == 0)) {
        errno = EPERM;
        reportAndExit(pipeFd);
    }
    if (chdir("/") != 0 || dup2(nullFd, STDIN_FILENO) < 0) {
        reportAndExit(pipeFd);
    }
    // The tunnel's management socket and the settings file must not reach the user's browser.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        const long openMax = sysconf(_SC_OPEN_MAX);
        const int last = openMax > 0 && openMax < fallbackOpenMax ? static_cast<int>(openMax) : fallbackOpenMax;
        for (int fd = 3; fd < last; ++fd) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    execve(launch.program.c_str(), launch.arguments.data(), launch.environment.data());
    reportAndExit(pipeFd);
}

// Double fork: the opener is not our child, so nothing is left to reap; the pipe tells whether exec happened.
bool launchAsUser(const Launch &launch, QString *error)
{
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nullFd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        close(errorPipe[0]);
        close(errorPipe[1]);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(errorPipe[0]);
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            becomeUserAndExec(launch, errorPipe[1], nullFd);
        }
        if (grandchild < 0) {
            reportAndExit(errorPipe[1]);
        }
        _exit(0);
    }
    const int forkError = errno;
    close(errorPipe[1]);
    close(nullFd);
    if (child < 0) {
        close(errorPipe[0]);
        *error = QString::fromLocal8Bit(std::strerror(forkError));
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int code = 0;
    ssize_t got = 0;
    do {
        got = read(errorPipe[0], &code, sizeof(code));
    } while (got < 0 && errno == EINTR);
    close(errorPipe[0]);
    if (got > 0) {
        *error = QString::fromLocal8Bit(std::strerror(code));
        return false;
    }
    return true;
}
} // namespace

bool BrowserOpener::open(const QUrl &url)
{
    if (geteuid() != 0) {
        return QDesktopServices::openUrl(url);
    }
    const InvokingUser user = InvokingUser::fromEnvironment();
    if (user.kind == InvokingUser::Kind::None) {
        return QDesktopServices::openUrl(url);
    }
    QString error = QString::fromStdString(user.reason);
    Launch launch;
    if (user.kind == InvokingUser::Kind::Valid && prepare(user, url, &launch, &error) && launchAsUser(launch, &error)) {
        return true;
    }
    // Never fall back to a browser run as root.
    writeLog(2, "all", logFunction, QStringLiteral("Browser not opened: ") + error);
    return false;
}

void BrowserOpener::setProgramForTests(const QString &program)
{
    programForTests = program;
}

#include "app/RootEnvironment.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/InvokingUser.h"
#include "core/PrintableText.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeFolder.h"
#include "core/UserDesktop.h"

extern char **environ;

namespace
{
constexpr std::size_t maxValueBytes = 4096;
constexpr std::size_t maxWordBytes = 256;
constexpr int maxPort = 65535;
constexpr std::size_t maxPortDigits = 5;
constexpr std::size_t accountBufferBytes = 16384;
// An authority file holds a few cookies; anything larger is not one.
constexpr off_t maxAuthorityBytes = 1 << 20;
constexpr const char *rootPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char *usersFolder = "/lumenbridge-users/";
constexpr const char *debuggingVariable = "QTWEBENGINE_REMOTE_DEBUGGING";
// The names restrict() dropped, for announceDropped(), across the new start.
constexpr const char *droppedVariable = "LUMENBRIDGE_DROPPED";
// Reading the user's authority file: a child that hangs (a file on a stalled network share) is given up on.
constexpr int authorityReadTimeoutMs = 5000;
// What the child tells before the bytes: 0, or why it read nothing.
constexpr int notAnAuthorityFile = -1;
constexpr int lastScreenNameBytes = 64;
constexpr std::size_t maxScreens = 32;
constexpr std::size_t maxNumberBytes = 16;
constexpr double minScaleFactor = 0.1;
constexpr double maxScaleFactor = 10;
constexpr double minFontDpi = 10;
constexpr double maxFontDpi = 1000;

// The names the elevation tools and the shells set on every start, which the program never reads: dropped, but not
// worth a line.
const char *const quietlyDropped[] = {"TERM",       "COLORTERM", "SHELL",  "MAIL",      "USERNAME", "SUDO_COMMAND",
                                      "SUDO_HOME",  "SUDO_PS1",  "COLORS", "LS_COLORS", "HOSTNAME", "XAUTHORIZATION",
                                      "KRB5CCNAME", "PS1",       "PS2",    "LINGUAS",   "PWD",      "OLDPWD",
                                      "SHLVL",      "_"};

// The copy of the display's authority that this start made; empty when none.
std::string authorityCopy;
constexpr const char *debuggingHost = "127.0.0.1:";
// In /proc/<pid>/stat, the flags are the seventh field after the name; PF_KTHREAD marks a kernel thread.
constexpr int kernelFlagsField = 7;
constexpr unsigned long kernelThreadFlag = 0x00200000;

// Text with no control characters, of a sane length: data that only ever names something.
bool plain(const std::string &value)
{
    return value.size() <= maxValueBytes
           && std::none_of(value.begin(), value.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool onlyOf(const std::string &value, const char *others, std::size_t maxBytes = maxWordBytes)
{
    return value.size() <= maxBytes && std::all_of(value.begin(), value.end(), [others](unsigned char c) {
               return std::isalnum(c) != 0 || (c != '\0' && std::strchr(others, c) != nullptr);
           });
}

// A locale name, never a path: glibc reads locale data from a path given in its place.
bool localeName(const std::string &value)
{
    return onlyOf(value, "_.@+-:");
}

// A zone under the system's zone folder or a POSIX rule; a file of the user's would be read as the zone.
bool timeZone(const std::string &value)
{
    return onlyOf(value, "_+-,.:<>/") && value.compare(0, 1, "/") != 0 && value.compare(0, 2, ":/") != 0
           && value.find("..") == std::string::npos;
}

// A plain decimal number within [low, high]: no sign, exponent, infinity or hexadecimal form, which Qt would take
// as given and then scale the window to nothing or to billions of pixels.
bool numberWithin(const std::string &value, double low, double high)
{
    if (value.empty() || value.size() > maxNumberBytes || std::count(value.begin(), value.end(), '.') > 1
        || !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c) != 0 || c == '.'; })) {
        return false;
    }
    const double number = std::strtod(value.c_str(), nullptr);
    return number >= low && number <= high;
}

bool scaleFactor(const std::string &value)
{
    return numberWithin(value, minScaleFactor, maxScaleFactor);
}

// "factor;factor" or "screen=factor;screen=factor", one for each screen.
bool screenScaleFactors(const std::string &value)
{
    std::istringstream parts(value);
    std::string part;
    std::size_t count = 0;
    while (std::getline(parts, part, ';')) {
        const std::string::size_type equals = part.find('=');
        const std::string screen = equals == std::string::npos ? std::string() : part.substr(0, equals);
        if (++count > maxScreens || screen.size() > lastScreenNameBytes || !onlyOf(screen, "_.-")
            || !scaleFactor(equals == std::string::npos ? part : part.substr(equals + 1))) {
            return false;
        }
    }
    return count > 0;
}

bool switchValue(const std::string &value)
{
    return value == "0" || value == "1";
}

bool roundingPolicy(const std::string &value)
{
    return value == "Round" || value == "Ceil" || value == "Floor" || value == "RoundPreferFloor"
           || value == "PassThrough";
}

bool fontDpi(const std::string &value)
{
    return value.find('.') == std::string::npos && numberWithin(value, minFontDpi, maxFontDpi);
}

bool desktopWords(const std::string &value)
{
    return UserDesktop::desktopWords(value);
}

bool windowSystem(const std::string &value)
{
    return value == "xcb" || value == "offscreen" || value == "minimal";
}

bool privateFolder(const std::string &value)
{
    return PrivateFolder::check(value);
}

bool debuggingAddress(const std::string &value)
{
    const std::string host(debuggingHost);
    if (value.compare(0, host.size(), host) != 0) {
        return false;
    }
    const std::string port = value.substr(host.size());
    if (port.empty() || port.size() > maxPortDigits || port[0] == '0'
        || !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    return std::stoi(port) <= maxPort && RootEnvironment::debuggingReachableByRootOnly();
}

struct Rule
{
    const char *name;
    bool (*accepts)(const std::string &value);
};

// The allow-list. HOME, PATH, USER and LOGNAME are root's own, whatever was given.
const Rule rules[] = {
    {"DISPLAY", plain},
    {"XAUTHORITY",
     [](const std::string &value) {
         return plain(value) && value.compare(0, 1, "/") == 0;
     }},
    {"WAYLAND_DISPLAY", plain},
    {"LANG", localeName},
    {"LANGUAGE", localeName},
    {"TZ", timeZone},
    // Judged by the one rule that tells who started us: a bad value must not pass for no value.
    {"SUDO_UID", plain},
    {"SUDO_GID", plain},
    {"SUDO_USER", plain},
    {"PKEXEC_UID", plain},
    {"QT_QPA_PLATFORM", windowSystem},
    {"QT_QUICK_BACKEND",
     [](const std::string &value) {
         return value == "software";
     }},
    {"QT_SCALE_FACTOR", scaleFactor},
    {"QT_SCREEN_SCALE_FACTORS", screenScaleFactors},
    {"QT_AUTO_SCREEN_SCALE_FACTOR", switchValue},
    {"QT_ENABLE_HIGHDPI_SCALING", switchValue},
    {"QT_SCALE_FACTOR_ROUNDING_POLICY", roundingPolicy},
    {"QT_FONT_DPI", fontDpi},
    {debuggingVariable, debuggingAddress},
    {droppedVariable, plain},
};

// Root's own folders, in root's own session only: for a user who started us, root's folders are fixed ones.
const Rule ownFolders[] = {
    {"XDG_CONFIG_HOME", privateFolder},
    {"XDG_DATA_HOME", privateFolder},
    {"XDG_CACHE_HOME", privateFolder},
    {"XDG_RUNTIME_DIR", privateFolder},
};

bool localeCategory(const std::string &name)
{
    return name.size() > 3 && name.compare(0, 3, "LC_") == 0
           && std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isupper(c) != 0; });
}

bool accepted(const std::string &name, const std::string &value, bool rootsOwnSession)
{
    if (localeCategory(name)) {
        return localeName(value);
    }
    // Set aside on the way in (below), and found again so in the new start.
    if (UserDesktop::keepsAside(name)) {
        return name != std::string(UserDesktop::prefix) + "XAUTHORITY" && desktopWords(value);
    }
    for (const Rule &rule : rules) {
        if (name == rule.name) {
            return rule.accepts(value);
        }
    }
    for (const Rule &rule : ownFolders) {
        if (name == rule.name) {
            return rootsOwnSession && rule.accepts(value);
        }
    }
    return false;
}

// The first value of a name, as getenv() would find it; null when it is not set.
const char *firstValue(const char *const *environment, const char *name)
{
    const std::size_t length = std::strlen(name);
    for (const char *const *entry = environment; entry && *entry; ++entry) {
        if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
            return *entry + length + 1;
        }
    }
    return nullptr;
}

bool quiet(const std::string &name)
{
    return std::find(std::begin(quietlyDropped), std::end(quietlyDropped), name) != std::end(quietlyDropped);
}

struct Account
{
    std::string home = "/root";
    std::string name = "root";
};

Account rootAccount()
{
    Account account;
    std::vector<char> buffer(accountBufferBytes);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(0, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        account.home = found->pw_dir;
        account.name = found->pw_name;
    }
    return account;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The system's own network: the one of the first process, or, where that one is hidden from us (a sandbox may hide
// it even from root), the one of the kernel's thread starter, which the kernel never moves out of it.
bool systemNetwork(struct stat *space)
{
    if (stat("/proc/1/ns/net", space) == 0) {
        return true;
    }
    std::ifstream status("/proc/2/stat");
    std::string line;
    std::getline(status, line);
    const std::string::size_type nameEnd = line.rfind(')');
    std::istringstream fields(nameEnd == std::string::npos ? std::string() : line.substr(nameEnd + 1));
    std::string field;
    unsigned long flags = 0;
    for (int i = 0; i < kernelFlagsField && fields >> field; ++i) {
        flags = std::strtoul(field.c_str(), nullptr, 10);
    }
    return (flags & kernelThreadFlag) != 0 && stat("/proc/2/ns/net", space) == 0;
}

// Whether every id on the status file's "Uid:" line is root's; a process that is gone counts as root's.
bool runsAsRoot(const std::string &pid)
{
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 4, "Uid:") == 0) {
            std::istringstream ids(line.substr(4));
            long id = 0;
            while (ids >> id) {
                if (id != 0) {
                    return false;
                }
            }
            return true;
        }
    }
    return !status.is_open();
}

bool writeAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// In the child: the user's identity for good, then the file as the user reads it, over the pipe after a status.
[[noreturn]] void readAsUserChild(const InvokingUser &user, const std::vector<gid_t> &groups, const char *path, int out)
{
    int status = 0;
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0
        || setuid(0) == 0) {
        status = errno != 0 ? errno : EPERM;
    }
    const int fd = status == 0 ? open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    if (status == 0 && fd < 0) {
        status = errno;
    }

    struct stat info
    {
    };

    if (status == 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxAuthorityBytes)) {
        status = notAnAuthorityFile;
    }
    std::string message(reinterpret_cast<const char *>(&status), sizeof status);
    char chunk[4096];
    ssize_t n = 0;
    while (status == 0 && (n = read(fd, chunk, sizeof chunk)) > 0
           && message.size() <= static_cast<std::size_t>(maxAuthorityBytes)) {
        message.append(chunk, static_cast<std::size_t>(n));
    }
    _exit(writeAll(out, message) && n >= 0 ? 0 : 1);
}

// Reads a file with the user's ids and groups, so that root reads nothing the user could not. One thread runs now.
bool readAsUser(const InvokingUser &user,
                const std::vector<gid_t> &groups,
                const std::string &path,
                std::string *bytes,
                std::string *error)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        readAsUserChild(user, groups, path.c_str(), pipeFds[1]);
    }
    close(pipeFds[1]);
    if (child < 0) {
        *error = std::strerror(errno);
        close(pipeFds[0]);
        return false;
    }
    std::string message;
    bool timedOut = false;
    for (;;) {
        pollfd reading{pipeFds[0], POLLIN, 0};
        const int ready = poll(&reading, 1, authorityReadTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            timedOut = true;
            break;
        }
        char chunk[4096];
        const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || message.size() > static_cast<std::size_t>(maxAuthorityBytes) + sizeof(int)) {
            break;
        }
        message.append(chunk, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    if (timedOut) {
        kill(child, SIGKILL);
    }
    int exitStatus = 0;
    while (waitpid(child, &exitStatus, 0) < 0 && errno == EINTR) {
    }
    int status = 0;
    if (timedOut || message.size() < sizeof status || !WIFEXITED(exitStatus)) {
        *error = timedOut ? "no answer in time" : "cannot be read";
        return false;
    }
    std::memcpy(&status, message.data(), sizeof status);
    if (status != 0) {
        *error = status == notAnAuthorityFile ? "not an authority file" : std::strerror(status);
        return false;
    }
    if (WEXITSTATUS(exitStatus) != 0 || message.size() > static_cast<std::size_t>(maxAuthorityBytes) + sizeof status) {
        *error = "cannot be read whole";
        return false;
    }
    *bytes = message.substr(sizeof status);
    return true;
}
} // namespace

std::vector<std::string> RootEnvironment::cleaned(const char *const *environment, std::vector<std::string> *dropped)
{
    const Account root = rootAccount();
    const std::pair<const char *, std::string> own[] = {
        {"HOME", root.home}, {"PATH", rootPath}, {"USER", root.name}, {"LOGNAME", root.name}};
    std::vector<std::string> result;
    std::vector<std::string> seen;
    const auto drop = [dropped](const std::string &name) {
        if (dropped && !quiet(name) && std::find(dropped->begin(), dropped->end(), name) == dropped->end()) {
            dropped->push_back(name);
        }
    };
    // Any value that names a user, valid or not, is a user's start: never root's own session.
    const bool rootsOwnSession =
        InvokingUser::fromVariables(firstValue(environment, "PKEXEC_UID"), firstValue(environment, "SUDO_UID")).kind
        == InvokingUser::Kind::None;
    for (const char *const *entry = environment; entry && *entry; ++entry) {
        const std::string text(*entry);
        const std::string::size_type equals = text.find('=');
        const std::string name = text.substr(0, equals);
        // The first of two entries with one name is the one getenv() finds; a second is only a trap.
        if (equals == std::string::npos || equals == 0 || std::find(seen.begin(), seen.end(), name) != seen.end()) {
            drop(name);
            continue;
        }
        seen.push_back(name);
        const std::string value = text.substr(equals + 1);
        const auto replaced = std::find_if(
            std::begin(own), std::end(own), [&name](const auto &variable) { return name == variable.first; });
        const bool setAside =
            std::find(UserDesktop::names().begin(), UserDesktop::names().end(), name) != UserDesktop::names().end()
            && name != "XAUTHORITY";
        if (replaced != std::end(own)) {
            result.push_back(name + '=' + replaced->second);
        } else if (setAside && desktopWords(value)) {
            result.push_back(UserDesktop::prefix + text);
        } else if (!setAside && accepted(name, value, rootsOwnSession)) {
            result.push_back(text);
        } else {
            drop(name);
        }
    }
    for (const auto &variable : own) {
        if (std::find(seen.begin(), seen.end(), variable.first) == seen.end()) {
            result.push_back(std::string(variable.first) + '=' + variable.second);
        }
    }
    return result;
}

void RootEnvironment::restrict(char *argv[])
{
    std::vector<std::string> dropped;
    static std::vector<std::string> kept;
    kept = cleaned(environ, &dropped);
    std::vector<std::string> current;
    for (char **entry = environ; entry && *entry; ++entry) {
        current.emplace_back(*entry);
    }
    if (kept == current) {
        return;
    }
    if (!dropped.empty()) {
        std::string names;
        for (const std::string &name : dropped) {
            names += (names.empty() ? "" : " ") + printableText(name);
        }
        kept.erase(std::remove_if(
                       kept.begin(),
                       kept.end(),
                       [](const std::string &entry) {
                           return entry.compare(0, std::strlen(droppedVariable) + 1, std::string(droppedVariable) + '=')
                                  == 0;
                       }),
                   kept.end());
        kept.push_back(std::string(droppedVariable) + '=' + names.substr(0, maxValueBytes));
    }
    std::vector<char *> pointers;
    for (std::string &entry : kept) {
        pointers.push_back(&entry[0]);
    }
    pointers.push_back(nullptr);
    execve("/proc/self/exe", argv, pointers.data());
    std::fprintf(stderr,
                 "lumenbridge: cannot start again with the cleaned environment (%s); cleaned in place\n",
                 std::strerror(errno));
    clearenv();
    for (std::string &entry : kept) {
        putenv(&entry[0]);
    }
}

void RootEnvironment::announceDropped(bool show)
{
    const char *const names = std::getenv(droppedVariable);
    if (show && names && *names) {
        const std::string list = printableText(names);
        const bool debugging = (' ' + list + ' ').find(std::string(" ") + debuggingVariable + ' ') != std::string::npos;
        std::fprintf(stderr,
                     "lumenbridge: running as root, ignored from the environment: %s%s\n",
                     list.c_str(),
                     debugging ? " (the page's debugging is opened only as 127.0.0.1:<port>, in a network namespace"
                                 " that no other user shares)"
                               : "");
    }
    unsetenv(droppedVariable);
}

bool RootEnvironment::useFoldersOf(uid_t uid, std::string *error)
{
    const std::string home = rootAccount().home;
    const std::string folders[][2] = {{"XDG_CONFIG_HOME", home + "/.config" + usersFolder + std::to_string(uid)},
                                      {"XDG_DATA_HOME", home + "/.local/share" + usersFolder + std::to_string(uid)},
                                      {"XDG_CACHE_HOME", home + "/.cache" + usersFolder + std::to_string(uid)},
                                      {"XDG_RUNTIME_DIR", RuntimeFolder::ownPath(uid)}};
    for (const auto &[variable, folder] : folders) {
        std::string reason;
        if (!PrivateFolder::ensure(folder, &reason)) {
            if (error) {
                *error = "refusing the folder " + folder + ": " + reason;
            }
            return false;
        }
        setenv(variable.c_str(), folder.c_str(), 1);
    }
    return true;
}

bool RootEnvironment::useOwnRuntimeFolder(std::string *error)
{
    const std::string folder = RuntimeFolder::ownPath(0);
    if (!PrivateFolder::ensure(folder, error)) {
        return false;
    }
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    return true;
}

bool RootEnvironment::useAuthorityOf(const InvokingUser &user, std::string *error)
{
    const char *const given = std::getenv("XAUTHORITY");
    if (!given) {
        return true;
    }
    const std::string path(given);
    const auto fail = [error](const std::string &reason) {
        unsetenv("XAUTHORITY");
        if (error) {
            *error = reason;
        }
        return false;
    };
    const char *const runtime = std::getenv("XDG_RUNTIME_DIR");
    std::vector<gid_t> groups;
    if (!runtime || runtime[0] != '/') {
        return fail("no private folder to copy it into");
    }
    if (!user.groups(&groups)) {
        return fail("cannot list the groups of " + user.name);
    }
    std::string bytes;
    std::string reason;
    if (!readAsUser(user, groups, path, &bytes, &reason)) {
        return fail(path + ": " + reason);
    }
    std::string copy = std::string(runtime) + "/xauthority-XXXXXX";
    const int out = mkostemp(&copy[0], O_CLOEXEC);
    if (out < 0) {
        return fail(copy + ": " + std::strerror(errno));
    }
    const bool written = writeAll(out, bytes);
    if (close(out) != 0 || !written) {
        unlink(copy.c_str());
        return fail("cannot copy " + path + " to " + copy);
    }
    authorityCopy = copy;
    setenv("XAUTHORITY", copy.c_str(), 1);
    setenv((std::string(UserDesktop::prefix) + "XAUTHORITY").c_str(), path.c_str(), 1);
    return true;
}

void RootEnvironment::removeAuthorityCopy()
{
    if (authorityCopy.empty()) {
        return;
    }
    unlink(authorityCopy.c_str());
    authorityCopy.clear();
    unsetenv("XAUTHORITY");
}

bool RootEnvironment::debuggingReachableByRootOnly()
{
    struct stat own
    {
    };

    struct stat system
    {
    };

    if (stat("/proc/self/ns/net", &own) != 0 || !systemNetwork(&system) || sameFile(own, system)) {
        return false;
    }
    DIR *processes = opendir("/proc");
    if (!processes) {
        return false;
    }
    bool rootOnly = true;
    while (const dirent *entry = readdir(processes)) {
        const std::string pid(entry->d_name);
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](unsigned char c) { return std::isdigit(c); })) {
            continue;
        }

        struct stat space
        {
        };

        if (stat(("/proc/" + pid + "/ns/net").c_str(), &space) == 0 && sameFile(space, own) && !runsAsRoot(pid)) {
            rootOnly = false;
            break;
        }
    }
    closedir(processes);
    return rootOnly;
}

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
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/PrintableText.h"
#include "core/PrivateFolder.h"

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

bool scaleFactor(const std::string &value)
{
    return onlyOf(value, ".;,=_-", maxValueBytes);
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
    {"QT_SCREEN_SCALE_FACTORS", scaleFactor},
    {"QT_AUTO_SCREEN_SCALE_FACTOR", scaleFactor},
    {"QT_ENABLE_HIGHDPI_SCALING", scaleFactor},
    {"QT_SCALE_FACTOR_ROUNDING_POLICY", scaleFactor},
    {"QT_FONT_DPI", scaleFactor},
    {"XDG_CONFIG_HOME", privateFolder},
    {"XDG_DATA_HOME", privateFolder},
    {"XDG_CACHE_HOME", privateFolder},
    {"XDG_RUNTIME_DIR", privateFolder},
    {debuggingVariable, debuggingAddress},
};

bool localeCategory(const std::string &name)
{
    return name.size() > 3 && name.compare(0, 3, "LC_") == 0
           && std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isupper(c) != 0; });
}

bool accepted(const std::string &name, const std::string &value)
{
    if (localeCategory(name)) {
        return localeName(value);
    }
    for (const Rule &rule : rules) {
        if (name == rule.name) {
            return rule.accepts(value);
        }
    }
    return false;
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
} // namespace

std::vector<std::string> RootEnvironment::cleaned(const char *const *environment, std::vector<std::string> *dropped)
{
    const Account root = rootAccount();
    const std::pair<const char *, std::string> own[] = {
        {"HOME", root.home}, {"PATH", rootPath}, {"USER", root.name}, {"LOGNAME", root.name}};
    std::vector<std::string> result;
    std::vector<std::string> seen;
    const auto drop = [dropped](const std::string &name) {
        if (dropped && std::find(dropped->begin(), dropped->end(), name) == dropped->end()) {
            dropped->push_back(name);
        }
    };
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
        if (replaced != std::end(own)) {
            result.push_back(name + '=' + replaced->second);
        } else if (accepted(name, value)) {
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
            names += ' ' + printableText(name);
        }
        const bool debugging = std::find(dropped.begin(), dropped.end(), debuggingVariable) != dropped.end();
        std::fprintf(stderr,
                     "lumenbridge: running as root, ignored from the environment:%s%s\n",
                     names.c_str(),
                     debugging ? " (the page's debugging is opened only as 127.0.0.1:<port>, in a network namespace"
                                 " that no other user shares)"
                               : "");
    }
    std::vector<char *> pointers;
    for (std::string &entry : kept) {
        pointers.push_back(&entry[0]);
    }
    pointers.push_back(nullptr);
    std::fflush(stderr);
    execve("/proc/self/exe", argv, pointers.data());
    std::fprintf(stderr,
                 "lumenbridge: cannot start again with the cleaned environment (%s); cleaned in place\n",
                 std::strerror(errno));
    clearenv();
    for (std::string &entry : kept) {
        putenv(&entry[0]);
    }
}

bool RootEnvironment::useFoldersOf(uid_t uid, std::string *error)
{
    const char *const home = std::getenv("HOME");
    const std::pair<const char *, const char *> kinds[] = {
        {"XDG_CONFIG_HOME", "/.config"}, {"XDG_DATA_HOME", "/.local/share"}, {"XDG_CACHE_HOME", "/.cache"}};
    for (const auto &kind : kinds) {
        const char *const given = std::getenv(kind.first);
        const std::string base = given && *given ? std::string(given) : std::string(home ? home : "") + kind.second;
        const std::string folder = base + usersFolder + std::to_string(uid);
        std::string reason;
        if (!PrivateFolder::ensure(folder, &reason)) {
            if (error) {
                *error = "refusing the folder " + folder + ": " + reason;
            }
            return false;
        }
        setenv(kind.first, folder.c_str(), 1);
    }
    return true;
}

bool RootEnvironment::useAuthorityOf(uid_t uid, gid_t gid, const std::string &folder, std::string *error)
{
    const char *const given = std::getenv("XAUTHORITY");
    if (!given) {
        return true;
    }
    const auto fail = [error](const std::string &reason) {
        unsetenv("XAUTHORITY");
        if (error) {
            *error = reason;
        }
        return false;
    };
    if (folder.empty() || folder.front() != '/') {
        return fail("no private folder to copy it into");
    }
    // Opened as the user: the kernel checks the path, links included, with the user's rights. One thread runs now.
    setfsgid(gid);
    setfsuid(uid);
    const int fd = open(given, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int openError = errno;
    setfsuid(0);
    setfsgid(0);
    if (fd < 0) {
        return fail(std::string(given) + ": " + std::strerror(openError));
    }

    struct stat info
    {
    };

    std::string bytes;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxAuthorityBytes) {
        close(fd);
        return fail(std::string(given) + " is not an authority file");
    }
    char chunk[4096];
    ssize_t n = 0;
    while ((n = read(fd, chunk, sizeof chunk)) > 0 && bytes.size() <= static_cast<std::size_t>(maxAuthorityBytes)) {
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    const std::string copy = folder + "/xauthority";
    const int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool written =
        out >= 0 && n == 0 && write(out, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    if (out >= 0 && close(out) != 0) {
        return fail(copy + ": " + std::strerror(errno));
    }
    if (!written) {
        return fail("cannot copy " + std::string(given) + " to " + copy);
    }
    setenv("XAUTHORITY", copy.c_str(), 1);
    return true;
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

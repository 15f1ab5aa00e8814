#include "vpn/engine/ClientApi.h"

#include <ctime>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace lumen::engine
{

namespace
{
std::mutex pathMutex;
std::string explicitPath;
bool checked = false;
std::string foundPath;

bool onlyRootCanChange(const std::string &path, bool folder)
{
    struct stat info = {};
    if (lstat(path.c_str(), &info) != 0 || info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return false;
    }
    return folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR) != 0;
}

// The installed daemon, if it and every folder above it are root's alone.
std::string checkInstalledDaemon()
{
    const std::string path = installed_daemon_path();
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (!onlyRootCanChange(path.substr(0, slash), true)) {
            return {};
        }
    }
    return onlyRootCanChange("/", true) && onlyRootCanChange(path, false) ? path : std::string();
}
} // namespace

void init_process()
{
    // The daemon does its own crypto set-up; what is process-wide here is where the daemon lives.
    const std::lock_guard<std::mutex> lock(pathMutex);
    if (!checked) {
        foundPath = checkInstalledDaemon();
        checked = true;
    }
}

std::string date_time()
{
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    char buffer[64] = {};
    if (!asctime_r(&local, buffer)) {
        return {};
    }
    std::string text(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

void set_daemon_path(const std::string &path)
{
    const std::lock_guard<std::mutex> lock(pathMutex);
    explicitPath = path;
}

std::string daemon_path()
{
    const std::lock_guard<std::mutex> lock(pathMutex);
    if (!explicitPath.empty()) {
        return explicitPath;
    }
    if (!checked) {
        foundPath = checkInstalledDaemon();
        checked = true;
    }
    return foundPath;
}

const char *installed_daemon_path()
{
    return "/usr/sbin/openvpn";
}

} // namespace lumen::engine

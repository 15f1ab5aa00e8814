#include "vpn/engine/ClientApi.h"

#include <cstdlib>
#include <ctime>
#include <mutex>

#include <unistd.h>

namespace lumen::engine
{

namespace
{
std::mutex pathMutex;
std::string explicitPath;
std::string foundPath;

std::string searchDaemon()
{
    const char *const pathVariable = std::getenv("PATH");
    std::string dirs = pathVariable ? pathVariable : "";
    dirs += ":/usr/sbin:/usr/local/sbin:/sbin";
    std::size_t pos = 0;
    while (pos <= dirs.size()) {
        std::size_t end = dirs.find(':', pos);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = dirs.substr(pos, end - pos);
        pos = end + 1;
        if (dir.empty() || dir.front() != '/') {
            continue;
        }
        const std::string candidate = dir + "/openvpn";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}
} // namespace

void init_process()
{
    // The daemon does its own crypto set-up; what is process-wide here is where the daemon lives.
    const std::lock_guard<std::mutex> lock(pathMutex);
    if (foundPath.empty()) {
        foundPath = searchDaemon();
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
    if (foundPath.empty()) {
        foundPath = searchDaemon();
    }
    return foundPath;
}

} // namespace lumen::engine

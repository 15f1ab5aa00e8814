#include "vpn/engine/TunCounters.h"

#include <algorithm>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vpn/engine/RouteSocket.h"

// The kernel's netlink macros are C, with C casts.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace
{
constexpr std::size_t maxInterfaceNameBytes = IFNAMSIZ - 1;
constexpr std::size_t maxFdInfoBytes = 4096;
constexpr char tunDevicePath[] = "/dev/net/tun";

// A small file of /proc: opened without following a link and without blocking, and read only if it is a regular
// file, whatever sits at its name.
bool readSmallFile(int folderFd, const char *name, std::string &text)
{
    const int fd = openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat status = {};
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    text.clear();
    char chunk[1024];
    while (ok && text.size() < maxFdInfoBytes) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            ok = false;
        } else if (n == 0) {
            break;
        } else {
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return ok;
}

int openFolder(const std::string &path)
{
    return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
}

// The name of the first tun device among the process's open files, from the kernel's fdinfo of its descriptor.
std::string tunDeviceOf(pid_t pid)
{
    const std::string process = "/proc/" + std::to_string(pid);
    DIR *entries = fdopendir(openFolder(process + "/fd"));
    if (!entries) {
        return {};
    }
    const int infoFolder = openFolder(process + "/fdinfo");
    std::string device;
    while (infoFolder >= 0 && device.empty()) {
        const dirent *entry = readdir(entries);
        if (!entry) {
            break;
        }
        char target[sizeof tunDevicePath + 1] = {};
        const ssize_t length = readlinkat(dirfd(entries), entry->d_name, target, sizeof target);
        if (length != static_cast<ssize_t>(sizeof tunDevicePath - 1)
            || std::memcmp(target, tunDevicePath, sizeof tunDevicePath - 1) != 0) {
            continue;
        }
        std::string info;
        if (readSmallFile(infoFolder, entry->d_name, info)) {
            device = TunCounters::deviceOfFdInfo(info);
        }
    }
    if (infoFolder >= 0) {
        close(infoFolder);
    }
    closedir(entries);
    return device;
}

// One RTM_GETLINK request for the named link and its one answer: its index and packet counters.
TunCounters::Reading readLink(const std::string &name)
{
    struct
    {
        nlmsghdr header;
        ifinfomsg message;
        char attributes[RTA_SPACE(IFNAMSIZ)];
    } request = {};

    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.message.ifi_family = AF_UNSPEC;
    auto *attribute = reinterpret_cast<rtattr *>(request.attributes);
    attribute->rta_type = IFLA_IFNAME;
    attribute->rta_len = RTA_LENGTH(name.size() + 1);
    std::memcpy(RTA_DATA(attribute), name.c_str(), name.size() + 1);
    request.header.nlmsg_len = NLMSG_ALIGN(NLMSG_LENGTH(sizeof(ifinfomsg))) + RTA_ALIGN(attribute->rta_len);

    TunCounters::Reading reading;
    RouteSocket::ask(request.header, [&reading, &name](nlmsghdr &header) {
        if (header.nlmsg_type != RTM_NEWLINK) {
            return true;
        }
        const auto *message = static_cast<const ifinfomsg *>(NLMSG_DATA(&header));
        bool haveStats = false;
        int attributesLeft = static_cast<int>(IFLA_PAYLOAD(&header));
        for (const rtattr *at = IFLA_RTA(message); RTA_OK(at, attributesLeft); at = RTA_NEXT(at, attributesLeft)) {
            if (at->rta_type == IFLA_STATS64) {
                rtnl_link_stats64 stats = {};
                std::memcpy(&stats, RTA_DATA(at), std::min<std::size_t>(RTA_PAYLOAD(at), sizeof stats));
                reading.packetsIn = stats.rx_packets;
                reading.packetsOut = stats.tx_packets;
                haveStats = true;
            }
        }
        reading.found = haveStats;
        reading.interfaceIndex = message->ifi_index;
        reading.name = name;
        return false;
    });
    return reading;
}
} // namespace

TunCounters::Reading TunCounters::of(pid_t pid)
{
    const std::string device = tunDeviceOf(pid);
    return device.empty() ? Reading() : readLink(device);
}

bool TunCounters::isInterfaceName(const std::string &name)
{
    if (name.empty() || name.size() > maxInterfaceNameBytes || name == "." || name == "..") {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || c == ':' || byte <= 0x20 || byte == 0x7f;
    });
}

std::string TunCounters::deviceOfFdInfo(const std::string &fdInfo)
{
    // One "key:\tvalue" line per field; the tun driver adds "iff:\t" and the device's name.
    std::size_t lineStart = 0;
    while (lineStart < fdInfo.size()) {
        std::size_t lineEnd = fdInfo.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = fdInfo.size();
        }
        const std::string line = fdInfo.substr(lineStart, lineEnd - lineStart);
        if (line.rfind("iff:\t", 0) == 0) {
            const std::string name = line.substr(5);
            return isInterfaceName(name) ? name : std::string();
        }
        lineStart = lineEnd + 1;
    }
    return {};
}

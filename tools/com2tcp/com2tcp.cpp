// Linux stand-in for the Windows serial-to-TCP bridge: "com2tcp [--interface <name>] //./<port> <host> <port
// number>" opens the second side of the live pair of that name in the device folder, connects to the host over TCP
// and relays bytes both ways until either end closes; what one end sent before it closed still reaches the other.
// With an interface (the tunnel's), the connection goes through that interface or nowhere, and ends when the
// interface goes away or down. Whenever the bridge ends, what it had not sent yet is dropped: the connection is
// reset, never left to deliver it later. The bridge ends with the program that started it, however that program
// ends. Exit code 0 after a closed end, non-zero when the port cannot be opened (6: it is not the second side of a
// live pair), the interface not used or gone (4) or the host not reached.

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include "tools/setupc/PairRegistry.h"
#include "tools/setupc/Relay.h"

// The kernel's netlink macros are C, with C casts.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace
{

constexpr int exitOk = 0;
constexpr int exitUsage = 1;
constexpr int exitNoPort = 2;
constexpr int exitNoConnection = 3;
constexpr int exitNoInterface = 4;
constexpr int exitParentGone = 5;
constexpr int exitNotLivePair = 6;
// After our last byte, how long the device may take to close its side before we close ours.
constexpr int closeWaitMs = 2000;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

// Why a port was not opened: 0 when it was.
int portRefusal = 0;

int refusePort(int code, const std::string &line)
{
    std::cerr << line << "\n";
    portRefusal = code;
    return -1;
}

// The pair tool gives the second side to us alone.
bool ownTerminal(const struct stat &info)
{
    return S_ISCHR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 07777) == (S_IRUSR | S_IWUSR);
}

// Opens the second side of the live pair of that name, and nothing else. A pair whose holder was killed leaves its
// links behind, naming terminal numbers the kernel may have given to anybody since. So the registry is read under its
// lock, which keeps pairs from being made or forgotten meanwhile, and the holder is asked before and after the open:
// a holder still alive after it still holds the terminal its link named. The terminal must also look like that one,
// ours alone.
int openPort(const std::string &devicePath)
{
    const std::string name = serialtools::portNameFromDevicePath(devicePath);
    if (name.empty() || name.find('/') != std::string::npos) {
        return refusePort(exitNoPort, "bad port name '" + devicePath + "'");
    }
    std::string folder;
    std::string error;
    if (!serialtools::deviceFolder(false, &folder, &error)) {
        return refusePort(exitNoPort, error);
    }
    const int registry = serialtools::lockRegistry(folder, false);
    if (registry < 0) {
        return refusePort(exitNotLivePair, name + " is not the second side of a live pair: there are no pairs");
    }
    serialtools::Pair pair;
    for (const serialtools::Pair &listed : serialtools::readPairs(folder)) {
        if (serialtools::sameName(listed.nameB, name)) {
            pair = listed;
        }
    }
    const auto refused = [registry](int code, const std::string &line) {
        close(registry);
        return refusePort(code, line);
    };
    if (pair.number < 0) {
        return refused(exitNotLivePair, name + " is not the second side of a live pair");
    }
    if (!serialtools::holderAlive(folder, pair.number)) {
        return refused(exitNotLivePair, "the pair of " + name + " has ended");
    }
    const std::string path = folder + "/" + pair.nameB;
    struct stat before = {};
    if (stat(path.c_str(), &before) != 0 || !ownTerminal(before)) {
        return refused(exitNotLivePair, path + " is not the pair's own terminal");
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return refused(exitNoPort, "cannot open " + path + ": " + std::strerror(errno));
    }
    struct stat opened = {};
    const bool same = fstat(fd, &opened) == 0 && ownTerminal(opened) && opened.st_rdev == before.st_rdev;
    const bool alive = serialtools::holderAlive(folder, pair.number);
    if (!same || !alive) {
        close(fd);
        return refused(exitNotLivePair,
                       alive ? path + " is not the pair's own terminal" : "the pair of " + name + " has ended");
    }
    close(registry);
    termios raw;
    if (!isatty(fd) || tcgetattr(fd, &raw) != 0) {
        close(fd);
        return refusePort(exitNoPort, path + " is not a serial port");
    }
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    // The bridge starts with nothing queued: whatever reached the port before it is not for the device.
    tcflush(fd, TCIFLUSH);
    return fd;
}

// A device reached at "address:port" (as test devices on loopback are) is bridged at that address; the port
// argument names the service to reach there.
std::string hostOnly(const std::string &host)
{
    const auto colon = host.find(':');
    if (colon == std::string::npos || host.find(':', colon + 1) != std::string::npos) {
        return host;
    }
    return host.substr(0, colon);
}

// Hears of every change to the machine's network links; opened before the interface is looked at, so that no change
// after that goes unheard.
int watchLinks()
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl address = {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the interface of that index is there and up.
bool linkUp(unsigned index)
{
    ifreq request = {};
    if (!if_indextoname(index, request.ifr_name)) {
        return false;
    }
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool up = probe >= 0 && ioctl(probe, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0
                    && if_nametoindex(request.ifr_name) == index;
    if (probe >= 0) {
        close(probe);
    }
    return up;
}

// Reads the link changes heard so far: true when one of them removed the interface or took it down. When changes
// were lost, the interface is looked at afresh.
bool linkEnded(int watch, unsigned index)
{
    alignas(nlmsghdr) char buffer[16384];
    bool ended = false;
    bool lost = false;
    for (;;) {
        ssize_t n = recv(watch, buffer, sizeof buffer, 0);
        if (n < 0 && errno == ENOBUFS) {
            lost = true;
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (auto *header = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(header, n); header = NLMSG_NEXT(header, n)) {
            if (header->nlmsg_type != RTM_NEWLINK && header->nlmsg_type != RTM_DELLINK) {
                continue;
            }
            const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
            if (unsigned(link->ifi_index) == index) {
                ended = ended || header->nlmsg_type == RTM_DELLINK || (link->ifi_flags & IFF_UP) == 0;
            }
        }
    }
    return ended || (lost && !linkUp(index));
}

// The interface must be there now: the socket is bound to its index before it connects, so that its packets leave
// through it or not at all, whatever the routes say, and a new interface that takes the name later is not it.
unsigned interfaceIndex(const std::string &name)
{
    const unsigned index = name.empty() || name.size() >= IFNAMSIZ ? 0 : if_nametoindex(name.c_str());
    if (index == 0) {
        std::cerr << "no interface '" << name << "'\n";
    }
    return index;
}

int connectTo(const std::string &givenHost, const std::string &port, const std::string &interface, unsigned index)
{
    const std::string host = hostOnly(givenHost);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        std::cerr << "cannot resolve " << host << ":" << port << ": " << gai_strerror(resolved) << "\n";
        return -1;
    }
    int fd = -1;
    for (addrinfo *address = found; address; address = address->ai_next) {
        fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            continue;
        }
        // An abortive close: when the bridge ends, however it ends, the connection is reset and whatever it had not
        // sent yet is dropped, never delivered minutes later by a socket left behind.
        const linger reset = {1, 0};
        const int boundIndex = int(index);
        if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0
            || (index != 0 && setsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &boundIndex, sizeof boundIndex) != 0)) {
            std::cerr << "cannot set up the connection through " << (interface.empty() ? "any interface" : interface)
                      << ": " << std::strerror(errno) << "\n";
            close(fd);
            freeaddrinfo(found);
            return -1;
        }
        if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) {
            break;
        }
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        std::cerr << "cannot connect to " << host << ":" << port << ": " << std::strerror(errno) << "\n";
    }
    return fd;
}

// Closes the connection without losing the last bytes sent: the close resets the connection, and a reset discards
// what the device has not read yet. So when the port ended first, our side is shut first and the device's remaining
// input read away until it closes too (or the wait ends): by then it has read all we sent.
void closeConnection(int socket, bool waitForDevice)
{
    if (waitForDevice && shutdown(socket, SHUT_WR) == 0) {
        char chunk[4096];
        pollfd wait = {socket, POLLIN, 0};
        while (poll(&wait, 1, closeWaitMs) > 0) {
            const ssize_t n = read(socket, chunk, sizeof chunk);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                break;
            }
        }
    }
    close(socket);
}

} // namespace

int main(int argc, char **argv)
{
    // The bridge ends with its parent. A parent that ended before this line is seen either by its pid, which
    // changed, or by the pipe it read our output from, which nobody reads any more.
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent || serialtools::outputAbandoned()) {
        std::cerr << "the program that started the bridge has ended\n";
        return exitParentGone;
    }
    const bool bound = argc == 6 && std::strcmp(argv[1], "--interface") == 0;
    if (!bound && argc != 4) {
        std::cerr << "usage: com2tcp [--interface <name>] //./<port> <host> <port number>\n";
        return exitUsage;
    }
    const std::string interface = bound ? argv[2] : "";
    char *const *const arguments = argv + (bound ? 3 : 1);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    serialtools::RelayWatch watch;
    unsigned index = 0;
    if (bound) {
        watch.fd = watchLinks();
        index = interfaceIndex(interface);
        if (watch.fd < 0 || index == 0) {
            if (watch.fd < 0) {
                std::cerr << "cannot watch the interface " << interface << ": " << std::strerror(errno) << "\n";
            }
            return exitNoInterface;
        }
        watch.ended = [fd = watch.fd, index] {
            return linkEnded(fd, index);
        };
    }
    const int port = openPort(arguments[0]);
    if (port < 0) {
        return portRefusal;
    }
    const int socket = connectTo(arguments[1], arguments[2], interface, index);
    if (socket < 0) {
        close(port);
        return exitNoConnection;
    }
    serialtools::setNonBlocking(socket);
    const serialtools::RelayEnd end =
        serialtools::relay(port, socket, &stopRequested, serialtools::defaultDrainIdleLimitMs, watch);
    if (end == serialtools::RelayEnd::WatchEnded) {
        std::cerr << "the interface " << interface << " is gone or down\n";
        close(socket);
        close(port);
        return exitNoInterface;
    }
    std::cerr << (end == serialtools::RelayEnd::FirstClosed    ? "port closed\n"
                  : end == serialtools::RelayEnd::SecondClosed ? "connection closed\n"
                                                               : "stopped\n");
    closeConnection(socket, end == serialtools::RelayEnd::FirstClosed);
    close(port);
    return exitOk;
}

// Linux stand-in for the Windows serial-to-TCP bridge: "com2tcp [--interface <name>] //./<port> <host> <port
// number>" opens the pair side of that name in the device folder, connects to the host over TCP and relays bytes
// both ways until either end closes; what one end sent before it closed still reaches the other. With an interface
// (the tunnel's), the connection goes through that interface or nowhere. The bridge ends with the program that
// started it, however that program ends. Exit code 0 after a closed end, non-zero when the port cannot be opened,
// the interface not used or the host not reached.

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include "tools/setupc/Relay.h"

namespace
{

constexpr int exitOk = 0;
constexpr int exitUsage = 1;
constexpr int exitNoPort = 2;
constexpr int exitNoConnection = 3;
constexpr int exitNoInterface = 4;
constexpr int exitParentGone = 5;
// After our last byte, how long the device may take to close its side before we close ours.
constexpr int closeWaitMs = 2000;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

int openPort(const std::string &devicePath)
{
    const std::string name = serialtools::portNameFromDevicePath(devicePath);
    if (name.empty() || name.find('/') != std::string::npos) {
        std::cerr << "bad port name '" << devicePath << "'\n";
        return -1;
    }
    std::string folder;
    std::string error;
    if (!serialtools::deviceFolder(false, &folder, &error)) {
        std::cerr << error << "\n";
        return -1;
    }
    // The link is the pair holder's, in a folder only we can change: following it to its terminal is safe.
    const std::string path = folder + "/" + name;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "cannot open " << path << ": " << std::strerror(errno) << "\n";
        return -1;
    }
    termios raw;
    if (!isatty(fd) || tcgetattr(fd, &raw) != 0) {
        std::cerr << path << " is not a serial port\n";
        close(fd);
        return -1;
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

// The interface must be there now; the socket is bound to it before it connects, so that its packets leave through
// it or not at all, whatever the routes say.
bool checkInterface(const std::string &name)
{
    if (name.empty() || name.size() >= IFNAMSIZ || if_nametoindex(name.c_str()) == 0) {
        std::cerr << "no interface '" << name << "'\n";
        return false;
    }
    return true;
}

int connectTo(const std::string &givenHost, const std::string &port, const std::string &interface)
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
        if (!interface.empty()
            && setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(), socklen_t(interface.size())) != 0) {
            std::cerr << "cannot bind to interface " << interface << ": " << std::strerror(errno) << "\n";
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

// Closes the connection without losing the last bytes sent: closing a socket with unread input resets the
// connection, and a reset can discard what the device has not read yet. So when the port ended first, our side
// is shut first and the device's remaining input read away until it closes too (or the wait ends).
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

    if (bound && !checkInterface(interface)) {
        return exitNoInterface;
    }
    const int port = openPort(arguments[0]);
    if (port < 0) {
        return exitNoPort;
    }
    const int socket = connectTo(arguments[1], arguments[2], interface);
    if (socket < 0) {
        close(port);
        return exitNoConnection;
    }
    serialtools::setNonBlocking(socket);
    const serialtools::RelayEnd end = serialtools::relay(port, socket, &stopRequested);
    std::cerr << (end == serialtools::RelayEnd::FirstClosed    ? "port closed\n"
                  : end == serialtools::RelayEnd::SecondClosed ? "connection closed\n"
                                                               : "stopped\n");
    closeConnection(socket, end == serialtools::RelayEnd::FirstClosed);
    close(port);
    return exitOk;
}

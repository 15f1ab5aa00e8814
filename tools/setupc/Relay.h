#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Shared by the two serial stand-ins: where the pair links live, and a two-way byte relay.
namespace serialtools
{

// Tests point the tools at a folder of their own; the program itself leaves the variable unset.
inline std::string deviceFolder()
{
    if (const char *folder = std::getenv("LUMENBRIDGE_SERIAL_DIR"); folder && *folder) {
        return folder;
    }
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string(runtime) + "/lumenbridge-serial";
    }
    return "/run/lumenbridge-serial";
}

// Strips the Windows device prefix ("//./NAME" or "\\.\NAME") that callers put before a port name.
inline std::string portNameFromDevicePath(const std::string &path)
{
    for (const char *prefix : {"//./", "\\\\.\\"}) {
        const std::string p(prefix);
        if (path.compare(0, p.size(), p) == 0) {
            return path.substr(p.size());
        }
    }
    return path;
}

inline bool setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

enum class RelayEnd
{
    Stopped,
    FirstClosed,
    SecondClosed
};

// Copies bytes both ways between two non-blocking descriptors until one of them closes or *stop is set.
// Each direction buffers at most bufferLimit bytes, so a side nobody reads holds the writer back like a
// cable with flow control instead of growing without bound.
inline RelayEnd relay(int first, int second, volatile std::sig_atomic_t *stop)
{
    constexpr std::size_t bufferLimit = 64 * 1024;
    std::string toSecond;
    std::string toFirst;
    char chunk[4096];
    const int fds[2] = {first, second};
    std::string *outgoing[2] = {&toSecond, &toFirst};

    while (!*stop) {
        pollfd polls[2] = {{first, 0, 0}, {second, 0, 0}};
        for (int i = 0; i < 2; ++i) {
            if (outgoing[i]->size() < bufferLimit) {
                polls[i].events |= POLLIN;
            }
            if (!outgoing[1 - i]->empty()) {
                polls[i].events |= POLLOUT;
            }
        }
        if (poll(polls, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return RelayEnd::Stopped;
        }
        for (int i = 0; i < 2; ++i) {
            const RelayEnd closed = i == 0 ? RelayEnd::FirstClosed : RelayEnd::SecondClosed;
            if (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = read(fds[i], chunk, sizeof chunk);
                if (n > 0) {
                    outgoing[i]->append(chunk, static_cast<std::size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    return closed;
                }
            }
            if ((polls[i].revents & POLLOUT) && !outgoing[1 - i]->empty()) {
                std::string &pending = *outgoing[1 - i];
                const ssize_t n = write(fds[i], pending.data(), pending.size());
                if (n > 0) {
                    pending.erase(0, static_cast<std::size_t>(n));
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    return closed;
                }
            }
        }
    }
    return RelayEnd::Stopped;
}

} // namespace serialtools

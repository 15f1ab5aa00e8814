#include "tools/setupc/Relay.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/PrivateFolder.h"
#include "core/RuntimeFolder.h"

namespace serialtools
{

namespace
{
constexpr std::size_t bufferLimit = 64 * 1024;
constexpr std::size_t chunkSize = 4096;
constexpr int drainPollMs = 100;

RelayEnd endOf(int side)
{
    return side == 0 ? RelayEnd::FirstClosed : RelayEnd::SecondClosed;
}

bool transient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
} // namespace

bool deviceFolder(bool create, std::string *folder, std::string *error)
{
    std::string path;
    if (const char *tests = std::getenv("LUMENBRIDGE_SERIAL_DIR"); tests && *tests) {
        path = tests;
    } else {
        path = RuntimeFolder::path() + "/lumenbridge-serial";
    }
    std::string reason;
    // Readable by all, so that the user's own programs find the ports; writable by us alone.
    const bool trusted = create ? PrivateFolder::ensureShared(path, &reason) : PrivateFolder::check(path, &reason);
    if (!trusted) {
        if (error) {
            *error = "refusing the pair folder " + path + ": " + reason;
        }
        return false;
    }
    *folder = path;
    return true;
}

std::string portNameFromDevicePath(const std::string &path)
{
    for (const char *prefix : {"//./", "\\\\.\\"}) {
        const std::string p(prefix);
        if (path.compare(0, p.size(), p) == 0) {
            return path.substr(p.size());
        }
    }
    return path;
}

bool setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool outputAbandoned()
{
    struct stat info = {};
    if (fstat(STDOUT_FILENO, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        return false;
    }
    // A pipe without readers reports an error to its writer.
    pollfd check = {STDOUT_FILENO, POLLOUT, 0};
    return poll(&check, 1, 0) > 0 && (check.revents & POLLERR) != 0;
}

RelayEnd relay(int first, int second, volatile std::sig_atomic_t *stop, int drainIdleLimitMs, const RelayWatch &watch)
{
    using Clock = std::chrono::steady_clock;
    const int fds[2] = {first, second};
    // pending[i] was read from side i and waits to be written to the other side.
    std::string pending[2];
    bool writable[2] = {true, true};
    bool ending = false;
    RelayEnd end = RelayEnd::Stopped;
    Clock::time_point lastProgress = Clock::now();
    char chunk[chunkSize];

    const auto beginEnding = [&](int side) {
        if (!ending) {
            ending = true;
            end = endOf(side);
            lastProgress = Clock::now();
        }
    };

    while (!*stop) {
        if (ending) {
            const bool drained = (pending[0].empty() || !writable[1]) && (pending[1].empty() || !writable[0]);
            const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress);
            if (drained || idle.count() >= drainIdleLimitMs) {
                return end;
            }
        }
        pollfd polls[3] = {{first, 0, 0}, {second, 0, 0}, {watch.fd, POLLIN, 0}};
        for (int i = 0; i < 2; ++i) {
            if (!ending && pending[i].size() < bufferLimit) {
                polls[i].events |= POLLIN;
            }
            if (writable[i] && !pending[1 - i].empty()) {
                polls[i].events |= POLLOUT;
            }
            // While draining, a side with nothing to do must not wake the loop with its hang-up over and over.
            if (ending && polls[i].events == 0) {
                polls[i].fd = -1;
            }
        }
        if (poll(polls, 3, ending ? drainPollMs : -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ending ? end : RelayEnd::Stopped;
        }
        if (polls[2].revents != 0 && watch.ended && watch.ended()) {
            return RelayEnd::WatchEnded;
        }
        for (int i = 0; i < 2; ++i) {
            const short events = polls[i].revents;
            if (!ending && (events & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t n = read(fds[i], chunk, sizeof chunk);
                if (n > 0) {
                    pending[i].append(chunk, static_cast<std::size_t>(n));
                } else if (n == 0 || !transient(errno)) {
                    beginEnding(i);
                }
            }
            std::string &outgoing = pending[1 - i];
            if (writable[i] && !outgoing.empty() && (events & (POLLOUT | POLLHUP | POLLERR))) {
                const ssize_t n = write(fds[i], outgoing.data(), outgoing.size());
                if (n > 0) {
                    outgoing.erase(0, static_cast<std::size_t>(n));
                    lastProgress = Clock::now();
                } else if (n < 0 && !transient(errno)) {
                    // A side that takes nothing more has ended too; what was meant for it is lost with it.
                    writable[i] = false;
                    beginEnding(i);
                }
            }
        }
    }
    return RelayEnd::Stopped;
}

} // namespace serialtools

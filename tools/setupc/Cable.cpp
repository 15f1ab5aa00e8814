#include "tools/setupc/Cable.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace serialtools
{

namespace
{
constexpr std::size_t bufferLimit = 64 * 1024;
constexpr std::size_t chunkSize = 4096;

struct End
{
    int master = -1;
    int watch = -1;
    bool plugged = false;
    // Read from this end, waiting to be written to the other.
    std::string pending;
};

bool transient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// The last user has gone: what we sent and it did not read goes, and so does the exclusive mode it may have set,
// which the kernel keeps on a pseudo-terminal for as long as its master is open. Both take a handle of our own on
// the terminal, made through the master.
void resetTerminal(int master)
{
    const int terminal = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        return;
    }
    ioctl(terminal, TIOCNXCL);
    tcflush(terminal, TCIFLUSH);
    close(terminal);
}

// Reads the queued events; opened[i] tells whether somebody opened end i's terminal (a lost event counts for both).
void readOpens(int notify, const End ends[2], bool opened[2])
{
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(notify, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            for (int i = 0; i < 2; ++i) {
                opened[i] = opened[i] || event.wd == ends[i].watch || (event.mask & IN_Q_OVERFLOW) != 0;
            }
            at += ssize_t(sizeof event) + ssize_t(event.len);
        }
    }
}
} // namespace

bool terminalOpen(int master)
{
    // With no event asked for, poll still reports a hang-up: nobody has the terminal open.
    pollfd check = {master, 0, 0};
    int ready;
    while ((ready = poll(&check, 1, 0)) < 0 && errno == EINTR) {
    }
    return ready == 0;
}

CableStop runCable(const CableEnd &first, const CableEnd &second, int watchFd, volatile std::sig_atomic_t *stop)
{
    End ends[2];
    ends[0].master = first.master;
    ends[1].master = second.master;
    const int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify >= 0) {
        ends[0].watch = inotify_add_watch(notify, first.terminalPath.c_str(), IN_OPEN);
        ends[1].watch = inotify_add_watch(notify, second.terminalPath.c_str(), IN_OPEN);
    }
    if (notify < 0 || ends[0].watch < 0 || ends[1].watch < 0) {
        if (notify >= 0) {
            close(notify);
        }
        return CableStop::Failed;
    }
    char chunk[chunkSize];
    CableStop result = CableStop::Stopped;

    // An end is plugged in by others at any time: one found open counts as plugged in from then on.
    const auto pluggedNow = [&](int i) {
        if (!ends[i].plugged && terminalOpen(ends[i].master)) {
            ends[i].plugged = true;
        }
        return ends[i].plugged;
    };
    const auto unplug = [&](int i) {
        End &end = ends[i];
        // What its users wrote before they went still goes to the other end.
        ssize_t n;
        while ((n = read(end.master, chunk, sizeof chunk)) > 0) {
            if (pluggedNow(1 - i)) {
                end.pending.append(chunk, static_cast<std::size_t>(n));
            }
        }
        end.plugged = false;
        ends[1 - i].pending.clear();
        resetTerminal(end.master);
        // Our own handle was an open like a user's: its event goes, and the ends are looked at again instead.
        bool ignored[2] = {false, false};
        readOpens(notify, ends, ignored);
        pluggedNow(0);
        pluggedNow(1);
    };
    // Looks at both ends afresh; opened[i]: somebody opened end i since the last look.
    const auto look = [&](const bool opened[2]) {
        for (int i = 0; i < 2; ++i) {
            const bool open = terminalOpen(ends[i].master);
            if (open) {
                ends[i].plugged = true;
            } else if (ends[i].plugged || opened[i]) {
                // Gone, or came and went before we looked: either way its user has left.
                unplug(i);
            }
        }
    };

    const bool none[2] = {false, false};
    look(none);
    while (!*stop) {
        // An end that is out reports a hang-up at once on every poll: it is waited for through inotify instead.
        pollfd polls[4] = {{-1, 0, 0}, {-1, 0, 0}, {notify, POLLIN, 0}, {watchFd, POLLIN, 0}};
        for (int i = 0; i < 2; ++i) {
            if (!ends[i].plugged) {
                continue;
            }
            polls[i].fd = ends[i].master;
            if (ends[i].pending.size() < bufferLimit) {
                polls[i].events |= POLLIN;
            }
            if (!ends[1 - i].pending.empty()) {
                polls[i].events |= POLLOUT;
            }
        }
        if (poll(polls, 4, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = CableStop::Failed;
            break;
        }
        if (polls[3].revents != 0) {
            result = CableStop::WatchedEnded;
            break;
        }
        if (polls[2].revents != 0) {
            bool opened[2] = {false, false};
            readOpens(notify, ends, opened);
            look(opened);
        }
        for (int i = 0; i < 2; ++i) {
            End &end = ends[i];
            const short events = polls[i].revents;
            if (!end.plugged || events == 0) {
                continue;
            }
            if (events & (POLLHUP | POLLERR)) {
                unplug(i);
                continue;
            }
            if (events & POLLIN) {
                const ssize_t n = read(end.master, chunk, sizeof chunk);
                if (n > 0) {
                    // Taken now: it goes on only if somebody is at the other end now.
                    if (pluggedNow(1 - i)) {
                        end.pending.append(chunk, static_cast<std::size_t>(n));
                    }
                } else if (n == 0 || !transient(errno)) {
                    unplug(i);
                    continue;
                }
            }
            std::string &outgoing = ends[1 - i].pending;
            if ((events & POLLOUT) && !outgoing.empty()) {
                const ssize_t n = write(end.master, outgoing.data(), outgoing.size());
                if (n > 0) {
                    outgoing.erase(0, static_cast<std::size_t>(n));
                } else if (n < 0 && !transient(errno)) {
                    unplug(i);
                }
            }
        }
    }
    close(notify);
    return result;
}

} // namespace serialtools

#include "tools/setupc/Cable.h"

#include <cerrno>

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

void drain(int fd)
{
    char chunk[sizeof(inotify_event) + 256];
    while (read(fd, chunk, sizeof chunk) > 0) {
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
    const int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify < 0 || inotify_add_watch(notify, first.terminalPath.c_str(), IN_OPEN) < 0
        || inotify_add_watch(notify, second.terminalPath.c_str(), IN_OPEN) < 0) {
        if (notify >= 0) {
            close(notify);
        }
        return CableStop::Failed;
    }
    End ends[2];
    ends[0].master = first.master;
    ends[1].master = second.master;
    char chunk[chunkSize];
    CableStop result = CableStop::Stopped;

    const auto unplug = [&](int i) {
        End &end = ends[i];
        // What its users wrote before they went still goes to the other end.
        ssize_t n;
        while ((n = read(end.master, chunk, sizeof chunk)) > 0) {
            if (ends[1 - i].plugged) {
                end.pending.append(chunk, static_cast<std::size_t>(n));
            }
        }
        end.plugged = false;
        ends[1 - i].pending.clear();
        resetTerminal(end.master);
    };

    while (!*stop) {
        // An end is plugged in or out by others at any time: looked at afresh on every turn, before any byte moves.
        for (int i = 0; i < 2; ++i) {
            const bool open = terminalOpen(ends[i].master);
            if (open && !ends[i].plugged) {
                ends[i].plugged = true;
            } else if (!open && ends[i].plugged) {
                unplug(i);
            }
        }

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
            drain(notify);
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
                    if (ends[1 - i].plugged) {
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

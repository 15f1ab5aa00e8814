#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

struct nlmsghdr;

// Keeps the host's routes and addresses as they were before the daemon started, however the daemon ends. It listens
// to the kernel's announcement of every change while the daemon runs, and tells the daemon's own changes by the
// netlink port the kernel names in each: the daemon's sockets take its process id. Once the daemon has ended, a route
// or address it added and left (outside its tun device, which is gone with it) is removed, and one of the host's that
// it removed is put back; another program's changes are left alone. Plain calls of one thread, the connection's.
class RouteJournal
{
public:
    struct Undone
    {
        int removed = 0;      // routes and addresses the daemon had added and left
        int restored = 0;     // routes and addresses of the host the daemon had removed
        int failed = 0;       // changes the kernel would not undo
        bool complete = true; // false when announcements were lost, or the host's state could not be read
    };

    RouteJournal() = default;
    ~RouteJournal();

    RouteJournal(const RouteJournal &) = delete;
    RouteJournal &operator=(const RouteJournal &) = delete;

    // Before the daemon starts: listens, then notes the host's routes and addresses. False, with the reason, when the
    // kernel cannot be followed; nothing is undone then.
    [[nodiscard]] bool begin(std::string &error);
    // The daemon's process id, as soon as it exists and before any announcement is read.
    void follow(pid_t daemon);
    // Readable when announcements wait; -1 without.
    int fd() const;
    // Takes the announcements that have arrived.
    void read();
    // Once the daemon has ended: undoes what it left changed.
    Undone undo();

private:
    using State = std::map<std::string, std::string>; // a route's or address's identity, and the kernel's message

    void take(const nlmsghdr &message);
    static bool readState(State &state);
    static bool send(const std::string &message, bool add);

    int m_fd = -1;
    pid_t m_daemon = -1;
    bool m_lost = false;
    State m_before;
    std::set<std::string> m_added;   // by the daemon, since the start
    std::set<std::string> m_removed; // by the daemon, since the start
    std::vector<char> m_buffer;
};

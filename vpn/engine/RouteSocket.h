#pragma once

#include <functional>

struct nlmsghdr;

// One request to the kernel over a netlink route socket, and its answer read with a bound wait. Shared by the route
// lookups and the tun counters. Plain calls of the calling thread.
class RouteSocket
{
public:
    // Sends the request and hands each message of the answer to visit, in order, until visit returns false or the
    // answer ends: after the one message of a plain request, at the end of a dump, at an error, or when no answer
    // comes within the wait.
    static void ask(const nlmsghdr &request, const std::function<bool(nlmsghdr &)> &visit);
};

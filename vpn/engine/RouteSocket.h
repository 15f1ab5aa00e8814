#pragma once

#include <cstdint>
#include <functional>

struct nlmsghdr;

// One request to the kernel over a netlink route socket, and its answer read with a bound wait. Shared by the route
// lookups, the tun counters and the route journal. Plain calls of the calling thread.
class RouteSocket
{
public:
    // Sends the request and hands each message of the answer to visit, in order, until visit returns false or the
    // answer ends: after the one message of a plain request, at the end of a dump, at an acknowledgement or error, or
    // when no answer comes within the wait. True when the answer came to its end without an error.
    static bool ask(const nlmsghdr &request, const std::function<bool(nlmsghdr &)> &visit);
    // A dump of the kernel's routes (RTM_GETROUTE) or addresses (RTM_GETADDR) of one family (AF_UNSPEC: all), as
    // ask() hands them over.
    static bool dump(std::uint16_t type, unsigned char family, const std::function<bool(nlmsghdr &)> &visit);
    // A change (a route or address to add or remove), sent with the acknowledgement asked for: true once the kernel
    // has made it.
    static bool change(nlmsghdr &request);
};

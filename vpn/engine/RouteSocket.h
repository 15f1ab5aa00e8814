#pragma once

struct nlmsghdr;

// A netlink route socket that has sent one request to the kernel, with a bound wait for the answer. Shared by the
// route lookups and the tun counters. Plain calls of the calling thread.
class RouteSocket
{
public:
    // The socket's descriptor (the caller closes it), or -1 on failure.
    static int send(const nlmsghdr &request);
};

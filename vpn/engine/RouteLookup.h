#pragma once

#include <string>
#include <vector>

// Asks the kernel which way it sends IPv4 packets, over a netlink route socket. Used before the daemon starts, to
// keep the VPN server reachable the way it is reached now. Plain calls of the calling thread.
class RouteLookup
{
public:
    struct Route
    {
        bool found = false;
        bool viaGateway = false;
        std::string gateway; // dotted quad, when viaGateway
        int interfaceIndex = 0;
    };

    // The route the kernel takes to an IPv4 address.
    static Route to(const std::string &address);
    // The default route, as the daemon's "net_gateway" names it.
    static Route defaultRoute();
    // Whether every address of the servers is reached through the default gateway, so that a host route to the
    // server through "net_gateway" keeps it outside the tunnel. False when any is reached another way (on a
    // directly connected network, or through another gateway), or when there is no default gateway; false as well
    // when cancelFd becomes readable while the servers' names are still being looked up (HostLookup).
    static bool serversBehindDefaultGateway(const std::vector<std::string> &hosts, int cancelFd = -1);
};

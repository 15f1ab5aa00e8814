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
    enum class ServerRoute
    {
        ThroughDefaultGateway, // every IPv4 address of the servers
        OtherWay,              // one is reached another way (on a network of this host, through another gateway), or
                               // there is no default gateway
        NoIpv4Address,         // the servers have none: IPv6 servers, or names without an IPv4 address
        NotLookedUp,           // cancelFd became readable first, or earlier lookups left no room (HostLookup)
    };

    // How the servers' IPv4 addresses are reached: through the default gateway, a host route to the server through
    // "net_gateway" keeps it outside the tunnel. IPv6 addresses are left out: the daemon routes those itself.
    static ServerRoute serversBehindDefaultGateway(const std::vector<std::string> &hosts, int cancelFd = -1);
};

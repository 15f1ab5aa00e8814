#include "vpn/engine/RouteLookup.h"

#include <cstring>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include "vpn/engine/HostLookup.h"
#include "vpn/engine/RouteSocket.h"

// The kernel's netlink macros are C, with C casts.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace
{
// The gateway, output link and metric a route message carries, and the table it belongs to.
RouteLookup::Route routeOf(nlmsghdr *header, unsigned *table, unsigned *metric)
{
    RouteLookup::Route route;
    auto *message = static_cast<rtmsg *>(NLMSG_DATA(header));
    *table = message->rtm_table;
    *metric = 0;
    int attributesLeft = static_cast<int>(RTM_PAYLOAD(header));
    for (rtattr *attribute = RTM_RTA(message); RTA_OK(attribute, attributesLeft);
         attribute = RTA_NEXT(attribute, attributesLeft)) {
        if (attribute->rta_type == RTA_GATEWAY && RTA_PAYLOAD(attribute) == sizeof(in_addr)) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, RTA_DATA(attribute), text, sizeof text);
            route.gateway = text;
            route.viaGateway = true;
        } else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) == sizeof(int)) {
            std::memcpy(&route.interfaceIndex, RTA_DATA(attribute), sizeof(int));
        } else if (attribute->rta_type == RTA_PRIORITY && RTA_PAYLOAD(attribute) == sizeof(unsigned)) {
            std::memcpy(metric, RTA_DATA(attribute), sizeof(unsigned));
        } else if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) == sizeof(unsigned)) {
            std::memcpy(table, RTA_DATA(attribute), sizeof(unsigned));
        }
    }
    route.found = true;
    return route;
}

// One RTM_GETROUTE request for an address and its one answer: the route the kernel takes to it.
RouteLookup::Route lookup(const in_addr &destination)
{
    struct
    {
        nlmsghdr header;
        rtmsg message;
        char attributes[RTA_SPACE(sizeof(in_addr))];
    } request = {};

    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.message.rtm_family = AF_INET;
    request.message.rtm_dst_len = 32;
    auto *attribute = reinterpret_cast<rtattr *>(request.attributes);
    attribute->rta_type = RTA_DST;
    attribute->rta_len = RTA_LENGTH(sizeof(in_addr));
    std::memcpy(RTA_DATA(attribute), &destination, sizeof(in_addr));
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_SPACE(sizeof(in_addr));
    RouteLookup::Route route;
    RouteSocket::ask(request.header, [&route](nlmsghdr &header) {
        if (header.nlmsg_type != RTM_NEWROUTE) {
            return true;
        }
        unsigned table = 0;
        unsigned metric = 0;
        route = routeOf(&header, &table, &metric);
        return false;
    });
    return route;
}

// The main table's default route with the lowest metric, from a dump of the table: a lookup of 0.0.0.0 would
// answer with the local route of "this host".
RouteLookup::Route lookupDefault()
{
    RouteLookup::Route best;
    unsigned bestMetric = ~0U;
    RouteSocket::dump(RTM_GETROUTE, AF_INET, [&best, &bestMetric](nlmsghdr &header) {
        const auto *message = static_cast<const rtmsg *>(NLMSG_DATA(&header));
        if (header.nlmsg_type != RTM_NEWROUTE || message->rtm_dst_len != 0 || message->rtm_type != RTN_UNICAST) {
            return true;
        }
        unsigned table = 0;
        unsigned metric = 0;
        const RouteLookup::Route route = routeOf(&header, &table, &metric);
        if (table == RT_TABLE_MAIN && (!best.found || metric < bestMetric)) {
            best = route;
            bestMetric = metric;
        }
        return true;
    });
    return best;
}
} // namespace

RouteLookup::Route RouteLookup::to(const std::string &address)
{
    in_addr destination = {};
    if (inet_pton(AF_INET, address.c_str(), &destination) != 1) {
        return {};
    }
    return lookup(destination);
}

RouteLookup::Route RouteLookup::defaultRoute()
{
    return lookupDefault();
}

RouteLookup::ServerRoute RouteLookup::serversBehindDefaultGateway(const std::vector<std::string> &hosts, int cancelFd)
{
    const Route fallback = defaultRoute();
    if (!fallback.found || !fallback.viaGateway) {
        return ServerRoute::OtherWay;
    }
    std::vector<std::string> addresses;
    if (HostLookup::addressesOf(hosts, cancelFd, addresses) != HostLookup::Answer::Found) {
        return ServerRoute::NotLookedUp;
    }
    if (addresses.empty()) {
        return ServerRoute::NoIpv4Address;
    }
    for (const std::string &address : addresses) {
        const Route route = to(address);
        if (!route.found || !route.viaGateway || route.gateway != fallback.gateway
            || route.interfaceIndex != fallback.interfaceIndex) {
            return ServerRoute::OtherWay;
        }
    }
    return ServerRoute::ThroughDefaultGateway;
}

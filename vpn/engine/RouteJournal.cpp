#include "vpn/engine/RouteJournal.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vpn/engine/RouteSocket.h"

// The kernel's netlink macros are C, with C casts.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace
{
// Room for the announcements of thousands of pushed routes while the connection's thread is busy elsewhere.
constexpr int announcementBufferBytes = 32 << 20;
constexpr std::size_t readBufferBytes = 65536;

void appendAttribute(std::string &key, unsigned type, const void *data, std::size_t length)
{
    key += '|' + std::to_string(type) + ':';
    key.append(static_cast<const char *>(data), length);
}

// What the kernel tells one IPv4 or IPv6 route by (its table, destination, source, type of service, metric and next
// hops), or empty for anything else.
std::string routeKey(const nlmsghdr &header)
{
    if (header.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
        return {};
    }
    const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(&header));
    if ((route->rtm_family != AF_INET && route->rtm_family != AF_INET6) || (route->rtm_flags & RTM_F_CLONED)) {
        return {};
    }
    unsigned table = route->rtm_table;
    std::map<unsigned, std::string> attributes;
    int left = static_cast<int>(RTM_PAYLOAD(&header));
    for (const rtattr *attribute = RTM_RTA(route); RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
        const auto *data = static_cast<const char *>(RTA_DATA(attribute));
        const std::size_t length = RTA_PAYLOAD(attribute);
        switch (attribute->rta_type) {
        case RTA_TABLE:
            if (length == sizeof table) {
                std::memcpy(&table, data, length);
            }
            break;
        case RTA_DST:
        case RTA_SRC:
        case RTA_GATEWAY:
        case RTA_OIF:
        case RTA_PRIORITY:
        case RTA_MULTIPATH:
        case RTA_VIA:
            attributes[attribute->rta_type].assign(data, length);
            break;
        default:
            break;
        }
    }
    std::string key = "route " + std::to_string(route->rtm_family) + ' ' + std::to_string(table) + ' '
                      + std::to_string(route->rtm_type) + ' ' + std::to_string(route->rtm_dst_len) + ' '
                      + std::to_string(route->rtm_src_len) + ' ' + std::to_string(route->rtm_tos);
    for (const auto &[type, value] : attributes) {
        appendAttribute(key, type, value.data(), value.size());
    }
    return key;
}

// What the kernel tells one IPv4 or IPv6 address by (its device, prefix and addresses), or empty for anything else.
std::string addressKey(const nlmsghdr &header)
{
    if (header.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
        return {};
    }
    const auto *address = static_cast<const ifaddrmsg *>(NLMSG_DATA(&header));
    if (address->ifa_family != AF_INET && address->ifa_family != AF_INET6) {
        return {};
    }
    std::string key = "address " + std::to_string(address->ifa_family) + ' ' + std::to_string(address->ifa_index) + ' '
                      + std::to_string(address->ifa_prefixlen);
    int left = static_cast<int>(IFA_PAYLOAD(&header));
    for (const rtattr *attribute = IFA_RTA(address); RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
        if (attribute->rta_type == IFA_LOCAL || attribute->rta_type == IFA_ADDRESS) {
            appendAttribute(key, attribute->rta_type, RTA_DATA(attribute), RTA_PAYLOAD(attribute));
        }
    }
    return key;
}

std::string keyOf(const nlmsghdr &header)
{
    switch (header.nlmsg_type) {
    case RTM_NEWROUTE:
    case RTM_DELROUTE:
        return routeKey(header);
    case RTM_NEWADDR:
    case RTM_DELADDR:
        return addressKey(header);
    default:
        return {};
    }
}

bool isRoute(const std::string &key)
{
    return key.compare(0, 6, "route ") == 0;
}

// Every route or address of every family, as a dump of the kernel's tables gives them.
bool dump(std::uint16_t type, std::map<std::string, std::string> &state)
{
    return RouteSocket::dump(type, AF_UNSPEC, [&state](nlmsghdr &header) {
        const std::string key = keyOf(header);
        if (!key.empty()) {
            state[key].assign(reinterpret_cast<const char *>(&header), header.nlmsg_len);
        }
        return true;
    });
}
} // namespace

RouteJournal::~RouteJournal()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool RouteJournal::begin(std::string &error)
{
    m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_fd < 0) {
        error = std::string("cannot open a netlink socket: ") + std::strerror(errno);
        return false;
    }
    // Root may go past the system's limit; anyone else gets what the limit allows.
    if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &announcementBufferBytes, sizeof announcementBufferBytes) != 0) {
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &announcementBufferBytes, sizeof announcementBufferBytes);
    }
    sockaddr_nl local = {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    // Listening first: a change made while the state is read is announced, not missed.
    if (bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || !readState(m_before)) {
        error = std::string("cannot follow the host's routes: ") + std::strerror(errno);
        close(m_fd);
        m_fd = -1;
        return false;
    }
    m_buffer.resize(readBufferBytes);
    return true;
}

void RouteJournal::follow(pid_t daemon)
{
    m_daemon = daemon;
}

int RouteJournal::fd() const
{
    return m_fd;
}

void RouteJournal::read()
{
    if (m_fd < 0) {
        return;
    }
    while (true) {
        const ssize_t length = recv(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
        if (length < 0 && errno == ENOBUFS) {
            // The kernel dropped announcements it had no room for: what they said is not known.
            m_lost = true;
            continue;
        }
        if (length <= 0) {
            return;
        }
        int left = static_cast<int>(length);
        for (auto *header = reinterpret_cast<const nlmsghdr *>(m_buffer.data()); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            take(*header);
        }
    }
}

void RouteJournal::take(const nlmsghdr &message)
{
    const std::string key = keyOf(message);
    if (key.empty()) {
        return;
    }
    const bool added = message.nlmsg_type == RTM_NEWROUTE || message.nlmsg_type == RTM_NEWADDR;
    std::set<std::string> &changes = added ? m_added : m_removed;
    // The port is the sender's; the kernel's own changes (as a device goes) carry 0.
    if (m_daemon > 0 && message.nlmsg_pid == static_cast<std::uint32_t>(m_daemon)) {
        changes.insert(key);
    } else {
        // What another program has added, or wants gone, is its own.
        changes.erase(key);
    }
}

RouteJournal::Undone RouteJournal::undo()
{
    Undone undone;
    if (m_fd < 0) {
        undone.complete = false;
        return undone;
    }
    read();
    undone.complete = !m_lost;
    State now;
    if (!readState(now)) {
        undone.complete = false;
        return undone;
    }
    // Routes before the addresses they may lie on, and added ones first; then the host's own, addresses first.
    for (auto key = m_added.rbegin(); key != m_added.rend(); ++key) {
        const auto current = now.find(*key);
        if (current != now.end() && m_before.count(*key) == 0) {
            ++(send(current->second, false) ? undone.removed : undone.failed);
        }
    }
    for (const std::string &key : m_removed) {
        const auto earlier = m_before.find(key);
        if (earlier != m_before.end() && now.count(key) == 0) {
            ++(send(earlier->second, true) ? undone.restored : undone.failed);
        }
    }
    m_added.clear();
    m_removed.clear();
    return undone;
}

bool RouteJournal::readState(State &state)
{
    state.clear();
    return dump(RTM_GETROUTE, state) && dump(RTM_GETADDR, state);
}

// The kernel's message of a route or address, sent back as the request to add or remove it.
bool RouteJournal::send(const std::string &message, bool add)
{
    std::vector<nlmsghdr> request((message.size() + sizeof(nlmsghdr) - 1) / sizeof(nlmsghdr));
    std::memcpy(request.data(), message.data(), message.size());
    nlmsghdr &header = request.front();
    const bool route = isRoute(keyOf(header));
    header.nlmsg_type = route ? (add ? RTM_NEWROUTE : RTM_DELROUTE) : (add ? RTM_NEWADDR : RTM_DELADDR);
    header.nlmsg_flags = NLM_F_REQUEST | (add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    header.nlmsg_seq = 1;
    header.nlmsg_pid = 0;
    if (route && add) {
        // A dump marks a next hop whose link is down; a new route may not say so.
        auto *body = static_cast<rtmsg *>(NLMSG_DATA(&header));
        body->rtm_flags &= RTNH_F_ONLINK;
    }
    return RouteSocket::change(header);
}

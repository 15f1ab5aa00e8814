#include "vpn/engine/RouteSocket.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

// The kernel's netlink macros are C, with C casts.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace
{
constexpr int replyTimeoutMs = 1000;

// The socket's descriptor once the request has gone out, or -1.
int send(const nlmsghdr &request)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return -1;
    }
    timeval timeout = {replyTimeoutMs / 1000, (replyTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &request, request.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}
} // namespace

bool RouteSocket::dump(std::uint16_t type, unsigned char family, const std::function<bool(nlmsghdr &)> &visit)
{
    // Both requests start with the family; the rest stays zero.
    struct
    {
        nlmsghdr header;
        rtmsg message;
    } request = {};

    request.header.nlmsg_len = NLMSG_LENGTH(type == RTM_GETADDR ? sizeof(ifaddrmsg) : sizeof(rtmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.message.rtm_family = family;
    return ask(request.header, visit);
}

bool RouteSocket::ask(const nlmsghdr &request, const std::function<bool(nlmsghdr &)> &visit)
{
    const int fd = send(request);
    if (fd < 0) {
        return false;
    }
    alignas(nlmsghdr) char reply[16384];
    bool more = true;
    bool ended = false;
    while (more) {
        const ssize_t length = recv(fd, reply, sizeof reply, 0);
        if (length <= 0) {
            break;
        }
        more = false;
        int left = static_cast<int>(length);
        for (auto *header = reinterpret_cast<nlmsghdr *>(reply); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
                ended = header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && error->error == 0;
                more = false;
                break;
            }
            if (header->nlmsg_type == NLMSG_DONE || !visit(*header)) {
                ended = true;
                more = false;
                break;
            }
            // The parts of a dump say so, and NLMSG_DONE follows the last of them.
            more = (header->nlmsg_flags & NLM_F_MULTI) != 0;
            ended = !more;
        }
    }
    close(fd);
    return ended;
}

bool RouteSocket::change(nlmsghdr &request)
{
    request.nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    return ask(request, [](nlmsghdr &) { return true; });
}

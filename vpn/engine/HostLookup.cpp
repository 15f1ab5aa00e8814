#include "vpn/engine/HostLookup.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// What the caller and the lookup's thread share; it lives as long as either holds it.
struct Lookup
{
    std::mutex mutex;
    bool abandoned = false; // the caller has stopped waiting: the names left are not asked about
    std::vector<std::string> addresses;
    int doneFd = eventfd(0, EFD_CLOEXEC);

    ~Lookup()
    {
        if (doneFd >= 0) {
            close(doneFd);
        }
    }
};

bool isAddress(const std::string &host)
{
    in_addr literal = {};
    return inet_pton(AF_INET, host.c_str(), &literal) == 1;
}

std::vector<std::string> addressesOfOne(const std::string &host)
{
    if (isAddress(host)) {
        return {host};
    }
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return {};
    }
    std::vector<std::string> addresses;
    for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(entry->ai_addr)->sin_addr, text, sizeof text);
        addresses.emplace_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

void lookUp(const std::shared_ptr<Lookup> &lookup, const std::vector<std::string> &hosts)
{
    std::vector<std::string> addresses;
    for (const std::string &host : hosts) {
        {
            const std::lock_guard<std::mutex> lock(lookup->mutex);
            if (lookup->abandoned) {
                return;
            }
        }
        for (std::string &address : addressesOfOne(host)) {
            addresses.push_back(std::move(address));
        }
    }
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->addresses = std::move(addresses);
    const std::uint64_t one = 1;
    if (write(lookup->doneFd, &one, sizeof one) < 0) {
        // An eventfd only refuses a write that would overflow its counter, which one write cannot.
    }
}
} // namespace

bool HostLookup::addressesOf(const std::vector<std::string> &hosts, int cancelFd, std::vector<std::string> &addresses)
{
    addresses.clear();
    auto lookup = std::make_shared<Lookup>();
    const bool namesToAsk =
        std::any_of(hosts.begin(), hosts.end(), [](const std::string &host) { return !isAddress(host); });
    bool started = false;
    if (namesToAsk && lookup->doneFd >= 0) {
        try {
            std::thread(lookUp, lookup, hosts).detach();
            started = true;
        } catch (const std::system_error &) {
            // No thread to be had: asked here, as the caller would have.
        }
    }
    if (!started) {
        for (const std::string &host : hosts) {
            for (std::string &address : addressesOfOne(host)) {
                addresses.push_back(std::move(address));
            }
        }
        return true;
    }
    pollfd fds[2] = {{lookup->doneFd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    while (true) {
        const int ready = poll(fds, cancelFd >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        if (fds[0].revents & POLLIN) {
            addresses = lookup->addresses;
            return true;
        }
        if (ready < 0 || fds[1].revents != 0) {
            lookup->abandoned = true;
            return false;
        }
    }
}

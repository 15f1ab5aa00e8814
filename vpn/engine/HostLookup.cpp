#include "vpn/engine/HostLookup.h"

#include <algorithm>
#include <atomic>
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
// A resolver that does not answer holds each lookup for its time-outs; starts and stops meanwhile must not pile up
// a thread apiece.
constexpr int maxRunningLookups = 4;
// Trivially destroyed: a thread whose lookup was given up may outlive main().
std::atomic<int> runningLookups{0};

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

bool isIpv4(const std::string &host)
{
    in_addr literal = {};
    return inet_pton(AF_INET, host.c_str(), &literal) == 1;
}

bool isIpv6(const std::string &host)
{
    in6_addr literal = {};
    return inet_pton(AF_INET6, host.c_str(), &literal) == 1;
}

bool needsLookup(const std::string &host)
{
    return !isIpv4(host) && !isIpv6(host);
}

std::vector<std::string> addressesOfOne(const std::string &host)
{
    if (isIpv4(host)) {
        return {host};
    }
    if (isIpv6(host)) {
        return {};
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

std::vector<std::string> addressesOfAll(const std::vector<std::string> &hosts)
{
    std::vector<std::string> addresses;
    for (const std::string &host : hosts) {
        for (std::string &address : addressesOfOne(host)) {
            addresses.push_back(std::move(address));
        }
    }
    return addresses;
}

void lookUp(const std::shared_ptr<Lookup> &lookup, const std::vector<std::string> &hosts)
{
    std::vector<std::string> addresses;
    for (const std::string &host : hosts) {
        {
            const std::lock_guard<std::mutex> lock(lookup->mutex);
            if (lookup->abandoned) {
                --runningLookups;
                return;
            }
        }
        for (std::string &address : addressesOfOne(host)) {
            addresses.push_back(std::move(address));
        }
    }
    --runningLookups;
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->addresses = std::move(addresses);
    const std::uint64_t one = 1;
    if (write(lookup->doneFd, &one, sizeof one) < 0) {
        // An eventfd only refuses a write that would overflow its counter, which one write cannot.
    }
}

// A place among the running lookups, or false when they are all taken.
bool takePlace()
{
    int running = runningLookups.load();
    while (running < maxRunningLookups) {
        if (runningLookups.compare_exchange_weak(running, running + 1)) {
            return true;
        }
    }
    return false;
}
} // namespace

HostLookup::Answer
HostLookup::addressesOf(const std::vector<std::string> &hosts, int cancelFd, std::vector<std::string> &addresses)
{
    addresses.clear();
    if (std::none_of(hosts.begin(), hosts.end(), needsLookup)) {
        addresses = addressesOfAll(hosts);
        return Answer::Found;
    }
    if (!takePlace()) {
        return Answer::Busy;
    }
    auto lookup = std::make_shared<Lookup>();
    bool started = false;
    if (lookup->doneFd >= 0) {
        try {
            std::thread(lookUp, lookup, hosts).detach();
            started = true;
        } catch (const std::system_error &) {
            // No thread to be had: asked here, as the caller would have.
        }
    }
    if (!started) {
        --runningLookups;
        addresses = addressesOfAll(hosts);
        return Answer::Found;
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
            return Answer::Found;
        }
        if (ready < 0 || fds[1].revents != 0) {
            lookup->abandoned = true;
            return Answer::Cancelled;
        }
    }
}

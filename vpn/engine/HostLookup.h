#pragma once

#include <string>
#include <vector>

// Looks host names up in the system's resolver, which may take as long as its time-outs allow, on a thread of the
// lookup's own: the caller waits only until it has the answer or is told to stop waiting. A lookup given up finishes
// by itself (after the name it is asking about) and its answer is dropped. Only a few run at once, however many are
// given up: past that, no lookup is made until one has finished. Plain calls of any thread.
class HostLookup
{
public:
    enum class Answer
    {
        Found,     // every name has had its answer; addresses may still be empty
        Cancelled, // cancelFd became readable first
        Busy,      // as many lookups as may run are still running
    };

    // The IPv4 addresses of the hosts, in order; an IPv4 address stands for itself and an IPv6 address gives none.
    // cancelFd is an eventfd or a pipe, or -1 for none; addresses stay empty unless the answer is Found.
    static Answer addressesOf(const std::vector<std::string> &hosts, int cancelFd, std::vector<std::string> &addresses);
};

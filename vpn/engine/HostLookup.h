#pragma once

#include <string>
#include <vector>

// Looks host names up in the system's resolver, which may take as long as its time-outs allow, on a thread of the
// lookup's own: the caller waits only until it has the answer or is told to stop waiting. A lookup given up finishes
// by itself (after the name it is asking about) and its answer is dropped. Plain calls of any thread.
class HostLookup
{
public:
    // The IPv4 addresses of the hosts, in order; an address stands for itself. False, with nothing found, when
    // cancelFd (an eventfd or a pipe, or -1 for none) became readable before every name had its answer.
    static bool addressesOf(const std::vector<std::string> &hosts, int cancelFd, std::vector<std::string> &addresses);
};

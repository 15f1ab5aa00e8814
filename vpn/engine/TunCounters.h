#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

// The packet counters of the tun device a process holds open. The device is learnt from the kernel (the tun file
// descriptor's own fdinfo), never from what the process writes, and its counters are read by interface index over
// a netlink route socket: no path is built from a name. Plain calls of the calling thread; nothing blocks for long.
class TunCounters
{
public:
    struct Reading
    {
        bool found = false;
        int interfaceIndex = 0;
        std::string name;
        std::uint64_t packetsIn = 0;
        std::uint64_t packetsOut = 0;
    };

    // The first tun device that process holds, with its counters; found is false when it holds none, or the kernel
    // did not answer.
    static Reading of(pid_t pid);
    // Whether a text can be a network interface's name: 1 to 15 bytes, no '/', blank or control character, not "."
    // or "..".
    static bool isInterfaceName(const std::string &name);
    // The device name an fdinfo text of a tun file descriptor carries ("iff:\tNAME"), or empty.
    static std::string deviceOfFdInfo(const std::string &fdInfo);
};

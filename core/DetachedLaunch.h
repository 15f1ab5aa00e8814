#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// One program started apart from us: a double fork, so that it is not our child and nothing is left to reap, in a
// session of its own, in "/", with its standard input from a given descriptor (else /dev/null), our standard output
// and error, and no other descriptor of ours. Optionally as another user, for good. Everything the child needs is
// made before the fork, since after it only async-signal-safe calls are allowed. Plain C++ on POSIX calls.
class DetachedLaunch
{
public:
    // Marks every descriptor from 3 on close-on-exec. Async-signal-safe: for a child between fork and exec.
    static void keepOnlyStandardDescriptors();

    // False, with the reason, when the program was not started; an exec that failed is reported too.
    [[nodiscard]] bool start(std::string *error);

    // An absolute path; its name first among the arguments.
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    // Read from where it stands; -1: /dev/null.
    int input = -1;
    bool asUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

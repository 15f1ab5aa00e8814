#pragma once

#include <string>

#include <sys/types.h>

// The runtime folders. As root the program keeps a private one per user it runs for, made by itself under a folder
// of root's own: Qt's files and the program's (the unpacked com2tcp, the copy of the display's authority). Files that
// other users' programs must reach, the serial pair links, go to a shared runtime folder instead: XDG_RUNTIME_DIR
// when it is a real folder of ours other than those private ones, else /run. Plain C++ on POSIX calls, shared with
// the serial stand-ins.
class RuntimeFolder
{
public:
    static constexpr const char *ownRoot = "/run/lumenbridge-runtime";

    // The private runtime folder of a run for this user id (0: root's own session). Only the path.
    static std::string ownPath(uid_t uid);

    // The shared runtime folder. Only chooses; whether the folder may be used is for PrivateFolder to check.
    static std::string path();
};

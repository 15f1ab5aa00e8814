#pragma once

#include <string>

// The folder for this run's own files: XDG_RUNTIME_DIR when it is an absolute path to a real folder of
// ours, else /run. Started
// through sudo with the environment kept, root may be handed the user's runtime folder: that one is not root's to
// write in, so it is passed over, not refused. Plain C++ on POSIX calls, shared with the serial stand-ins.
class RuntimeFolder
{
public:
    // The private folder that the program, run as root without a runtime folder of its own, makes and hands Qt as
    // XDG_RUNTIME_DIR. It is Qt's alone: the program's own files stay in /run, where the pair links are reachable.
    static constexpr const char *ownPath = "/run/lumenbridge-runtime";

    // Only chooses; whether the folder may be used is for PrivateFolder to check.
    static std::string path();
};

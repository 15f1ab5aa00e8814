#pragma once

#include <string>

// The folder for this run's own files: XDG_RUNTIME_DIR when it is an absolute path to a real folder of
// ours, else /run. Started
// through sudo with the environment kept, root may be handed the user's runtime folder: that one is not root's to
// write in, so it is passed over, not refused. Plain C++ on POSIX calls, shared with the serial stand-ins.
class RuntimeFolder
{
public:
    // Only chooses; whether the folder may be used is for PrivateFolder to check.
    static std::string path();
};

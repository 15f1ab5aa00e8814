#pragma once

#include <string>

// A folder that a root process may write into without being led elsewhere. Every folder on the way to it must be
// owned by root or by us and writable by nobody else; a sticky folder such as /tmp counts, as long as what we pass
// through in it is ours. The folder itself is a real folder (never a link), owned by us, closed to everyone else.
// Plain C++ on POSIX calls, so that the serial stand-ins, which do not link Qt, share the same checks.
class PrivateFolder
{
public:
    // Makes the folder and its missing parents 0700 and closes a folder of ours that others may read to 0700.
    // False, with the reason in error, when the path is relative or anything on it could be changed by another user.
    [[nodiscard]] static bool ensure(const std::string &path, std::string *error = nullptr);
    // The same as ensure with 0755 in place of 0700: others may read the folder, only we may change it. For files
    // that other users' programs must reach, such as the serial pair links.
    [[nodiscard]] static bool ensureShared(const std::string &path, std::string *error = nullptr);
    // The same checks, creating and changing nothing; a missing folder is an error.
    [[nodiscard]] static bool check(const std::string &path, std::string *error = nullptr);
};

#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// The user a root process was started for, as the elevation tools name it: PKEXEC_UID, else SUDO_UID, a number
// above 0 that the account database knows. Plain C++ on POSIX calls, so that the serial stand-ins, which do not link
// Qt, follow the same rule as the program.
struct InvokingUser
{
    enum class Kind
    {
        None,
        Valid,
        Invalid
    };

    // None: neither variable is set, or they name root (root's own session). Invalid, with the reason: a value that
    // is not a user id, the two naming different users, or an id the account database does not know.
    static InvokingUser fromEnvironment();
    // The same rule for values given, null where a variable is not set.
    static InvokingUser fromVariables(const char *pkexecUid, const char *sudoUid);

    // The account's groups, its primary group among them, as the group database lists them; false when they
    // cannot be listed. For Valid only.
    [[nodiscard]] bool groups(std::vector<gid_t> *result) const;

    Kind kind = Kind::None;
    uid_t uid = 0;
    // The account's primary group, name and home folder, for Valid only.
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string reason;
};

#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// What a root run keeps of the environment that the user who started it handed over: names whose values are plain
// data (the display, locale names, the time zone, who started us, the window-system choices, scale factors), XDG
// folders that only root can change, and root's own HOME, PATH, USER and LOGNAME. Everything else is dropped before
// Qt or any library reads it. Plain C++ on POSIX calls, for the top of main().
class RootEnvironment
{
public:
    // The environment a root run keeps of `environment`, in its order, with root's own account variables in place of
    // whatever was given for them; the names dropped go to `dropped`.
    static std::vector<std::string> cleaned(const char *const *environment, std::vector<std::string> *dropped);

    // When the environment holds anything cleaned() drops, says so in one line and runs the program again, from the
    // start, with the cleaned environment, so that nothing dropped was ever seen by a library. Returns when there was
    // nothing to drop, or when the new start failed (the environment is then cleaned in place).
    static void restrict(char *argv[]);

    // The user's own settings, data and cache folders, one per user id under root's own (made private if missing),
    // as XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_CACHE_HOME. False, with the reason, when one cannot be made safely.
    [[nodiscard]] static bool useFoldersOf(uid_t uid, std::string *error);

    // The display's authority file that XAUTHORITY names, read with the user's own rights (root reads nothing the user
    // could not) into a private copy in `folder`, which XAUTHORITY then names. A file the user cannot read, or that is
    // not a plain file, is not used; false, with the reason, and XAUTHORITY is unset. Nothing to do without one.
    [[nodiscard]] static bool useAuthorityOf(uid_t uid, gid_t gid, const std::string &folder, std::string *error);

    // Whether the page's debugging port may be opened: only in a network namespace other than the system's own, in
    // which every process runs as root, so that no other user shares its loopback.
    static bool debuggingReachableByRootOnly();
};

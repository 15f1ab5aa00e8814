#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

struct InvokingUser;

// What a root run keeps of the environment that the user who started it handed over: names whose values are plain
// data (the display, locale names, the time zone, who started us, the window-system choices, sane scale factors),
// root's own XDG folders in root's own session, and root's own HOME, PATH, USER and LOGNAME. The desktop's names are
// set aside for the programs run as the user (UserDesktop). Everything else is dropped before Qt or any library
// reads it. For a user who started us, root's folders are fixed ones of root's own, one set per user id, and the
// display's authority is read with that user's rights into a copy of this start's own. Plain C++ on POSIX calls,
// for the top of main().
class RootEnvironment
{
public:
    // The environment a root run keeps of `environment`, in its order, with root's own account variables in place of
    // whatever was given for them; the names dropped go to `dropped`, but for those the elevation tools and shells
    // set on every start, which are dropped without a word.
    static std::vector<std::string> cleaned(const char *const *environment, std::vector<std::string> *dropped);

    // When the environment holds anything cleaned() drops, runs the program again, from the start, with the cleaned
    // environment, so that nothing dropped was ever seen by a library. Returns when there was nothing to drop, or
    // when the new start failed (the environment is then cleaned in place). Prints nothing: announceDropped() tells.
    static void restrict(char *argv[]);

    // Says in one line which names restrict() dropped, when `show`; either way forgets them. A start that only
    // answers help, version or an error says nothing of its own.
    static void announceDropped(bool show);

    // Root's own settings, data, cache and runtime folders for the user, one set per user id (made private if
    // missing), as XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and XDG_RUNTIME_DIR, whatever was given for them.
    // False, with the reason, when one cannot be made safely.
    [[nodiscard]] static bool useFoldersOf(uid_t uid, std::string *error);

    // Root's own session without a runtime folder of its own: root's private one, as XDG_RUNTIME_DIR.
    [[nodiscard]] static bool useOwnRuntimeFolder(std::string *error);

    // The display's authority file that XAUTHORITY names, read by a child that runs with the user's ids and groups
    // (root reads nothing the user could not), into a copy of this start's own in the runtime folder, which
    // XAUTHORITY then names; the path as given is kept aside for the programs run as the user. A file the user cannot
    // read, or that is not a plain file, is not used: false, with the reason, and XAUTHORITY is unset. Nothing to do
    // without one.
    [[nodiscard]] static bool useAuthorityOf(const InvokingUser &user, std::string *error);

    // Removes this start's copy of the display's authority, once the display is connected or the start ends, and
    // unsets XAUTHORITY: no later reader finds it. Safe to call more than once.
    static void removeAuthorityCopy();

    // Whether the page's debugging port may be opened: only in a network namespace other than the system's own, in
    // which every process runs as root, so that no other user shares its loopback.
    static bool debuggingReachableByRootOnly();
};

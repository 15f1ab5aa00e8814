#include "core/InvokingUser.h"

#include <cstdlib>
#include <vector>

#include <grp.h>
#include <pwd.h>

namespace
{
constexpr std::size_t maxUidDigits = 10;
constexpr std::size_t accountBufferBytes = 16384;
constexpr int maxGroups = 65536;

// A uid as the elevation tools write it: decimal digits only, within uid_t, not the "no user" value.
bool parseUid(const std::string &text, uid_t *uid)
{
    if (text.empty() || text.size() > maxUidDigits) {
        return false;
    }
    unsigned long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    if (value >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) {
        return false;
    }
    *uid = static_cast<uid_t>(value);
    return true;
}

InvokingUser invalid(const std::string &reason)
{
    InvokingUser user;
    user.kind = InvokingUser::Kind::Invalid;
    user.reason = reason;
    return user;
}
} // namespace

InvokingUser InvokingUser::fromEnvironment()
{
    return fromVariables(std::getenv("PKEXEC_UID"), std::getenv("SUDO_UID"));
}

InvokingUser InvokingUser::fromVariables(const char *pkexecUid, const char *sudoUid)
{
    InvokingUser user;
    bool found = false;
    const std::pair<const char *, const char *> variables[] = {{"PKEXEC_UID", pkexecUid}, {"SUDO_UID", sudoUid}};
    for (const auto &[name, value] : variables) {
        // An empty variable is still set, and not a user id.
        if (!value) {
            continue;
        }
        uid_t uid = 0;
        if (!parseUid(value, &uid)) {
            return invalid(std::string(name) + " is not a user id");
        }
        if (found && uid != user.uid) {
            return invalid("PKEXEC_UID and SUDO_UID name different users");
        }
        found = true;
        user.uid = uid;
    }
    // Root elevated by root is still root's own session.
    if (!found || user.uid == 0) {
        return InvokingUser();
    }
    std::vector<char> buffer(accountBufferBytes);
    passwd entry{};
    passwd *account = nullptr;
    if (getpwuid_r(user.uid, &entry, buffer.data(), buffer.size(), &account) != 0 || !account) {
        return invalid("no user with the id " + std::to_string(user.uid));
    }
    user.kind = Kind::Valid;
    user.gid = account->pw_gid;
    user.name = account->pw_name;
    user.home = account->pw_dir;
    return user;
}

bool InvokingUser::groups(std::vector<gid_t> *result) const
{
    if (kind != Kind::Valid) {
        return false;
    }
    int count = 32;
    result->resize(static_cast<std::size_t>(count));
    while (getgrouplist(name.c_str(), gid, result->data(), &count) < 0) {
        if (count <= static_cast<int>(result->size()) || count > maxGroups) {
            return false;
        }
        result->resize(static_cast<std::size_t>(count));
    }
    result->resize(static_cast<std::size_t>(count));
    return true;
}

#include "core/PrivateFolder.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace
{
constexpr int maxLinksFollowed = 40;
constexpr mode_t privateMode = S_IRWXU;
constexpr std::size_t maxLookupBytes = 1 << 20;
constexpr mode_t sharedMode = S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH;

std::deque<std::string> components(const std::string &path)
{
    std::deque<std::string> parts;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        const std::string::size_type end = std::min(path.find('/', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

std::string join(const std::string &folder, const std::string &name)
{
    return folder == "/" ? folder + name : folder + '/' + name;
}

std::string parentOf(const std::string &folder)
{
    const std::string::size_type slash = folder.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : folder.substr(0, slash);
}

bool fail(std::string *error, const std::string &message)
{
    if (error) {
        *error = message;
    }
    return false;
}

bool trustedOwner(const struct stat &info)
{
    return info.st_uid == 0 || info.st_uid == geteuid();
}

// Runs a reentrant account lookup, growing its buffer until the entry fits; the lookup reads the entry while the
// buffer lives. Its result: 0 or an errno value.
template <typename Lookup>
int lookUp(Lookup lookup)
{
    std::vector<char> buffer(1024);
    int result = lookup(buffer.data(), buffer.size());
    while (result == ERANGE && buffer.size() < maxLookupBytes) {
        buffer.resize(buffer.size() * 2);
        result = lookup(buffer.data(), buffer.size());
    }
    return result;
}

// Whether a user other than the owner may hold the group: one listed as its member, or an account whose primary
// group it is. Under user private groups a folder made with umask 002 is group-writable for its owner alone.
// A lookup that fails counts as such a user.
bool groupReachesOthers(gid_t gid, uid_t owner)
{
    std::vector<std::string> members;
    const int groupLookup = lookUp([&](char *buffer, std::size_t size) {
        struct group entry = {};
        struct group *found = nullptr;
        const int result = getgrgid_r(gid, &entry, buffer, size, &found);
        for (char **member = result == 0 && found ? found->gr_mem : nullptr; member && *member; ++member) {
            members.emplace_back(*member);
        }
        return result;
    });
    if (groupLookup != 0) {
        return true;
    }
    for (const std::string &member : members) {
        bool isOwner = false;
        const int result = lookUp([&](char *buffer, std::size_t size) {
            struct passwd entry = {};
            struct passwd *found = nullptr;
            const int lookup = getpwnam_r(member.c_str(), &entry, buffer, size, &found);
            isOwner = lookup == 0 && found && found->pw_uid == owner;
            return lookup;
        });
        if (result != 0 || !isOwner) {
            return true;
        }
    }
    // The account list is walked through one position per process.
    static std::mutex walking;
    const std::lock_guard<std::mutex> lock(walking);
    bool shared = false;
    int result = 0;
    setpwent();
    while (!shared && result == 0) {
        result = lookUp([&](char *buffer, std::size_t size) {
            struct passwd entry = {};
            struct passwd *found = nullptr;
            const int lookup = getpwent_r(&entry, buffer, size, &found);
            shared = lookup == 0 && found && found->pw_gid == gid && found->pw_uid != owner;
            return lookup;
        });
    }
    endpwent();
    return shared || result != ENOENT;
}

// A POSIX access control list as the kernel keeps it in an extended attribute: a version, then entries of a tag, the
// permissions and a user or group id.
struct AccessList
{
    struct Entry
    {
        std::uint16_t tag;
        std::uint16_t permissions;
        std::uint32_t id;
    };

    bool present = false;
    bool readable = true;
    std::vector<Entry> entries;
};

constexpr const char *accessAttribute = "system.posix_acl_access";
constexpr const char *defaultAttribute = "system.posix_acl_default";
constexpr std::uint32_t aclVersion = 2;
constexpr std::uint16_t aclUserObject = 0x01;
constexpr std::uint16_t aclUser = 0x02;
constexpr std::uint16_t aclGroupObject = 0x04;
constexpr std::uint16_t aclGroup = 0x08;
constexpr std::uint16_t aclMask = 0x10;
constexpr std::uint16_t aclWrite = 0x02;
constexpr std::size_t aclHeaderBytes = 4;
constexpr std::size_t aclEntryBytes = 8;
constexpr std::size_t maxAclBytes = 65536;

// A list that cannot be read or understood counts as one that grants everything.
AccessList readAccessList(const std::string &path, const char *attribute)
{
    AccessList list;
    std::vector<unsigned char> bytes(maxAclBytes);
    const ssize_t size = lgetxattr(path.c_str(), attribute, bytes.data(), bytes.size());
    if (size < 0) {
        list.readable = errno == ENODATA || errno == ENOTSUP;
        list.present = !list.readable;
        return list;
    }
    list.present = true;
    const auto number = [&bytes](std::size_t at, std::size_t width) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= std::uint32_t(bytes[at + i]) << (8 * i);
        }
        return value;
    };
    const auto length = static_cast<std::size_t>(size);
    if (length < aclHeaderBytes || (length - aclHeaderBytes) % aclEntryBytes != 0 || number(0, 4) != aclVersion) {
        list.readable = false;
        return list;
    }
    for (std::size_t at = aclHeaderBytes; at < length; at += aclEntryBytes) {
        list.entries.push_back({std::uint16_t(number(at, 2)), std::uint16_t(number(at + 2, 2)), number(at + 4, 4)});
    }
    return list;
}

// The permissions the list's entry gives in effect: a mask, where there is one, limits every entry but the owner's
// and the others'.
std::uint16_t effective(const AccessList &list, const AccessList::Entry &entry)
{
    if (entry.tag != aclUser && entry.tag != aclGroup && entry.tag != aclGroupObject) {
        return entry.permissions;
    }
    for (const AccessList::Entry &mask : list.entries) {
        if (mask.tag == aclMask) {
            return entry.permissions & mask.permissions;
        }
    }
    return entry.permissions;
}

// Whether the list names a user or group besides the owner's that it gives any of `permissions` (all: ~0).
bool grantsOthers(const AccessList &list, uid_t owner, std::uint16_t permissions)
{
    if (!list.readable) {
        return true;
    }
    for (const AccessList::Entry &entry : list.entries) {
        if ((effective(list, entry) & permissions) == 0) {
            continue;
        }
        if ((entry.tag == aclUser && entry.id != owner)
            || (entry.tag == aclGroup && (permissions != aclWrite || groupReachesOthers(entry.id, owner)))) {
            return true;
        }
    }
    return false;
}

bool writableByOthers(const std::string &path, const struct stat &info)
{
    if ((info.st_mode & S_IWOTH) != 0) {
        return true;
    }
    const AccessList list = readAccessList(path, accessAttribute);
    if (!list.present) {
        return (info.st_mode & S_IWGRP) != 0 && groupReachesOthers(info.st_gid, info.st_uid);
    }
    // With a list, the mode's group bits are its mask: the owning group's own entry tells what the group may do.
    for (const AccessList::Entry &entry : list.entries) {
        if (entry.tag == aclGroupObject && (effective(list, entry) & aclWrite) != 0
            && groupReachesOthers(info.st_gid, info.st_uid)) {
            return true;
        }
    }
    return grantsOthers(list, info.st_uid, aclWrite);
}

// A list on the folder itself, or one that its new files and folders would inherit, that gives anyone else any of
// `permissions`.
bool listsOthers(const std::string &path, uid_t owner, std::uint16_t permissions)
{
    return grantsOthers(readAccessList(path, accessAttribute), owner, permissions)
           || grantsOthers(readAccessList(path, defaultAttribute), owner, permissions);
}

// Drops both lists, leaving the mode alone: what we make is closed by its mode.
bool dropLists(const std::string &path)
{
    for (const char *attribute : {accessAttribute, defaultAttribute}) {
        if (lremovexattr(path.c_str(), attribute) != 0 && errno != ENODATA && errno != ENOTSUP) {
            return false;
        }
    }
    return true;
}

// Walks the path as the kernel would, component by component, following a link only where it sits in a folder
// nobody else can change, and checking every folder passed through.
bool walk(const std::string &path, bool create, std::string *error, mode_t mode = privateMode)
{
    if (path.empty() || path.front() != '/') {
        return fail(error, "not an absolute path: " + path);
    }
    std::deque<std::string> pending = components(path);
    if (pending.empty()) {
        return fail(error, "the root folder cannot be private");
    }
    std::string current = "/";
    bool currentIsShared = false; // writable by others, sticky: only entries of ours or root's may be passed
    int linksFollowed = 0;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        const bool last = pending.empty();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            current = parentOf(current);

            struct stat parent
            {
            };

            currentIsShared = lstat(current.c_str(), &parent) == 0 && writableByOthers(current, parent);
            continue;
        }
        const std::string next = join(current, name);

        struct stat info
        {
        };

        if (lstat(next.c_str(), &info) != 0) {
            if (errno != ENOENT || !create) {
                return fail(error, next + ": " + std::strerror(errno));
            }
            const bool made = mkdir(next.c_str(), mode) == 0;
            if (!made && errno != EEXIST) {
                return fail(error, "cannot create " + next + ": " + std::strerror(errno));
            }
            // What we make is closed by its mode alone, whatever list it inherited from the folder above.
            if (made && !dropLists(next)) {
                return fail(error, "cannot close " + next + ": " + std::strerror(errno));
            }
            if (lstat(next.c_str(), &info) != 0) {
                return fail(error, next + ": " + std::strerror(errno));
            }
        }
        if (currentIsShared && !trustedOwner(info)) {
            return fail(error, next + " is owned by another user in a shared folder");
        }
        if (S_ISLNK(info.st_mode)) {
            if (last) {
                return fail(error, next + " is a symbolic link");
            }
            if (++linksFollowed > maxLinksFollowed) {
                return fail(error, path + ": too many symbolic links");
            }
            char target[4096];
            const ssize_t length = readlink(next.c_str(), target, sizeof(target) - 1);
            if (length <= 0) {
                return fail(error, "cannot read the link " + next);
            }
            std::deque<std::string> linked = components(std::string(target, static_cast<size_t>(length)));
            pending.insert(pending.begin(), linked.begin(), linked.end());
            if (target[0] == '/') {
                current = "/";
                currentIsShared = false;
            }
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            return fail(error, next + " is not a folder");
        }
        if (last) {
            if (info.st_uid != geteuid()) {
                return fail(error, next + " is owned by another user");
            }
            if (writableByOthers(next, info)) {
                return fail(error, next + " is writable by others");
            }
            // A private folder lets nobody else in; a shared one lets others read, as its mode does.
            const std::uint16_t closed = mode == privateMode ? std::uint16_t(~0U) : aclWrite;
            if (create && listsOthers(next, info.st_uid, closed) && !dropLists(next)) {
                return fail(error, "cannot close " + next + ": " + std::strerror(errno));
            }
            if (create && (info.st_mode & 07777) != mode && chmod(next.c_str(), mode) != 0) {
                return fail(error, "cannot close " + next + ": " + std::strerror(errno));
            }
            if (listsOthers(next, info.st_uid, closed)) {
                return fail(error, next + " has an access list that lets other users in");
            }
            return true;
        }
        if (!trustedOwner(info)) {
            return fail(error, next + " is owned by another user");
        }
        const bool shared = writableByOthers(next, info);
        if (shared && (info.st_mode & S_ISVTX) == 0) {
            return fail(error, next + " is writable by others");
        }
        currentIsShared = shared;
        current = next;
    }
    return fail(error, path + " names no folder");
}
} // namespace

bool PrivateFolder::ensure(const std::string &path, std::string *error)
{
    return walk(path, true, error);
}

bool PrivateFolder::check(const std::string &path, std::string *error)
{
    return walk(path, false, error);
}

bool PrivateFolder::ensureShared(const std::string &path, std::string *error)
{
    return walk(path, true, error, sharedMode);
}

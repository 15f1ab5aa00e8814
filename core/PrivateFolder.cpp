#include "core/PrivateFolder.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
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

bool writableByOthers(const struct stat &info)
{
    return (info.st_mode & S_IWOTH) != 0
           || ((info.st_mode & S_IWGRP) != 0 && groupReachesOthers(info.st_gid, info.st_uid));
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

            currentIsShared = lstat(current.c_str(), &parent) == 0 && writableByOthers(parent);
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
            if (mkdir(next.c_str(), mode) != 0 && errno != EEXIST) {
                return fail(error, "cannot create " + next + ": " + std::strerror(errno));
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
            if (writableByOthers(info)) {
                return fail(error, next + " is writable by others");
            }
            if (create && (info.st_mode & 07777) != mode && chmod(next.c_str(), mode) != 0) {
                return fail(error, "cannot close " + next + ": " + std::strerror(errno));
            }
            return true;
        }
        if (!trustedOwner(info)) {
            return fail(error, next + " is owned by another user");
        }
        if (writableByOthers(info) && (info.st_mode & S_ISVTX) == 0) {
            return fail(error, next + " is writable by others");
        }
        currentIsShared = writableByOthers(info);
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

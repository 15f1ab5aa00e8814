#include "core/RuntimeFolder.h"

#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

std::string RuntimeFolder::ownPath(uid_t uid)
{
    return std::string(ownRoot) + '/' + std::to_string(uid);
}

std::string RuntimeFolder::path()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::size_t ownLength = std::strlen(ownRoot);
    // The program's private folders are closed to the users who open the pair links.
    const bool own = runtime && std::strncmp(runtime, ownRoot, ownLength) == 0
                     && (runtime[ownLength] == '\0' || runtime[ownLength] == '/');
    if (runtime && runtime[0] == '/' && !own) {
        struct stat info
        {
        };

        if (lstat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid()) {
            return runtime;
        }
    }
    return "/run";
}

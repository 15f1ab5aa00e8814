#include "core/RuntimeFolder.h"

#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

std::string RuntimeFolder::path()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/' && std::strcmp(runtime, ownPath) != 0) {
        struct stat info
        {
        };

        if (lstat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid()) {
            return runtime;
        }
    }
    return "/run";
}

#include "tools/setupc/PairRegistry.h"

#include <cerrno>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

namespace serialtools
{

std::vector<Pair> readPairs(const std::string &folder)
{
    std::vector<Pair> pairs;
    std::ifstream in(folder + "/pairs");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Pair pair;
        if (fields >> pair.number >> pair.holder >> pair.nameA >> pair.nameB) {
            pairs.push_back(pair);
        }
    }
    return pairs;
}

std::string holderLockPath(const std::string &folder, int number)
{
    return folder + "/.holder-" + std::to_string(number);
}

bool holderAlive(const std::string &folder, int number)
{
    const int fd = open(holderLockPath(folder, number).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    // Closing also releases the lock if we just took it.
    close(fd);
    return held;
}

int lockRegistry(const std::string &folder, bool create)
{
    const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
    const int fd = open((folder + "/.lock").c_str(), flags, 0600);
    if (fd < 0) {
        return -1;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

bool sameName(const std::string &a, const std::string &b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

} // namespace serialtools

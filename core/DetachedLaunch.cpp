#include "core/DetachedLaunch.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
constexpr int fallbackOpenMax = 65536;
constexpr int execFailedExitCode = 127;

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> result;
    for (std::string &text : texts) {
        result.push_back(&text[0]);
    }
    result.push_back(nullptr);
    return result;
}

[[noreturn]] void reportAndExit(int pipeFd)
{
    const int code = errno;
    const ssize_t written = write(pipeFd, &code, sizeof(code));
    (void)written;
    _exit(execFailedExitCode);
}

// In the grandchild, before exec: the identity for good, out of our session, nothing of ours but what it reads.
[[noreturn]] void
becomeAndExec(const DetachedLaunch &launch, char *const arguments[], char *const environment[], int inputFd, int pipeFd)
{
    setsid();
    if (launch.asUser) {
        if (setgroups(launch.groups.size(), launch.groups.data()) != 0 || setgid(launch.gid) != 0
            || setuid(launch.uid) != 0) {
            reportAndExit(pipeFd);
        }
        if (launch.uid != 0 && (setuid(0) == 0 || setgid(0) == 0)) {
            errno = EPERM;
            reportAndExit(pipeFd);
        }
    }
    if (chdir("/") != 0 || dup2(inputFd, STDIN_FILENO) < 0) {
        reportAndExit(pipeFd);
    }
    DetachedLaunch::keepOnlyStandardDescriptors();
    execve(launch.program.c_str(), arguments, environment);
    reportAndExit(pipeFd);
}
} // namespace

void DetachedLaunch::keepOnlyStandardDescriptors()
{
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        const long openMax = sysconf(_SC_OPEN_MAX);
        const int last = openMax > 0 && openMax < fallbackOpenMax ? static_cast<int>(openMax) : fallbackOpenMax;
        for (int fd = 3; fd < last; ++fd) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
}

bool DetachedLaunch::start(std::string *error)
{
    std::vector<std::string> argumentTexts = arguments;
    std::vector<std::string> environmentTexts = environment;
    const std::vector<char *> argumentPointers = pointers(argumentTexts);
    const std::vector<char *> environmentPointers = pointers(environmentTexts);
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    const int nullFd = input >= 0 ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input < 0 && nullFd < 0) {
        *error = std::strerror(errno);
        close(errorPipe[0]);
        close(errorPipe[1]);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(errorPipe[0]);
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            becomeAndExec(
                *this, argumentPointers.data(), environmentPointers.data(), input >= 0 ? input : nullFd, errorPipe[1]);
        }
        if (grandchild < 0) {
            reportAndExit(errorPipe[1]);
        }
        _exit(0);
    }
    const int forkError = errno;
    close(errorPipe[1]);
    if (nullFd >= 0) {
        close(nullFd);
    }
    if (child < 0) {
        close(errorPipe[0]);
        *error = std::strerror(forkError);
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int code = 0;
    ssize_t got = 0;
    do {
        got = read(errorPipe[0], &code, sizeof(code));
    } while (got < 0 && errno == EINTR);
    close(errorPipe[0]);
    if (got > 0) {
        *error = std::strerror(code);
        return false;
    }
    return true;
}

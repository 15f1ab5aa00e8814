// Linux stand-in for the Windows pair driver's command-line tool, with the same command lines, exit codes and
// output shapes. A pair is two pseudo-terminals cross-connected like a null-modem cable by a small holder
// process; its two sides appear as links named after the ports in the device folder. The registry of pairs is
// the file "pairs" in that folder, guarded by flock on ".lock" so that concurrent calls do not interfere. Each
// holder keeps an exclusive flock on ".holder-<number>" for as long as it lives: that lock, not a process name or
// a pid, tells a live pair from a dead one. A holder lives no longer than the program that ran "install" (our
// parent), so a live pair is one a running program holds. Run as root for a user (through sudo or pkexec), the
// first side of each pair belongs to that user and the second to root alone; only root changes the folder.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "core/InvokingUser.h"
#include "tools/setupc/Cable.h"
#include "tools/setupc/PairRegistry.h"
#include "tools/setupc/Relay.h"

namespace
{

constexpr int exitOk = 0;
constexpr int exitUsage = 1;
constexpr int exitNameTaken = 2;
constexpr int exitSystem = 3;
constexpr int exitNoSuchPair = 4;
constexpr std::size_t maxNameLength = 64;
constexpr int holderStopWaitMs = 5000;

// Who may open a pair side: its owner alone.
struct Owner
{
    uid_t uid = 0;
    gid_t gid = 0;
};

using serialtools::Pair;
using serialtools::sameName;

volatile std::sig_atomic_t stopRequested = 0;
// Checked once by main() before any command runs.
std::string pairFolder;

void onStopSignal(int)
{
    stopRequested = 1;
}

const std::string &folder()
{
    return pairFolder;
}

std::string linkPath(const std::string &name)
{
    return folder() + "/" + name;
}

bool validName(const std::string &name)
{
    if (name.empty() || name.size() > maxNameLength || name == "." || name == "..") {
        return false;
    }
    return std::all_of(
        name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '-' || c == '.'; });
}

std::string holderLockPath(int number)
{
    return serialtools::holderLockPath(folder(), number);
}

// Called with the registry locked.
bool holderAlive(const Pair &pair)
{
    return serialtools::holderAlive(folder(), pair.number);
}

void removeLink(const std::string &name)
{
    struct stat info;
    if (lstat(linkPath(name).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        unlink(linkPath(name).c_str());
    }
}

// Removes what a dead holder left in the folder. Runs under the registry lock, like every holder's start, so no
// holder is taking this lock file while it goes.
void forget(const Pair &pair)
{
    removeLink(pair.nameA);
    removeLink(pair.nameB);
    unlink(holderLockPath(pair.number).c_str());
}

class Registry
{
public:
    bool lock()
    {
        m_lockFd = serialtools::lockRegistry(folder(), true);
        if (m_lockFd < 0) {
            std::cerr << "cannot lock the pair registry " << folder() << "/.lock: " << std::strerror(errno) << "\n";
            return false;
        }
        pairs = serialtools::readPairs(folder());
        prune();
        return true;
    }

    int lockFd() const
    {
        return m_lockFd;
    }

    std::vector<Pair> pairs;

    bool nameInUse(const std::string &name) const
    {
        for (const Pair &pair : pairs) {
            if (sameName(pair.nameA, name) || sameName(pair.nameB, name)) {
                return true;
            }
        }
        struct stat info;
        return lstat(linkPath(name).c_str(), &info) == 0;
    }

    int freeNumber() const
    {
        int number = 0;
        while (std::any_of(pairs.begin(), pairs.end(), [number](const Pair &p) { return p.number == number; })) {
            ++number;
        }
        return number;
    }

    bool save() const
    {
        const std::string path = folder() + "/pairs";
        const std::string temporary = path + ".tmp";
        std::ostringstream text;
        for (const Pair &pair : pairs) {
            text << pair.number << ' ' << pair.holder << ' ' << pair.nameA << ' ' << pair.nameB << '\n';
        }
        // Others may read the folder; whatever root's umask, only we may change the pids that remove signals.
        unlink(temporary.c_str());
        const int fd = open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
        const std::string bytes = text.str();
        bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (fd >= 0 && close(fd) != 0) {
            written = false;
        }
        if (!written) {
            std::cerr << "cannot write " << temporary << ": " << std::strerror(errno) << "\n";
            return false;
        }
        if (std::rename(temporary.c_str(), path.c_str()) != 0) {
            std::cerr << "cannot replace " << path << ": " << std::strerror(errno) << "\n";
            return false;
        }
        return true;
    }

private:
    // Pairs whose holder died (killed, machine restarted with a persistent folder) are forgotten with their links.
    void prune()
    {
        const auto dead = std::remove_if(pairs.begin(), pairs.end(), [](const Pair &pair) {
            if (holderAlive(pair)) {
                return false;
            }
            forget(pair);
            return true;
        });
        if (dead != pairs.end()) {
            pairs.erase(dead, pairs.end());
            save();
        }
    }

    int m_lockFd = -1;
};

void printPair(const Pair &pair)
{
    std::cout << "CNCA" << pair.number << " PortName=" << pair.nameA << "\n"
              << "CNCB" << pair.number << " PortName=" << pair.nameB << "\n";
}

struct PtySide
{
    int master = -1;
    std::string slavePath;
};

// The slave is reached through its master, never by a path, and is given its owner and mode 0600 before any link
// names it. Until then it had the devpts defaults (group tty may write, on Debian), so a hang-up cuts off any handle
// opened in that moment. Nobody keeps the slave open afterwards, not even the holder: whether anybody has it open is
// what tells the holder that a program is at that end of the cable. A handle that was cut off still counts as open,
// so a terminal somebody reached in that moment is given up.
bool openPty(PtySide &side, const Owner &owner, std::string &failure)
{
    side.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (side.master < 0 || grantpt(side.master) != 0 || unlockpt(side.master) != 0) {
        failure = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char *name = ptsname(side.master);
    if (!name) {
        failure = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    side.slavePath = name;
    const int first = ioctl(side.master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (first < 0) {
        failure = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    // Only root may hang up a terminal; run by anyone else, the pair is no more than that user's own.
    const bool closed = fchown(first, owner.uid, owner.gid) == 0 && fchmod(first, S_IRUSR | S_IWUSR) == 0
                        && (geteuid() != 0 || ioctl(first, TIOCVHANGUP) == 0);
    close(first);
    // The hang-up also reset the line: it is made raw afterwards, and stays so until a user changes it.
    const int terminal = closed ? ioctl(side.master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios raw;
    bool ready = terminal >= 0 && tcgetattr(terminal, &raw) == 0;
    if (ready) {
        cfmakeraw(&raw);
        ready = tcsetattr(terminal, TCSANOW, &raw) == 0;
    }
    if (terminal >= 0) {
        close(terminal);
    }
    if (!ready) {
        failure = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    if (serialtools::terminalOpen(side.master)) {
        failure = "another program opened the new terminal " + side.slavePath + " before it was made private";
        return false;
    }
    return serialtools::setNonBlocking(side.master);
}

void removeOwnLink(const std::string &name, const std::string &target)
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink(linkPath(name).c_str(), buffer, sizeof buffer - 1);
    if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) {
        unlink(linkPath(name).c_str());
    }
}

// Runs in the forked holder: builds the pair, reports "ok" or the reason on the pipe, then relays until stopped or
// until the program behind parentFd ends. Either way the pair's links go, and with the holder its lock.
[[noreturn]] void runHolder(const Pair &pair, const Owner &visibleOwner, int lockFd, int parentFd, int readyFd)
{
    close(lockFd);
    setsid();
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            close(null);
        }
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    PtySide a;
    PtySide b;
    std::string failure;
    // Kept open, and so locked, until the holder ends.
    const int holderLock = open(holderLockPath(pair.number).c_str(), O_CREAT | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (holderLock < 0 || flock(holderLock, LOCK_EX | LOCK_NB) != 0) {
        failure = "cannot lock " + holderLockPath(pair.number) + ": " + std::strerror(errno);
    } else if (openPty(a, visibleOwner, failure) && openPty(b, Owner{geteuid(), getegid()}, failure)) {
        if (symlink(a.slavePath.c_str(), linkPath(pair.nameA).c_str()) != 0) {
            failure = "cannot create " + linkPath(pair.nameA) + ": " + std::strerror(errno);
        } else if (symlink(b.slavePath.c_str(), linkPath(pair.nameB).c_str()) != 0) {
            failure = "cannot create " + linkPath(pair.nameB) + ": " + std::strerror(errno);
            removeOwnLink(pair.nameA, a.slavePath);
        }
    }
    const std::string report = failure.empty() ? std::string("ok") : failure;
    if (write(readyFd, report.data(), report.size()) < 0) {
        failure = "parent gone";
    }
    close(readyFd);
    if (!failure.empty()) {
        _exit(exitSystem);
    }

    serialtools::runCable({a.master, a.slavePath}, {b.master, b.slavePath}, parentFd, &stopRequested);
    removeOwnLink(pair.nameA, a.slavePath);
    removeOwnLink(pair.nameB, b.slavePath);
    _exit(exitOk);
}

// A pidfd of the program that runs us, which the holder watches. Taken by pid, so the parent is asked again after:
// one that ended in between has handed us to another parent, and its pid may be anybody's by now. A parent that
// ended before we could ask at all has left its end of our output pipe closed, which tells it too.
int openParent(std::string &failure)
{
    const pid_t parent = getppid();
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
    if (fd < 0) {
        failure = std::string("cannot watch the calling program: ") + std::strerror(errno);
        return -1;
    }
    if (getppid() != parent || serialtools::outputAbandoned()) {
        close(fd);
        failure = "the calling program has ended";
        return -1;
    }
    return fd;
}

bool parsePortName(const std::string &argument, std::string &name)
{
    const std::string prefix = "PortName=";
    if (argument.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    name = argument.substr(prefix.size());
    return validName(name);
}

int install(const std::string &first, const std::string &second)
{
    Pair pair;
    if (!parsePortName(first, pair.nameA) || !parsePortName(second, pair.nameB)) {
        std::cerr << "expected PortName=<name> PortName=<name> (letters, digits, '_', '-', '.')\n";
        return exitUsage;
    }
    if (sameName(pair.nameA, pair.nameB)) {
        std::cerr << "both sides are named " << pair.nameA << "\n";
        return exitNameTaken;
    }
    Registry registry;
    if (!registry.lock()) {
        return exitSystem;
    }
    for (const std::string &name : {pair.nameA, pair.nameB}) {
        if (registry.nameInUse(name)) {
            std::cerr << "port name " << name << " is already in use\n";
            return exitNameTaken;
        }
    }
    pair.number = registry.freeNumber();

    // The user root runs for gets the first side; without one, or with an environment that names none clearly, both
    // sides stay ours alone.
    Owner visibleOwner{geteuid(), getegid()};
    const InvokingUser user = InvokingUser::fromEnvironment();
    if (geteuid() == 0 && user.kind == InvokingUser::Kind::Valid) {
        visibleOwner = Owner{user.uid, user.gid};
    }

    // The pair ends with the program that asked for it, however that program ends.
    std::string failure;
    const int parentFd = openParent(failure);
    if (parentFd < 0) {
        std::cerr << failure << "\n";
        return exitSystem;
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        std::cerr << "pipe: " << std::strerror(errno) << "\n";
        return exitSystem;
    }
    std::cout.flush();
    const pid_t holder = fork();
    if (holder < 0) {
        std::cerr << "fork: " << std::strerror(errno) << "\n";
        return exitSystem;
    }
    if (holder == 0) {
        close(ready[0]);
        runHolder(pair, visibleOwner, registry.lockFd(), parentFd, ready[1]);
    }
    close(ready[1]);
    close(parentFd);
    std::string report;
    char chunk[512];
    ssize_t n;
    while ((n = read(ready[0], chunk, sizeof chunk)) != 0) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;
        }
        report.append(chunk, static_cast<std::size_t>(n));
    }
    close(ready[0]);
    if (report != "ok") {
        waitpid(holder, nullptr, 0);
        std::cerr << (report.empty() ? std::string("the pair holder ended early") : report) << "\n";
        return exitSystem;
    }
    pair.holder = holder;
    registry.pairs.push_back(pair);
    if (!registry.save()) {
        kill(holder, SIGTERM);
        return exitSystem;
    }
    printPair(pair);
    return exitOk;
}

int list()
{
    Registry registry;
    if (!registry.lock()) {
        return exitSystem;
    }
    for (const Pair &pair : registry.pairs) {
        printPair(pair);
    }
    return exitOk;
}

int removePair(const std::string &argument)
{
    char *end = nullptr;
    const long number = std::strtol(argument.c_str(), &end, 10);
    if (argument.empty() || *end != '\0' || number < 0) {
        std::cerr << "expected a pair number, got '" << argument << "'\n";
        return exitUsage;
    }
    Registry registry;
    if (!registry.lock()) {
        return exitSystem;
    }
    const auto found = std::find_if(
        registry.pairs.begin(), registry.pairs.end(), [number](const Pair &pair) { return pair.number == number; });
    if (found == registry.pairs.end()) {
        std::cerr << "no pair " << number << "\n";
        return exitNoSuchPair;
    }
    const Pair pair = *found;
    // Only a holder that still holds its lock is signalled: the pid of a dead one may belong to anybody now.
    if (holderAlive(pair)) {
        kill(pair.holder, SIGTERM);
        for (int waited = 0; holderAlive(pair) && waited < holderStopWaitMs; waited += 10) {
            usleep(10 * 1000);
        }
        if (holderAlive(pair)) {
            kill(pair.holder, SIGKILL);
            for (int waited = 0; holderAlive(pair) && waited < holderStopWaitMs; waited += 10) {
                usleep(10 * 1000);
            }
        }
    }
    forget(pair);
    registry.pairs.erase(found);
    return registry.save() ? exitOk : exitSystem;
}

int busyNames(const std::string &pattern)
{
    Registry registry;
    if (!registry.lock()) {
        return exitSystem;
    }
    for (const Pair &pair : registry.pairs) {
        for (const std::string &name : {pair.nameA, pair.nameB}) {
            if (fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0) {
                std::cout << name << "\n";
            }
        }
    }
    return exitOk;
}

int usage()
{
    std::cerr << "usage: setupc.exe install PortName=<A> PortName=<B>\n"
                 "       setupc.exe list\n"
                 "       setupc.exe remove <number>\n"
                 "       setupc.exe busynames <pattern>\n";
    return exitUsage;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool known = (args.size() == 3 && args[0] == "install") || (args.size() == 1 && args[0] == "list")
                       || (args.size() == 2 && (args[0] == "remove" || args[0] == "busynames"));
    if (!known) {
        return usage();
    }
    std::string error;
    if (!serialtools::deviceFolder(true, &pairFolder, &error)) {
        std::cerr << error << "\n";
        return exitSystem;
    }
    if (args.size() == 3 && args[0] == "install") {
        return install(args[1], args[2]);
    }
    if (args.size() == 1 && args[0] == "list") {
        return list();
    }
    if (args.size() == 2 && args[0] == "remove") {
        return removePair(args[1]);
    }
    if (args.size() == 2 && args[0] == "busynames") {
        return busyNames(args[1]);
    }
    return usage();
}

#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// The pair tool's registry, as both serial stand-ins read it: the file "pairs" in the pair folder, one line per pair
// ("<number> <holder pid> <first name> <second name>"), changed only under an exclusive flock on ".lock"; and the
// file ".holder-<number>" of each pair, which its holder keeps locked for as long as it lives.
namespace serialtools
{

struct Pair
{
    int number = -1;
    pid_t holder = 0;
    std::string nameA;
    std::string nameB;
};

std::vector<Pair> readPairs(const std::string &folder);
std::string holderLockPath(const std::string &folder, int number);

// Whether the pair's holder still runs. The lock goes with the holder's process whatever it is called and whatever
// state it is left in: a holder that was killed and never reaped (a zombie) has closed its files, and a pid used
// again by another program holds no lock of ours. The probe takes the lock for a moment when it is free, so callers
// hold the registry lock, as two probes at once could each see the other's.
bool holderAlive(const std::string &folder, int number);

// The registry lock, waited for; -1 when it cannot be had. With create, a missing lock file is made.
int lockRegistry(const std::string &folder, bool create);

// Port names know no case on the platform the callers come from.
bool sameName(const std::string &a, const std::string &b);

} // namespace serialtools

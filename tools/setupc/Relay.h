#pragma once

#include <csignal>
#include <functional>
#include <string>

// Shared by the two serial stand-ins: where the pair links live, and a two-way byte relay.
namespace serialtools
{

// The folder of the pair links: LUMENBRIDGE_SERIAL_DIR (tests), else lumenbridge-serial in the runtime folder
// (RuntimeFolder: as root started through sudo or pkexec, /run). Both tools run as root, so the folder must be one
// nobody else can change: a real folder (never a link), ours, writable by nobody else, reached through folders only
// root or we can change. With create, a missing folder is made 0755, so that the user's programs can reach the
// ports. False, with the reason in error, for a folder that fails those checks.
[[nodiscard]] bool deviceFolder(bool create, std::string *folder, std::string *error);

// Strips the Windows device prefix ("//./NAME" or "\\.\NAME") that callers put before a port name.
std::string portNameFromDevicePath(const std::string &path);

bool setNonBlocking(int fd);

// Whether our standard output is a pipe that nobody reads any more. The program that started us, and reads it, may
// have ended before we could ask for its pid: we then belong to another parent, and only this shows it.
bool outputAbandoned();

enum class RelayEnd
{
    Stopped,
    FirstClosed,
    SecondClosed,
    WatchEnded
};

// Something besides the two sides that can end the relay at once: whenever fd turns readable, ended() is asked.
struct RelayWatch
{
    int fd = -1;
    std::function<bool()> ended;
};

// A side that takes nothing for this long while the relay drains is given up.
constexpr int defaultDrainIdleLimitMs = 5000;

// Copies bytes both ways between two non-blocking descriptors until one side ends (end of file or an error) or
// *stop is set. Each direction buffers at most 64 KiB, so a side nobody reads holds the writer back like a cable
// with flow control. Once a side has ended neither side is read again, but every byte already read still goes
// out before the relay returns, unless its receiver is gone or takes nothing for drainIdleLimitMs. A watch that says
// it has ended ends the relay there and then, draining or not.
RelayEnd relay(int first,
               int second,
               volatile std::sig_atomic_t *stop,
               int drainIdleLimitMs = defaultDrainIdleLimitMs,
               const RelayWatch &watch = RelayWatch());

} // namespace serialtools

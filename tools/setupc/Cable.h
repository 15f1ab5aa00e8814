#pragma once

#include <csignal>
#include <string>

// The pair tool's holder side of a pair: two pseudo-terminal masters joined like a null-modem cable whose two ends
// programs plug in (open the terminal) and out (close it) at will.
namespace serialtools
{

struct CableEnd
{
    int master = -1;
    // The end's terminal, which others open through the pair's link.
    std::string terminalPath;
};

enum class CableStop
{
    Stopped,
    WatchedEnded,
    Failed
};

// Relays between the two ends until *stop is set, the process behind watchFd (a pidfd, or -1 for none) ends, or an
// error. An end counts as plugged in while anybody has its terminal open. Bytes taken from one end go on to the
// other only if somebody has it open at that moment, and are dropped otherwise, as on a cable with nothing at its
// other end; what a program wrote before it closed still reaches the other end. When an end's last user has gone
// (or came and went before we looked), what was sent there and not read is dropped and its exclusive mode
// (TIOCEXCL) ends, as on a real serial device. Never busy while idle: an end that is out is waited for through
// inotify.
CableStop runCable(const CableEnd &first, const CableEnd &second, int watchFd, volatile std::sig_atomic_t *stop);

// Whether anybody has the terminal of this master open.
bool terminalOpen(int master);

} // namespace serialtools

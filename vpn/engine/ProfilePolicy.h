#pragma once

#include <string>
#include <vector>

#include "vpn/engine/ProfileParser.h"

namespace lumen::engine
{

// The one list of what a downloaded profile may say. Only client directives that reach a device network are
// allowed, each with rules for its arguments; no argument may name a file, and key material comes inline.
// The daemon never reads the downloaded text: it reads the profile rebuilt here from the parsed directives,
// one directive a line, every argument quoted by us and every block written out by us. A few values are written
// tamed rather than refused: a device name without its number, verb at most 4, at least 1 s between connection tries
// and at most 3 s of goodbyes to the server at a stop.
class ProfilePolicy
{
public:
    enum class Verdict
    {
        Accepted,
        Refused,
        GivenTwice, // a block that the daemon takes once (key material, credentials) appears more than once
    };

    struct Result
    {
        Verdict verdict = Verdict::Refused;
        std::string error;
        std::string profile; // the rebuilt profile when accepted
    };

    static Result rebuild(const std::vector<ProfileDirective> &directives);

    // Directives whose content the profile's folder may hold in a file of its own, which the merger puts inline.
    static bool takesContent(const std::string &name);
    // Whether a line of such a directive names a file (rather than "[inline]", "none" or nothing).
    static bool namesFile(const ProfileDirective &directive);

    static const std::string inlineMarker;
};

} // namespace lumen::engine

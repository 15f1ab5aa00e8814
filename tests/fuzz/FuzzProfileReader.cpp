#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "vpn/engine/ProfileParser.h"
#include "vpn/engine/ProfilePolicy.h"

using lumen::engine::ProfileDirective;
using lumen::engine::ProfileParser;
using lumen::engine::ProfilePolicy;

// Whatever the policy accepts is rebuilt into the profile the daemon reads; read again, that profile must be
// accepted and rebuild to itself, or the daemon would read something the policy did not pass.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<ProfileDirective> directives;
    std::string error;
    if (!ProfileParser::parse(text, directives, error)) {
        return 0;
    }
    const ProfilePolicy::Result first = ProfilePolicy::rebuild(directives);
    if (first.verdict != ProfilePolicy::Verdict::Accepted) {
        return 0;
    }
    std::vector<ProfileDirective> again;
    if (!ProfileParser::parse(first.profile, again, error)) {
        std::abort();
    }
    const ProfilePolicy::Result second = ProfilePolicy::rebuild(again);
    if (second.verdict != ProfilePolicy::Verdict::Accepted || second.profile != first.profile) {
        std::abort();
    }
    return 0;
}

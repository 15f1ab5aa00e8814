#include "core/UserDesktop.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr std::size_t maxWordsBytes = 256;
} // namespace

const std::vector<std::string> &UserDesktop::names()
{
    static const std::vector<std::string> kept{"XAUTHORITY", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE"};
    return kept;
}

bool UserDesktop::keepsAside(const std::string &variable)
{
    const std::size_t length = std::strlen(prefix);
    return variable.compare(0, length, prefix) == 0
           && std::find(names().begin(), names().end(), variable.substr(length)) != names().end();
}

bool UserDesktop::desktopWords(const std::string &value)
{
    return !value.empty() && value.size() <= maxWordsBytes && std::all_of(value.begin(), value.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr("_.:-", c) != nullptr;
    });
}

std::vector<std::string> UserDesktop::environment()
{
    std::vector<std::string> result;
    for (const std::string &name : names()) {
        const char *value = std::getenv((prefix + name).c_str());
        if (value && *value) {
            result.push_back(name + '=' + value);
        }
    }
    return result;
}

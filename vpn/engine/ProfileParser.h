#pragma once

#include <string>
#include <vector>

namespace lumen::engine
{

// One directive of a profile: a line ("remote host 1194") or an inline block ("<ca> ... </ca>").
struct ProfileDirective
{
    std::string name;
    std::vector<std::string> args;
    bool isInline = false;
    std::string body; // text of an inline block, ending in a newline
    int line = 0;     // 1-based line of the directive or of the block's opening tag
};

// Splits profile text the way the daemon reads its configuration: comments, quoting and inline blocks.
class ProfileParser
{
public:
    // Tokens of one directive line; false with an error text on an unterminated quote.
    static bool splitLine(const std::string &line, std::vector<std::string> &tokens, std::string &error);

    // The inline block tag of a line such as "<ca>" or "</ca>", empty when the line is none.
    static std::string openingTag(const std::string &line);
    static std::string closingTag(const std::string &line);

    static bool parse(const std::string &content, std::vector<ProfileDirective> &directives, std::string &error);

    static std::string trim(const std::string &text);
};

} // namespace lumen::engine

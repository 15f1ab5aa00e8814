#pragma once

#include <cstddef>
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
    std::string body;                       // an inline block's text exactly as the daemon takes it
    int line = 0;                           // 1-based line of the directive or of the block's opening tag
    std::vector<ProfileDirective> children; // the directives of a <connection> block
};

// Reads profile text the way the OpenVPN 2 daemon reads its configuration file: lines as its line reader
// returns them, its tokenizer (a closing quote ends a word, backslash escapes, # and ; comments, at most
// 16 words), a leading byte-order mark, "--" before a name, and a block closed by the first line that starts
// with its closing tag. Where the daemon would skip a line with a warning or cut a long line, we refuse.
class ProfileParser
{
public:
    // The longest line, newline included, that the daemon reads whole.
    static constexpr std::size_t maxLineBytes = 255;
    static constexpr std::size_t maxWords = 16;
    static constexpr std::size_t maxWordBytes = 256;

    // The words of one line as the daemon splits them; false with the reason on a tokenizer error.
    static bool splitLine(const std::string &line, std::vector<std::string> &words, std::string &error);

    static bool parse(const std::string &content, std::vector<ProfileDirective> &directives, std::string &error);

    // Whether the daemon would end the block <name> inside this text (a line, or a piece of a long line as
    // its reader returns it, starting with the closing tag after blanks).
    static bool closesBlock(const std::string &body, const std::string &name);

    static bool isBlank(char c);
};

} // namespace lumen::engine

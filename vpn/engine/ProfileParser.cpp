#include "vpn/engine/ProfileParser.h"

#include <algorithm>

namespace lumen::engine
{

namespace
{
const std::string byteOrderMark = "\xEF\xBB\xBF";

std::string lineText(int line)
{
    return "line " + std::to_string(line);
}

// The daemon takes "--name" as "name", but only for words longer than the dashes.
void stripDashes(std::string &word)
{
    if (word.size() >= 3 && word.compare(0, 2, "--") == 0) {
        word.erase(0, 2);
    }
}

bool isOpeningTag(const std::vector<std::string> &words)
{
    return words.size() == 1 && words.front().size() >= 2 && words.front().front() == '<'
           && words.front().back() == '>';
}

// One read of the daemon's block reader, which takes at most this many bytes of a line at a time.
std::size_t pieceEnd(const std::string &text, std::size_t pos)
{
    const std::size_t newline = text.find('\n', pos);
    const std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
    return std::min(end, pos + ProfileParser::maxLineBytes);
}

bool startsWithTag(const std::string &text, std::size_t pos, std::size_t end, const std::string &tag)
{
    while (pos < end && ProfileParser::isBlank(text[pos])) {
        ++pos;
    }
    return pos + tag.size() <= end && text.compare(pos, tag.size(), tag) == 0;
}

// Reads a block's body from pos up to its closing tag; pos ends after the piece that held the tag, which
// may leave the rest of that line to be read as a directive, as the daemon does.
bool readBlock(
    const std::string &content, std::size_t &pos, int &lineNumber, const std::string &name, std::string &body)
{
    const std::string tag = "</" + name + ">";
    while (pos < content.size()) {
        const std::size_t start = pos;
        pos = pieceEnd(content, start);
        if (content[pos - 1] == '\n') {
            ++lineNumber;
        }
        if (startsWithTag(content, start, pos, tag)) {
            return true;
        }
        body.append(content, start, pos - start);
    }
    return false;
}

// A <connection> body: the daemon reads it line by line from memory, without a byte-order mark and, here,
// without blocks of its own.
bool parseConnection(ProfileDirective &connection, std::string &error)
{
    const std::string &body = connection.body;
    std::size_t pos = 0;
    int offset = 0;
    while (pos < body.size()) {
        std::size_t end = body.find('\n', pos);
        if (end == std::string::npos) {
            end = body.size();
        }
        const std::string line = body.substr(pos, end - pos);
        pos = end + 1;
        ++offset;
        const int number = connection.line + offset;
        if (line.size() + 1 > ProfileParser::maxLineBytes) {
            error =
                lineText(number) + " is longer than " + std::to_string(ProfileParser::maxLineBytes - 1) + " characters";
            return false;
        }
        std::vector<std::string> words;
        if (!ProfileParser::splitLine(line, words, error)) {
            error = lineText(number) + ": " + error;
            return false;
        }
        if (words.empty()) {
            continue;
        }
        stripDashes(words.front());
        if (isOpeningTag(words)) {
            error = lineText(number) + ": a <connection> block cannot hold the block " + words.front();
            return false;
        }
        ProfileDirective child;
        child.name = words.front();
        child.args.assign(words.begin() + 1, words.end());
        child.line = number;
        connection.children.push_back(std::move(child));
    }
    return true;
}
} // namespace

bool ProfileParser::isBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool ProfileParser::splitLine(const std::string &line, std::vector<std::string> &words, std::string &error)
{
    enum class State
    {
        Initial,
        Quoted,
        Unquoted,
        SingleQuoted
    };

    words.clear();
    State state = State::Initial;
    bool backslash = false;
    std::string word;
    // The daemon walks a C string: everything after a NUL is gone, and the terminating NUL is a blank.
    const std::size_t length = std::min(line.find('\0'), line.size());
    for (std::size_t i = 0; i <= length; ++i) {
        const char in = i < length ? line[i] : '\0';
        const bool blank = in == '\0' || isBlank(in);
        char out = 0;
        if (!backslash && in == '\\' && state != State::SingleQuoted) {
            backslash = true;
        } else {
            bool done = false;
            if (state == State::Initial) {
                if (!blank) {
                    if (in == ';' || in == '#') {
                        break;
                    }
                    if (!backslash && in == '"') {
                        state = State::Quoted;
                    } else if (!backslash && in == '\'') {
                        state = State::SingleQuoted;
                    } else {
                        out = in;
                        state = State::Unquoted;
                    }
                }
            } else if (state == State::Unquoted) {
                if (!backslash && blank) {
                    done = true;
                } else {
                    out = in;
                }
            } else if (state == State::Quoted) {
                if (!backslash && in == '"') {
                    done = true;
                } else {
                    out = in;
                }
            } else if (in == '\'') {
                done = true;
            } else {
                out = in;
            }
            if (done) {
                words.push_back(word);
                word.clear();
                state = State::Initial;
            }
            if (backslash && out != 0 && out != '\\' && out != '"' && !isBlank(out)) {
                error = "a backslash may only escape a backslash, a quote or a blank";
                return false;
            }
            backslash = false;
        }
        if (out != 0) {
            if (word.size() >= maxWordBytes) {
                error = "a word is longer than " + std::to_string(maxWordBytes) + " characters";
                return false;
            }
            word += out;
        }
        if (words.size() >= maxWords) {
            // The daemon reads no further on a line with this many words.
            break;
        }
    }
    if (state == State::Quoted) {
        error = "no closing quotation (\")";
        return false;
    }
    if (state == State::SingleQuoted) {
        error = "no closing single quotation (')";
        return false;
    }
    if (state != State::Initial) {
        error = "the line ends in a backslash";
        return false;
    }
    return true;
}

bool ProfileParser::closesBlock(const std::string &body, const std::string &name)
{
    const std::string tag = "</" + name + ">";
    std::size_t pos = 0;
    while (pos < body.size()) {
        const std::size_t end = pieceEnd(body, pos);
        if (startsWithTag(body, pos, end, tag)) {
            return true;
        }
        pos = end;
    }
    return false;
}

bool ProfileParser::parse(const std::string &content, std::vector<ProfileDirective> &directives, std::string &error)
{
    directives.clear();
    if (content.find('\0') != std::string::npos) {
        error = "the profile contains a NUL byte";
        return false;
    }
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t newline = content.find('\n', pos);
        const std::size_t end = newline == std::string::npos ? content.size() : newline + 1;
        const int number = lineNumber + 1;
        if (end - pos > maxLineBytes) {
            error = lineText(number) + " is longer than " + std::to_string(maxLineBytes - 1) + " characters";
            return false;
        }
        const std::size_t from =
            pos == 0 && content.compare(0, byteOrderMark.size(), byteOrderMark) == 0 ? byteOrderMark.size() : pos;
        pos = end;
        if (newline != std::string::npos) {
            ++lineNumber;
        }
        std::vector<std::string> words;
        if (!splitLine(content.substr(from, end - from), words, error)) {
            error = lineText(number) + ": " + error;
            return false;
        }
        if (words.empty()) {
            continue;
        }
        stripDashes(words.front());
        ProfileDirective directive;
        directive.line = number;
        if (isOpeningTag(words)) {
            directive.name = words.front().substr(1, words.front().size() - 2);
            directive.isInline = true;
            if (!readBlock(content, pos, lineNumber, directive.name, directive.body)) {
                error = lineText(number) + ": the block <" + directive.name + "> is not closed";
                return false;
            }
            if (directive.name == "connection" && !parseConnection(directive, error)) {
                return false;
            }
        } else {
            directive.name = words.front();
            directive.args.assign(words.begin() + 1, words.end());
        }
        directives.push_back(std::move(directive));
    }
    return true;
}

} // namespace lumen::engine

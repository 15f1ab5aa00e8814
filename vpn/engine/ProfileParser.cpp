#include "vpn/engine/ProfileParser.h"

#include <cctype>

namespace lumen::engine
{

namespace
{
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool isTagName(const std::string &name)
{
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}
} // namespace

std::string ProfileParser::trim(const std::string &text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool ProfileParser::splitLine(const std::string &line, std::vector<std::string> &tokens, std::string &error)
{
    tokens.clear();
    std::string token;
    bool inToken = false;
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote == '\'') {
            if (c == '\'') {
                quote = 0;
            } else {
                token += c;
            }
            continue;
        }
        if (c == '\\' && i + 1 < line.size()) {
            token += line[++i];
            inToken = true;
            continue;
        }
        if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else {
                token += c;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            inToken = true;
            continue;
        }
        if (isBlank(c)) {
            if (inToken) {
                tokens.push_back(token);
                token.clear();
                inToken = false;
            }
            continue;
        }
        if ((c == '#' || c == ';') && !inToken) {
            break;
        }
        token += c;
        inToken = true;
    }
    if (quote != 0) {
        error = "unterminated quote";
        return false;
    }
    if (inToken) {
        tokens.push_back(token);
    }
    if (!tokens.empty() && tokens.front().rfind("--", 0) == 0) {
        tokens.front().erase(0, 2);
    }
    return true;
}

std::string ProfileParser::openingTag(const std::string &line)
{
    const std::string text = trim(line);
    if (text.size() < 3 || text.front() != '<' || text.back() != '>' || text[1] == '/') {
        return {};
    }
    const std::string name = text.substr(1, text.size() - 2);
    return isTagName(name) ? name : std::string();
}

std::string ProfileParser::closingTag(const std::string &line)
{
    const std::string text = trim(line);
    if (text.size() < 4 || text.compare(0, 2, "</") != 0 || text.back() != '>') {
        return {};
    }
    const std::string name = text.substr(2, text.size() - 3);
    return isTagName(name) ? name : std::string();
}

bool ProfileParser::parse(const std::string &content, std::vector<ProfileDirective> &directives, std::string &error)
{
    directives.clear();
    ProfileDirective block;
    bool inBlock = false;
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (inBlock) {
            if (closingTag(line) == block.name) {
                directives.push_back(block);
                inBlock = false;
            } else {
                block.body += line + '\n';
            }
            continue;
        }
        const std::string tag = openingTag(line);
        if (!tag.empty()) {
            block = ProfileDirective();
            block.name = tag;
            block.isInline = true;
            block.line = lineNumber;
            inBlock = true;
            continue;
        }
        std::vector<std::string> tokens;
        if (!splitLine(line, tokens, error)) {
            error = "line " + std::to_string(lineNumber) + ": " + error;
            return false;
        }
        if (tokens.empty()) {
            continue;
        }
        ProfileDirective directive;
        directive.name = tokens.front();
        directive.args.assign(tokens.begin() + 1, tokens.end());
        directive.line = lineNumber;
        directives.push_back(directive);
    }
    if (inBlock) {
        error = "inline block <" + block.name + "> is not closed";
        return false;
    }
    return true;
}

} // namespace lumen::engine

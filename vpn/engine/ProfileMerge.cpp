#include "vpn/engine/ProfileMerge.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <set>
#include <sstream>

#include <sys/stat.h>

#include "vpn/engine/ProfileParser.h"

namespace lumen::engine
{

namespace
{
// Directives whose argument names a file that the merged profile carries inline.
const std::set<std::string> referenceDirectives = {"ca",
                                                   "cert",
                                                   "key",
                                                   "extra-certs",
                                                   "tls-auth",
                                                   "tls-crypt",
                                                   "tls-crypt-v2",
                                                   "dh",
                                                   "pkcs12",
                                                   "secret",
                                                   "crl-verify",
                                                   "auth-user-pass"};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string canonical(const std::string &path)
{
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer)) {
        return {};
    }
    return buffer;
}

std::string folderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}
} // namespace

ProfileMerge::ProfileMerge(const std::string &profilePath,
                           const std::string &profileExt,
                           const std::string &profileDirOverride,
                           Follow followReferences,
                           std::size_t maxLineLength,
                           std::size_t maxSize)
{
    try {
        merge(profilePath, profileExt, profileDirOverride, followReferences, maxLineLength, maxSize);
    } catch (const std::exception &e) {
        m_content.clear();
        fail(MERGE_EXCEPTION, e.what());
    }
}

std::string ProfileMerge::status_string() const
{
    static const char *const names[] = {"MERGE_UNDEFINED",
                                        "MERGE_SUCCESS",
                                        "MERGE_EXCEPTION",
                                        "MERGE_OVPN_EXT_FAIL",
                                        "MERGE_OVPN_FILE_FAIL",
                                        "MERGE_REF_FAIL",
                                        "MERGE_MULTIPLE_REF_FAIL"};
    return names[m_status];
}

bool ProfileMerge::fail(Status status, const std::string &error)
{
    m_status = status;
    m_error = error;
    m_content.clear();
    return false;
}

void ProfileMerge::merge(const std::string &profilePath,
                         const std::string &profileExt,
                         const std::string &profileDirOverride,
                         Follow followReferences,
                         std::size_t maxLineLength,
                         std::size_t maxSize)
{
    const std::size_t slash = profilePath.rfind('/');
    m_basename = slash == std::string::npos ? profilePath : profilePath.substr(slash + 1);
    const std::size_t dot = m_basename.rfind('.');
    if (dot == std::string::npos || lower(m_basename.substr(dot + 1)) != lower(profileExt)) {
        fail(MERGE_OVPN_EXT_FAIL, "profile " + profilePath + " does not have the extension ." + profileExt);
        return;
    }

    struct stat info = {};
    if (stat(profilePath.c_str(), &info) != 0) {
        fail(MERGE_OVPN_FILE_FAIL, "cannot read profile " + profilePath + ": " + std::strerror(errno));
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        fail(MERGE_OVPN_FILE_FAIL, "cannot read profile " + profilePath + ": not a regular file");
        return;
    }
    if (static_cast<std::size_t>(info.st_size) > maxSize) {
        fail(MERGE_OVPN_FILE_FAIL, "profile " + profilePath + " is larger than " + std::to_string(maxSize) + " bytes");
        return;
    }
    std::ifstream file(profilePath, std::ios::binary);
    std::ostringstream read;
    read << file.rdbuf();
    if (!file) {
        fail(MERGE_OVPN_FILE_FAIL, "cannot read profile " + profilePath);
        return;
    }
    const std::string text = read.str();

    const std::string folder = canonical(profileDirOverride.empty() ? folderOf(profilePath) : profileDirOverride);
    if (folder.empty()) {
        fail(MERGE_OVPN_FILE_FAIL, "cannot resolve the folder of profile " + profilePath);
        return;
    }

    std::set<std::string> seen;
    std::string inlineTag;
    std::string out;
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > maxLineLength) {
            fail(MERGE_EXCEPTION,
                 "line " + std::to_string(lineNumber) + " is longer than " + std::to_string(maxLineLength)
                     + " characters");
            return;
        }
        if (!inlineTag.empty()) {
            if (ProfileParser::closingTag(line) == inlineTag) {
                inlineTag.clear();
            }
            out += line + '\n';
            continue;
        }
        const std::string tag = ProfileParser::openingTag(line);
        if (!tag.empty()) {
            if (referenceDirectives.count(tag) && !seen.insert(tag).second) {
                fail(MERGE_MULTIPLE_REF_FAIL, "'" + tag + "' is given more than once");
                return;
            }
            inlineTag = tag;
            out += line + '\n';
            continue;
        }

        std::vector<std::string> tokens;
        std::string error;
        if (!ProfileParser::splitLine(line, tokens, error)) {
            fail(MERGE_EXCEPTION, "line " + std::to_string(lineNumber) + ": " + error);
            return;
        }
        if (tokens.empty() || !referenceDirectives.count(tokens.front())) {
            out += line + '\n';
            continue;
        }
        const std::string &name = tokens.front();
        if (!seen.insert(name).second) {
            fail(MERGE_MULTIPLE_REF_FAIL, "'" + name + "' is given more than once");
            return;
        }
        const bool keepsLine = tokens.size() < 2 || tokens[1] == "[inline]" || (name == "dh" && tokens[1] == "none")
                               || followReferences == FOLLOW_NONE
                               || (followReferences == FOLLOW_PARTIAL && tokens[1].find('/') != std::string::npos);
        if (keepsLine) {
            out += line + '\n';
            continue;
        }
        if (name == "crl-verify" && tokens.size() > 2 && tokens[2] == "dir") {
            fail(MERGE_REF_FAIL, "crl-verify with a folder cannot be put inline");
            return;
        }
        std::string body;
        if (!readReference(name, tokens[1], folder, maxSize, body)) {
            return;
        }
        out += "<" + name + ">\n" + body + "</" + name + ">\n";
        if ((name == "tls-auth" || name == "secret") && tokens.size() > 2) {
            out += "key-direction " + tokens[2] + '\n';
        }
    }
    if (!inlineTag.empty()) {
        fail(MERGE_EXCEPTION, "inline block <" + inlineTag + "> is not closed");
        return;
    }
    if (out.size() > maxSize) {
        fail(MERGE_EXCEPTION, "merged profile is larger than " + std::to_string(maxSize) + " bytes");
        return;
    }
    m_content = out;
    m_status = MERGE_SUCCESS;
    m_error.clear();
}

bool ProfileMerge::readReference(
    const std::string &name, const std::string &file, const std::string &folder, std::size_t maxSize, std::string &text)
{
    const std::string path = file.front() == '/' ? file : folder + '/' + file;
    const std::string resolved = canonical(path);
    if (resolved.empty()) {
        return fail(MERGE_REF_FAIL, "cannot read '" + file + "' of '" + name + "': " + std::strerror(errno));
    }
    if (resolved.compare(0, folder.size() + 1, folder + '/') != 0) {
        return fail(MERGE_REF_FAIL, "'" + file + "' of '" + name + "' lies outside the profile's folder");
    }
    struct stat info = {};
    if (stat(resolved.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return fail(MERGE_REF_FAIL, "'" + file + "' of '" + name + "' is not a regular file");
    }
    if (static_cast<std::size_t>(info.st_size) > maxSize) {
        return fail(MERGE_REF_FAIL,
                    "'" + file + "' of '" + name + "' is larger than " + std::to_string(maxSize) + " bytes");
    }
    std::ifstream in(resolved, std::ios::binary);
    std::ostringstream read;
    read << in.rdbuf();
    if (!in) {
        return fail(MERGE_REF_FAIL, "cannot read '" + file + "' of '" + name + "'");
    }
    text = read.str();
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    // A closing tag inside the file would end the block early and let the rest pass as directives.
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!ProfileParser::closingTag(line).empty()) {
            return fail(MERGE_REF_FAIL, "'" + file + "' of '" + name + "' contains a closing tag");
        }
    }
    m_refPaths.push_back(resolved);
    return true;
}

} // namespace lumen::engine

#include "vpn/engine/ProfileMerge.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/stat.h>

#include "vpn/engine/ProfileParser.h"
#include "vpn/engine/ProfilePolicy.h"

namespace lumen::engine
{

namespace
{
constexpr std::size_t base64LineLength = 64;

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

// The daemon takes an inline PKCS#12 bundle as Base64 text.
std::string base64Lines(const std::string &data)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const auto byte = [&data](std::size_t at) {
            return at < data.size() ? static_cast<unsigned char>(data[at]) : 0U;
        };
        const unsigned value = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        encoded += alphabet[(value >> 18) & 63];
        encoded += alphabet[(value >> 12) & 63];
        encoded += i + 1 < data.size() ? alphabet[(value >> 6) & 63] : '=';
        encoded += i + 2 < data.size() ? alphabet[value & 63] : '=';
    }
    std::string lines;
    for (std::size_t i = 0; i < encoded.size(); i += base64LineLength) {
        lines += encoded.substr(i, base64LineLength) + '\n';
    }
    return lines;
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

    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::size_t length = end - pos;
        if (length > 0 && text[end - 1] == '\r') {
            --length;
        }
        pos = end + 1;
        ++lineNumber;
        if (length > maxLineLength) {
            fail(MERGE_EXCEPTION,
                 "line " + std::to_string(lineNumber) + " is longer than " + std::to_string(maxLineLength)
                     + " characters");
            return;
        }
    }

    std::vector<ProfileDirective> directives;
    std::string error;
    if (!ProfileParser::parse(text, directives, error)) {
        fail(MERGE_EXCEPTION, error);
        return;
    }
    // Key material and credentials are taken once, whether inline or from a file.
    std::map<std::string, int> sources;
    for (const ProfileDirective &directive : directives) {
        const bool source =
            (directive.isInline && ProfilePolicy::takesContent(directive.name)) || ProfilePolicy::namesFile(directive);
        if (source && ++sources[directive.name] > 1) {
            fail(MERGE_MULTIPLE_REF_FAIL,
                 "'" + directive.name + "' is given more than once (line " + std::to_string(directive.line) + ")");
            return;
        }
    }

    std::vector<ProfileDirective> merged;
    for (const ProfileDirective &directive : directives) {
        if (!ProfilePolicy::namesFile(directive)) {
            merged.push_back(directive);
            continue;
        }
        const std::string &name = directive.name;
        const std::string &file = directive.args.front();
        if (followReferences == FOLLOW_NONE
            || (followReferences == FOLLOW_PARTIAL && file.find('/') != std::string::npos)) {
            fail(MERGE_REF_FAIL, "'" + file + "' of '" + name + "' is a reference that is not followed here");
            return;
        }
        if (name == "crl-verify" && directive.args.size() > 1 && directive.args[1] == "dir") {
            fail(MERGE_REF_FAIL, "crl-verify with a folder cannot be put inline");
            return;
        }
        ProfileDirective block;
        block.name = name;
        block.isInline = true;
        block.line = directive.line;
        if (!readReference(name, file, folder, maxSize, block.body)) {
            return;
        }
        merged.push_back(block);
        if ((name == "tls-auth" || name == "secret") && directive.args.size() > 1) {
            ProfileDirective direction;
            direction.name = "key-direction";
            direction.args = {directive.args[1]};
            direction.line = directive.line;
            merged.push_back(direction);
        }
    }

    const ProfilePolicy::Result result = ProfilePolicy::rebuild(merged);
    if (result.verdict == ProfilePolicy::Verdict::GivenTwice) {
        fail(MERGE_MULTIPLE_REF_FAIL, result.error);
        return;
    }
    if (result.verdict != ProfilePolicy::Verdict::Accepted) {
        fail(MERGE_EXCEPTION, result.error);
        return;
    }
    if (result.profile.size() > maxSize) {
        fail(MERGE_EXCEPTION, "merged profile is larger than " + std::to_string(maxSize) + " bytes");
        return;
    }
    m_content = result.profile;
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
    if (name == "pkcs12") {
        text = base64Lines(text);
    } else if (text.find('\0') != std::string::npos) {
        return fail(MERGE_REF_FAIL, "'" + file + "' of '" + name + "' is not a text file");
    }
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    // A closing tag inside the file would end the block early and let the rest pass as directives.
    if (ProfileParser::closesBlock(text, name)) {
        return fail(MERGE_REF_FAIL, "'" + file + "' of '" + name + "' contains a closing tag");
    }
    m_refPaths.push_back(resolved);
    return true;
}

} // namespace lumen::engine

#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace lumen::engine
{

// Reads a profile file, puts every file it references inline and checks the whole against the profile policy; the
// result is the profile rebuilt from what the policy accepted, one self-contained text. Files are only read from
// the profile's own folder: a downloaded profile must not pull in other files of the machine.
class ProfileMerge
{
public:
    enum Status
    {
        MERGE_UNDEFINED = 0,
        MERGE_SUCCESS,
        MERGE_EXCEPTION,
        MERGE_OVPN_EXT_FAIL,
        MERGE_OVPN_FILE_FAIL,
        MERGE_REF_FAIL,
        MERGE_MULTIPLE_REF_FAIL,
    };

    enum Follow
    {
        FOLLOW_NONE = 0,
        FOLLOW_PARTIAL, // only plain file names, no folders
        FOLLOW_FULL,
    };

    ProfileMerge(const std::string &profilePath,
                 const std::string &profileExt,
                 const std::string &profileDirOverride,
                 Follow followReferences,
                 std::size_t maxLineLength,
                 std::size_t maxSize);

    Status status() const
    {
        return m_status;
    }

    const std::string &error() const
    {
        return m_error;
    }

    const std::string &profile_content() const
    {
        return m_content;
    }

    const std::string &basename() const
    {
        return m_basename;
    }

    const std::vector<std::string> &ref_path_list() const
    {
        return m_refPaths;
    }

    std::string status_string() const;

private:
    void merge(const std::string &profilePath,
               const std::string &profileExt,
               const std::string &profileDirOverride,
               Follow followReferences,
               std::size_t maxLineLength,
               std::size_t maxSize);
    bool fail(Status status, const std::string &error);
    bool readReference(const std::string &name,
                       const std::string &file,
                       const std::string &folder,
                       std::size_t maxSize,
                       std::string &text);

    Status m_status = MERGE_UNDEFINED;
    std::string m_error;
    std::string m_content;
    std::string m_basename;
    std::vector<std::string> m_refPaths;
};

} // namespace lumen::engine

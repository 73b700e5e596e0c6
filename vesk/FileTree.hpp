// Whole directory trees handed over or removed by root, never following a
// link: every entry is reached through its directory's descriptor, opened
// without following links, so nothing swapped in on the way leads elsewhere.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk::cli {

class FileTreeError : public std::runtime_error {
  public:
    explicit FileTreeError(const std::string& what) : std::runtime_error(what) {}
};

/// Directories deeper than this are not walked into.
inline constexpr int kMaxTreeDepth = 64;

/// Gives `path` and everything below it to uid:gid. Links are handed over
/// themselves, never what they point to. Throws FileTreeError.
void chownTree(const std::string& path, uid_t uid, gid_t gid);

/// Removes `path` and everything below it; a link is removed, never what it
/// points to. What cannot be removed is left.
void removeTree(const std::string& path);

/// Writes `content` as `relative` below the directory `root` (mode `mode`),
/// making the directories on the way (0755). Every directory is opened
/// from the one above it without following a link, and the file is written
/// whole under a new name and renamed over the old one: a link planted on
/// the way or at the file's place leads nowhere. Throws FileTreeError.
void writeFileBelow(const std::string& root, const std::string& relative, std::string_view content,
                    mode_t mode);

}  // namespace vesk::cli

// Whole directory trees changed by root, never following a link: every entry
// is reached through its directory's descriptor, opened without following
// links, so nothing swapped in on the way leads elsewhere. The helper and
// `sudo vesk install` both walk with these.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk::walk {

/// Why a walk stopped: what() says it in a line; `code()` is the errno and
/// `path()` the entry it failed at.
class WalkError : public std::runtime_error {
  public:
    WalkError(int code, std::string path, const std::string& what)
        : std::runtime_error(what), code_(code), path_(std::move(path)) {}
    [[nodiscard]] int code() const noexcept { return code_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

  private:
    int code_;
    std::string path_;
};

/// Directories deeper than this are not walked into.
inline constexpr int kMaxDepth = 256;

/// Removes the entry `name` of the open directory `dir` (`path` names it in
/// errors): a directory with everything below it, a link as a link. Stops at
/// the first entry that cannot be removed: WalkError "<path>: <reason>".
void removeEntry(int dir, const std::string& name, const std::string& path);

/// Removes `path` and everything below it; a link is removed, never what it
/// points to. What cannot be removed is left, and the rest still goes.
void removeTree(const std::string& path) noexcept;

/// Gives `path` and everything below it to uid:gid. Links are handed over
/// themselves, never what they point to. Throws WalkError.
void chownTree(const std::string& path, uid_t uid, gid_t gid);

/// Writes `content` as `relative` below the directory `root` (mode `mode`),
/// making the directories on the way (0755). Every directory is opened from
/// the one above it without following a link, and the file is replaced
/// whole: a link planted on the way or at the file's place leads nowhere.
/// Throws WalkError.
void writeFileBelow(const std::string& root, const std::string& relative, std::string_view content,
                    mode_t mode);

}  // namespace vesk::walk

// File-system access for root on behalf of a user. Paths are walked one
// component at a time with O_NOFOLLOW from a directory descriptor; a link met
// on the way is followed only when its target lies in the allowed places
// (and the walk then starts again from the target), so a link planted in a
// user-owned tree can never make root touch anything outside.
#pragma once

#include <sys/types.h>

#include <cerrno>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "HelperTools.hpp"
#include "vesk/system/EnvironmentLayout.hpp"
#include "vesk/system/Fd.hpp"

namespace vesk::helper {

/// A failed file operation; what() is its description: "<path>: <reason>".
class FileError : public std::runtime_error {
  public:
    FileError(int code, const std::string& path);
    FileError(const std::string& path, const std::string& reason, int code = EPERM);
    [[nodiscard]] int code() const noexcept { return code_; }

  private:
    int code_;
};

/// The directory that holds a path's last component, and that component.
struct Location {
    Fd parent;
    std::string parentPath;
    std::string leaf;
    [[nodiscard]] std::string path() const { return parentPath + "/" + leaf; }
};

class SafeFS {
  public:
    explicit SafeFS(const EnvironmentLayout& layout) : layout_(layout) {}

    /// Where `path` lives. Missing directories on the way are created with
    /// `createMode` when given (and then get exactly that mode), otherwise
    /// they fail with ENOENT. Paths outside the allowed places are walked with
    /// no link followed at all.
    [[nodiscard]] Location locate(const std::string& path,
                                  std::optional<mode_t> createMode = {}) const;
    [[nodiscard]] Location locate(const StandardPath& path,
                                  std::optional<mode_t> createMode = {}) const;

    /// As locate(), and a final link is followed while it stays in the allowed places.
    [[nodiscard]] Location locateFollowing(const std::string& path,
                                           std::optional<mode_t> createMode = {}) const;
    [[nodiscard]] Location locateFollowing(const StandardPath& path,
                                           std::optional<mode_t> createMode = {}) const;

    /// True when something exists at the path, a final link followed (a
    /// dangling link, or one leading out of the allowed places, counts as
    /// nothing when `followLinks`).
    [[nodiscard]] bool exists(const std::string& path, bool followLinks = true) const;
    [[nodiscard]] bool exists(const StandardPath& path, bool followLinks = true) const;

    /// createDirIfNeeded: nothing when anything exists there; otherwise the
    /// directory and its missing parents, each with exactly `mode`.
    void createDirIfNeeded(const std::string& path, mode_t mode) const;
    void createDirIfNeeded(const StandardPath& path, mode_t mode) const;

    /// Writes the bytes in place (truncating), creating the file with 0644 and
    /// missing parents with 0755, then gives the written file `mode`; refuses
    /// anything but a regular file with one link. In a directory others may
    /// change, on a system whose kernel lets users link files they cannot
    /// write, an existing file is replaced by a new one of the same owner.
    void writeInPlace(const StandardPath& path, std::span<const std::uint8_t> bytes,
                      mode_t mode) const;

    /// Writes a temporary file beside the target and renames it over the target.
    void writeAtomically(const std::string& path, std::string_view text,
                         std::optional<mode_t> mode = {}) const;

    /// Removes what the path names: a link itself (never its target), a file,
    /// or a directory with its contents (links inside are removed, not followed).
    void remove(const std::string& path) const;
    void remove(const StandardPath& path) const;

    /// Reads a regular file of at most 1 MiB; none when it cannot be read.
    [[nodiscard]] std::optional<std::string> readSmallFile(const std::string& path) const;

    /// Copies an open source into a new file at `path` (replacing what is
    /// there: a link is removed, not followed) with `mode`.
    void replaceWithCopy(int sourceFd, const std::string& path, mode_t mode) const;

    /// Points a link at `target`, replacing what is at `path` in one rename.
    void replaceLink(const std::string& path, const std::string& target) const;

  private:
    [[nodiscard]] bool hardlinksProtected() const;
    void replaceWithBytes(const Location& l, std::span<const std::uint8_t> bytes, mode_t mode,
                          uid_t owner, gid_t group, const std::string& path) const;
    Location walk(const StandardPath& path, std::optional<mode_t> createMode, int depth) const;
    Location follow(Location at, std::optional<mode_t> createMode, int depth) const;

    const EnvironmentLayout& layout_;
};

/// Opens a file for reading with the file-system identity of another user
/// (uid, gid and groups), so it opens exactly what that user could read.
/// Only the calling thread's identity changes, and only for the open.
Fd openAsUser(const std::string& path, uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
              int& error);

}  // namespace vesk::helper

// Replacing a file's content all at once: the new bytes go into a fresh file
// beside it, which then takes the name in one rename, so a reader (or a
// crash) sees the old file or the new one, never a part. The one way every
// component writes a file it replaces.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace vesk::atomicfile {

struct Options {
    /// The new file's mode; without one, the system's default for a new
    /// file (0666 less the umask).
    std::optional<mode_t> mode;
    /// The new file's owner and group (root's writes for someone else).
    std::optional<uid_t> owner;
    std::optional<gid_t> group;
    /// Whether the bytes reach the disk before the name changes.
    bool sync = true;
};

/// Replaces (or creates) `leaf` in the directory open as `dirFd`. The
/// staged file is made there with O_EXCL and O_NOFOLLOW under a name no one
/// can guess (".<leaf>.vesk-<random>"), and goes again on any failure.
/// Returns 0, or the errno of what failed.
int replaceAt(int dirFd, const std::string& leaf, std::string_view bytes,
              const Options& options = {});

/// The same for the file at `path` (in its directory, opened first).
int replace(const std::string& path, std::string_view bytes, const Options& options = {});

/// The whole of `bytes` written to `fd`; 0, or the errno of what failed.
int writeAll(int fd, std::string_view bytes);

}  // namespace vesk::atomicfile

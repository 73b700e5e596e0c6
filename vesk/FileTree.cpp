#include "FileTree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "vesk/system/AtomicFile.hpp"

namespace vesk::cli {

namespace {

struct CloseFd {
    int fd;
    ~CloseFd() {
        if (fd >= 0) ::close(fd);
    }
};

/// Changes the owner of everything below the directory `dirFd`, never
/// following a link: each entry is opened relative to its directory's
/// descriptor, so nothing swapped in on the way leads elsewhere.
void chownBelow(int dirFd, uid_t uid, gid_t gid, int depth) {
    if (depth > kMaxTreeDepth) throw FileTreeError{"the environment's directories nest too deep"};
    const int listFd = ::dup(dirFd);
    if (listFd < 0)
        throw FileTreeError{std::string("cannot read a directory: ") + std::strerror(errno)};
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        throw FileTreeError{std::string("cannot read a directory: ") + std::strerror(errno)};
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (::fchownat(dirFd, entry->d_name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
            throw FileTreeError{"cannot hand " + std::string(name) +
                                " over: " + std::strerror(errno)};
        }
        const int child =
            ::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) {
            const CloseFd closeChild{child};
            chownBelow(child, uid, gid, depth + 1);
        }
    }
}

/// Removes everything below `dirFd`, the same way: no link is ever followed.
void removeBelow(int dirFd, int depth) {
    if (depth > kMaxTreeDepth) return;
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (dir == nullptr) {
        if (listFd >= 0) ::close(listFd);
        return;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        const int child =
            ::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) {
            {
                const CloseFd closeChild{child};
                removeBelow(child, depth + 1);
            }
            ::unlinkat(dirFd, entry->d_name, AT_REMOVEDIR);
        } else {
            ::unlinkat(dirFd, entry->d_name, 0);
        }
    }
}

}  // namespace

void chownTree(const std::string& path, uid_t uid, gid_t gid) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw FileTreeError{"cannot open " + path + ": " + std::strerror(errno)};
    const CloseFd closeFd{fd};
    if (::fchown(fd, uid, gid) != 0) {
        throw FileTreeError{"cannot hand " + path + " over: " + std::strerror(errno)};
    }
    chownBelow(fd, uid, gid, 0);
}

void removeTree(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    {
        const CloseFd closeFd{fd};
        removeBelow(fd, 0);
    }
    ::rmdir(path.c_str());
}

void writeFileBelow(const std::string& root, const std::string& relative, std::string_view content,
                    mode_t mode) {
    int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) throw FileTreeError("cannot open " + root + ": " + std::strerror(errno));
    std::string_view rest = relative;
    // The directories on the way.
    for (auto slash = rest.find('/'); slash != std::string_view::npos; slash = rest.find('/')) {
        const std::string part(rest.substr(0, slash));
        rest.remove_prefix(slash + 1);
        if (part.empty() || part == "." || part == "..") {
            ::close(dir);
            throw FileTreeError(
                std::string("\"").append(relative).append("\" is no path below ").append(root));
        }
        if (::mkdirat(dir, part.c_str(), 0755) != 0 && errno != EEXIST) {
            const int e = errno;
            ::close(dir);
            throw FileTreeError("cannot make " + part + ": " + std::strerror(e));
        }
        const int next =
            ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int e = errno;
        ::close(dir);
        if (next < 0) {
            throw FileTreeError(std::string(root)
                                    .append("/")
                                    .append(relative)
                                    .append(": ")
                                    .append(part)
                                    .append(" is no directory of its own: ")
                                    .append(std::strerror(e)));
        }
        dir = next;
    }
    const std::string name(rest);
    atomicfile::Options options;
    options.mode = mode;
    const int error = atomicfile::replaceAt(dir, name, content, options);
    ::close(dir);
    if (error != 0) {
        throw FileTreeError("cannot write " + root + "/" + relative + ": " + std::strerror(error));
    }
}

}  // namespace vesk::cli

#include "SafeFS.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "HelperTools.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Walk.hpp"

namespace vesk::helper {

namespace {

constexpr int kMaxLinkHops = 16;
constexpr off_t kMaxReadSize = 1 << 20;
const char* const kOutside = "a symbolic link leads outside the allowed places";

std::vector<std::string> components(const std::string& p) {
    std::vector<std::string> out;
    std::size_t i = 1;
    while (i <= p.size()) {
        const std::size_t j = std::min(p.find('/', i), p.size());
        if (j > i) out.push_back(p.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string readLink(int dir, const std::string& name, const std::string& path) {
    std::string buf(4096, '\0');
    const ssize_t n = ::readlinkat(dir, name.c_str(), buf.data(), buf.size());
    if (n < 0) throw FileError(errno, path);
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

std::string randomSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static constexpr char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s;
    for (int i = 0; i < 12; ++i) s += digits[rng() % 36];
    return s;
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(errno, path);
        done += static_cast<std::size_t>(n);
    }
}

// Removes the entry `name` of `dir` with the walk that follows no link.
void removeEntry(int dir, const std::string& name, const std::string& path) {
    try {
        walk::removeEntry(dir, name, path);
    } catch (const walk::WalkError& e) {
        throw FileError(e.code(), e.path());
    }
}

// Opens an absolute path in one step, failing with ELOOP when any component
// is a link (ENOSYS kernels fall back to reporting ELOOP, so callers walk).
Fd openWithoutLinks(const std::string& path, int flags) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return Fd();
    }
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd < 0 && (errno == ENOSYS || errno == E2BIG || errno == EINVAL)) errno = ELOOP;
    return Fd(fd < 0 ? -1 : static_cast<int>(fd));
}

}  // namespace

FileError::FileError(int code, const std::string& path)
    : std::runtime_error(path + ": " + std::strerror(code)), code_(code) {}
FileError::FileError(const std::string& path, const std::string& reason, int code)
    : std::runtime_error(path + ": " + reason), code_(code) {}

Location SafeFS::walk(const StandardPath& sp, std::optional<mode_t> createMode, int depth) const {
    const std::string& path = sp.given;
    if (depth > kMaxLinkHops) throw FileError(ELOOP, path);
    if (path.find('\0') != std::string::npos) throw FileError(EINVAL, path);
    const std::string& p = sp.text;
    if (p.empty() || p.front() != '/' || p == "/") throw FileError(EINVAL, path);
    const bool allowed = sp.allowed;
    // Links are followed only strictly below the root of an allowed place.
    std::size_t areaDepth = 0;
    if (allowed) {
        for (const std::string* area : {&layout_.veskBase, &layout_.resolverDir}) {
            if (p.rfind(*area, 0) == 0) areaDepth = components(*area).size();
        }
        if (areaDepth == 0) areaDepth = components(p).size();  // the link or a daemon file
    }
    const auto parts = components(p);
    Fd dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) throw FileError(errno, "/");
    std::string current;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const std::string& c = parts[i];
        std::string next = current;
        next += '/';
        next += c;
        int fd = ::openat(dir.get(), c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && createMode) {
            if (::mkdirat(dir.get(), c.c_str(), *createMode) == 0) {
                fd =
                    ::openat(dir.get(), c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd >= 0 && ::fchmod(fd, *createMode) != 0) {
                    const int e = errno;
                    ::close(fd);
                    throw FileError(e, next);
                }
            } else if (errno == EEXIST) {
                fd =
                    ::openat(dir.get(), c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            } else {
                throw FileError(errno, next);
            }
        }
        if (fd < 0) {
            const int e = errno;
            struct stat st {};
            if ((e == ELOOP || e == ENOTDIR) &&
                ::fstatat(dir.get(), c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                if (!allowed || i + 1 <= areaDepth) throw FileError(next, kOutside, EXDEV);
                const std::string target = readLink(dir.get(), c, next);
                std::string joined = target.front() == '/' ? std::string() : current + '/';
                joined += target;
                for (std::size_t k = i + 1; k < parts.size(); ++k) {
                    joined += '/';
                    joined += parts[k];
                }
                const StandardPath np = standardPath(layout_, joined);
                if (!np.allowed) throw FileError(next, kOutside, EXDEV);
                return walk(np, createMode, depth + 1);
            }
            throw FileError(e, next);
        }
        dir = Fd(fd);
        current = next;
    }
    return Location{std::move(dir), current, parts.back()};
}

Location SafeFS::follow(Location at, std::optional<mode_t> createMode, int depth) const {
    for (;;) {
        struct stat st {};
        if (::fstatat(at.parent.get(), at.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode)) {
            return at;
        }
        if (++depth > kMaxLinkHops) throw FileError(ELOOP, at.path());
        const std::string target = readLink(at.parent.get(), at.leaf, at.path());
        const StandardPath np =
            standardPath(layout_, target.front() == '/' ? target : at.parentPath + "/" + target);
        if (!np.allowed) throw FileError(at.path(), kOutside, EXDEV);
        at = walk(np, createMode, depth);
    }
}

// Paths of the helper's own are standardised here; a caller's path arrives
// standardised once, as a StandardPath.
Location SafeFS::locate(const std::string& path, std::optional<mode_t> createMode) const {
    return locate(standardPath(layout_, path), createMode);
}
Location SafeFS::locateFollowing(const std::string& path, std::optional<mode_t> createMode) const {
    return locateFollowing(standardPath(layout_, path), createMode);
}
bool SafeFS::exists(const std::string& path, bool followLinks) const {
    return exists(standardPath(layout_, path), followLinks);
}
void SafeFS::createDirIfNeeded(const std::string& path, mode_t mode) const {
    createDirIfNeeded(standardPath(layout_, path), mode);
}
void SafeFS::remove(const std::string& path) const {
    remove(standardPath(layout_, path));
}

Location SafeFS::locate(const StandardPath& path, std::optional<mode_t> createMode) const {
    return walk(path, createMode, 0);
}

Location SafeFS::locateFollowing(const StandardPath& path, std::optional<mode_t> createMode) const {
    return follow(walk(path, createMode, 0), createMode, 0);
}

bool SafeFS::exists(const StandardPath& path, bool followLinks) const {
    try {
        Location l = locate(path);
        struct stat st {};
        if (::fstatat(l.parent.get(), l.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!followLinks || !S_ISLNK(st.st_mode)) return true;
        try {
            Location t = follow(std::move(l), std::nullopt, 0);
            return ::fstatat(t.parent.get(), t.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        } catch (const FileError& e) {
            // A link whose target lies outside is there; what it points at is not looked at.
            return e.code() == EXDEV;
        }
    } catch (const FileError& e) {
        // A link on the way that leads outside is a refusal, not an absence.
        if (e.code() == EXDEV) throw;
        return false;
    }
}

void SafeFS::createDirIfNeeded(const StandardPath& path, mode_t mode) const {
    if (exists(path)) return;
    Location l = locate(path, mode);
    if (::mkdirat(l.parent.get(), l.leaf.c_str(), mode) != 0) throw FileError(errno, path.given);
    const int fd =
        ::openat(l.parent.get(), l.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw FileError(errno, path.given);
    const int rc = ::fchmod(fd, mode);
    const int e = errno;
    ::close(fd);
    if (rc != 0) throw FileError(e, path.given);
}

bool SafeFS::hardlinksProtected() const {
    const auto text = readSmallFile(layout_.protectedHardlinks);
    return text && !text->empty() && (*text)[0] == '1';
}

void SafeFS::writeInPlace(const StandardPath& standard, std::span<const std::uint8_t> bytes,
                          mode_t mode) const {
    const std::string& path = standard.given;
    Location l = locateFollowing(standard, 0755);
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Fd fd(::openat(l.parent.get(), l.leaf.c_str(), kFlags | O_CREAT | O_EXCL, 0644));
    const bool created = static_cast<bool>(fd);
    if (!created) {
        if (errno != EEXIST) throw FileError(errno, path);
        fd = Fd(::openat(l.parent.get(), l.leaf.c_str(), kFlags));
        if (!fd) throw FileError(errno, path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw FileError(errno, path);
    // A hard link would let the write land in a file elsewhere.
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        throw FileError(path, "not a regular file with one link");
    struct stat dir {};
    if (::fstat(l.parent.get(), &dir) != 0) throw FileError(errno, path);
    // Where others may rename names and the kernel lets anyone link any
    // file, the link count above can have changed since the open: the file
    // is then replaced by a new one of the same owner instead.
    const bool othersRename = dir.st_uid != 0 || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!created && othersRename && !hardlinksProtected()) {
        fd = Fd();
        replaceWithBytes(l, bytes, mode, st.st_uid, st.st_gid, path);
        return;
    }
    if (::ftruncate(fd.get(), 0) != 0) throw FileError(errno, path);
    writeAll(fd.get(), bytes.data(), bytes.size(), path);
    // The mode goes on the very file that was checked and written, never on
    // whatever the name means by now.
    if (::fchmod(fd.get(), mode) != 0) throw FileError(errno, path);
}

void SafeFS::replaceWithBytes(const Location& l, std::span<const std::uint8_t> bytes, mode_t mode,
                              uid_t owner, gid_t group, const std::string& path) const {
    atomicfile::Options options;
    options.mode = mode;
    options.owner = owner;
    options.group = group;
    options.sync = false;
    const int error =
        atomicfile::replaceAt(l.parent.get(), l.leaf,
                              {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, options);
    if (error != 0) throw FileError(error, path);
}

void SafeFS::writeAtomically(const std::string& path, std::string_view text,
                             std::optional<mode_t> mode) const {
    Location l = locate(path);
    atomicfile::Options options;
    options.mode = mode;
    const int error = atomicfile::replaceAt(l.parent.get(), l.leaf, text, options);
    if (error != 0) throw FileError(error, path);
}

void SafeFS::remove(const StandardPath& path) const {
    Location l = locate(path);
    removeEntry(l.parent.get(), l.leaf, path.given);
}

std::optional<std::string> SafeFS::readSmallFile(const std::string& path) const {
    try {
        constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        // One system call when no link lies on the way; otherwise the walk,
        // which follows the links that stay in the allowed places.
        Fd fd = openWithoutLinks(path, flags);
        if (!fd && errno == ELOOP) {
            Location l = locateFollowing(path);
            fd = Fd(::openat(l.parent.get(), l.leaf.c_str(), flags));
        }
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_size > kMaxReadSize) {
            return std::nullopt;
        }
        std::string out;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::nullopt;
            if (n == 0) return out;
            out.append(buf, static_cast<std::size_t>(n));
            if (out.size() > static_cast<std::size_t>(kMaxReadSize)) return std::nullopt;
            // A regular file read short of its size at open has ended.
            if (out.size() >= static_cast<std::size_t>(st.st_size) &&
                static_cast<std::size_t>(n) < sizeof buf) {
                return out;
            }
        }
    } catch (const FileError&) {
        return std::nullopt;
    }
}

void SafeFS::replaceWithCopy(int sourceFd, const std::string& path, mode_t mode) const {
    Location l = locate(path);
    struct stat st {};
    if (::fstatat(l.parent.get(), l.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        removeEntry(l.parent.get(), l.leaf, path);
    }
    Fd out(::openat(l.parent.get(), l.leaf.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) throw FileError(errno, path);
    if (::lseek(sourceFd, 0, SEEK_SET) < 0) throw FileError(errno, path);
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(sourceFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(errno, path);
        if (n == 0) break;
        writeAll(out.get(), reinterpret_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(n),
                 path);
    }
    if (::fchmod(out.get(), mode) != 0) throw FileError(errno, path);
}

void SafeFS::replaceLink(const std::string& path, const std::string& target) const {
    Location l = locate(path);
    struct stat st {};
    if (::fstatat(l.parent.get(), l.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode)) {
        removeEntry(l.parent.get(), l.leaf, path);
    }
    const std::string tmp = "." + l.leaf + ".vesk-" + randomSuffix();
    if (::symlinkat(target.c_str(), l.parent.get(), tmp.c_str()) != 0) throw FileError(errno, path);
    if (::renameat(l.parent.get(), tmp.c_str(), l.parent.get(), l.leaf.c_str()) != 0) {
        const int e = errno;
        ::unlinkat(l.parent.get(), tmp.c_str(), 0);
        throw FileError(e, path);
    }
}

namespace {

// Opens for reading without following a magic link of /proc (another
// process's descriptors, root or working directory).
Fd openPlain(const std::string& path, int& error) {
    open_how how{};
    how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd < 0) error = errno;
    return Fd(static_cast<int>(fd));
}

}  // namespace

Fd openAsUser(const std::string& path, uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
              int& error) {
    error = 0;
    if (uid == 0) return openPlain(path, error);
    // The raw system calls change this thread only (the C library's wrappers
    // would change every thread of the process).
    std::vector<gid_t> saved(static_cast<std::size_t>(::syscall(SYS_getgroups, 0, nullptr)));
    if (!saved.empty()) {
        ::syscall(SYS_getgroups, static_cast<int>(saved.size()), saved.data());
    }
    // The file-system ids alone leave root's other powers in place (tracing
    // other processes opens their /proc links): for the open, this thread
    // has no effective capability at all.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, caps) != 0) {
        error = errno;
        return Fd();
    }
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
    for (std::size_t i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
        none[i] = caps[i];
        none[i].effective = 0;
    }
    const auto restore = [&] {
        ::syscall(SYS_setfsuid, 0);
        ::syscall(SYS_setfsgid, 0);
        ::syscall(SYS_setgroups, saved.size(), saved.data());
        ::syscall(SYS_capset, &header, caps);
    };
    Fd fd;
    if (::syscall(SYS_setgroups, groups.size(), groups.data()) == 0) {
        ::syscall(SYS_setfsgid, gid);
        ::syscall(SYS_setfsuid, uid);
        // setfsuid reports the previous value; check the change took.
        if (::syscall(SYS_setfsuid, static_cast<uid_t>(-1)) == static_cast<long>(uid) &&
            ::syscall(SYS_capset, &header, none) == 0) {
            fd = openPlain(path, error);
        } else {
            error = EPERM;
        }
    } else {
        error = errno;
    }
    restore();
    return fd;
}

}  // namespace vesk::helper

#include "vesk/system/Walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Fd.hpp"

namespace vesk::walk {

namespace {

constexpr int kDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string reason(int code) {
    return std::strerror(code);
}

[[noreturn]] void fail(int code, const std::string& path) {
    throw WalkError(code, path, path + ": " + reason(code));
}

// The names in an open directory ("." and ".." left out), read whole before
// anything in it changes. False, with errno, when it cannot be read.
bool names(int dirFd, std::vector<std::string>& out) {
    Fd listFd(::dup(dirFd));
    if (!listFd) return false;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listFd.get()), ::closedir);
    if (!dir) return false;
    listFd.release();  // the stream owns it now
    ::rewinddir(dir.get());
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") out.emplace_back(name);
    }
    return true;
}

// Removes what is below `dirFd`. Stopping: the first failure is thrown;
// otherwise every entry that can go goes.
void removeBelow(int dirFd, const std::string& path, int depth, bool stopping) {
    if (depth > kMaxDepth) {
        if (stopping) fail(ELOOP, path);
        return;
    }
    std::vector<std::string> entries;
    if (!names(dirFd, entries)) {
        if (stopping) fail(errno, path);
        return;
    }
    for (const auto& name : entries) {
        std::string child = path;
        child.append("/").append(name);
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (stopping) fail(errno, child);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const Fd sub(::openat(dirFd, name.c_str(), kDirectory));
            if (!sub) {
                if (stopping) fail(errno, child);
                continue;
            }
            removeBelow(sub.get(), child, depth + 1, stopping);
        }
        if (::unlinkat(dirFd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
            stopping) {
            fail(errno, child);
        }
    }
}

void chownBelow(int dirFd, uid_t uid, gid_t gid, int depth) {
    if (depth > kMaxDepth) {
        throw WalkError(ELOOP, "", "the environment's directories nest too deep");
    }
    std::vector<std::string> entries;
    if (!names(dirFd, entries)) {
        const int e = errno;
        throw WalkError(e, "", "cannot read a directory: " + reason(e));
    }
    for (const auto& name : entries) {
        if (::fchownat(dirFd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
            const int e = errno;
            throw WalkError(e, name, "cannot hand " + name + " over: " + reason(e));
        }
        const Fd child(::openat(dirFd, name.c_str(), kDirectory));
        if (child) chownBelow(child.get(), uid, gid, depth + 1);
    }
}

}  // namespace

void removeEntry(int dir, const std::string& name, const std::string& path) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail(errno, path);
    if (S_ISDIR(st.st_mode)) {
        const Fd sub(::openat(dir, name.c_str(), kDirectory));
        if (!sub) fail(errno, path);
        removeBelow(sub.get(), path, 1, true);
    }
    if (::unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
        fail(errno, path);
    }
}

void removeTree(const std::string& path) noexcept {
    {
        const Fd fd(::open(path.c_str(), kDirectory));
        if (!fd) {
            // A link, or a file, is removed itself; nothing at all is fine.
            struct stat st {};
            if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
            return;
        }
        try {
            removeBelow(fd.get(), path, 0, false);
        } catch (...) {  // never thrown when not stopping; an allocation failure leaves the rest
            return;
        }
    }
    ::rmdir(path.c_str());
}

void chownTree(const std::string& path, uid_t uid, gid_t gid) {
    const Fd fd(::open(path.c_str(), kDirectory));
    if (!fd) {
        const int e = errno;
        throw WalkError(e, path, "cannot open " + path + ": " + reason(e));
    }
    if (::fchown(fd.get(), uid, gid) != 0) {
        const int e = errno;
        throw WalkError(e, path, "cannot hand " + path + " over: " + reason(e));
    }
    chownBelow(fd.get(), uid, gid, 0);
}

void writeFileBelow(const std::string& root, const std::string& relative, std::string_view content,
                    mode_t mode) {
    Fd dir(::open(root.c_str(), kDirectory));
    if (!dir) {
        const int e = errno;
        throw WalkError(e, root, "cannot open " + root + ": " + reason(e));
    }
    std::string_view rest = relative;
    // The directories on the way.
    for (auto slash = rest.find('/'); slash != std::string_view::npos; slash = rest.find('/')) {
        const std::string part(rest.substr(0, slash));
        rest.remove_prefix(slash + 1);
        if (part.empty() || part == "." || part == "..") {
            throw WalkError(
                EINVAL, relative,
                std::string("\"").append(relative).append("\" is no path below ").append(root));
        }
        if (::mkdirat(dir.get(), part.c_str(), 0755) != 0 && errno != EEXIST) {
            const int e = errno;
            throw WalkError(e, part, "cannot make " + part + ": " + reason(e));
        }
        Fd next(::openat(dir.get(), part.c_str(), kDirectory));
        if (!next) {
            const int e = errno;
            std::string what = root;
            what.append("/").append(relative).append(": ").append(part);
            what.append(" is no directory of its own: ").append(reason(e));
            throw WalkError(e, part, what);
        }
        dir = std::move(next);
    }
    atomicfile::Options options;
    options.mode = mode;
    if (const int error = atomicfile::replaceAt(dir.get(), std::string(rest), content, options);
        error != 0) {
        throw WalkError(error, relative,
                        "cannot write " + root + "/" + relative + ": " + reason(error));
    }
}

}  // namespace vesk::walk

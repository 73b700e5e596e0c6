#include "vesk/system/AtomicFile.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vesk::atomicfile {

namespace {

std::string randomSuffix() {
    static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[12] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    std::string s;
    for (const unsigned char b : bytes) s += kDigits[b % 36];
    return s;
}

}  // namespace

int writeAll(int fd, std::string_view bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int replaceAt(int dirFd, const std::string& leaf, std::string_view bytes, const Options& options) {
    const std::string staged = "." + leaf + ".vesk-" + randomSuffix();
    const int fd =
        ::openat(dirFd, staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 options.owner ? 0600 : 0666);
    if (fd < 0) return errno;
    int error = writeAll(fd, bytes);
    if (error == 0 && (options.owner || options.group) &&
        ::fchown(fd, options.owner.value_or(static_cast<uid_t>(-1)),
                 options.group.value_or(static_cast<gid_t>(-1))) != 0) {
        error = errno;
    }
    // The mode goes on the very file written, never on whatever a name means.
    if (error == 0 && options.mode && ::fchmod(fd, *options.mode) != 0) error = errno;
    if (error == 0 && options.sync && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::renameat(dirFd, staged.c_str(), dirFd, leaf.c_str()) != 0) error = errno;
    if (error != 0) ::unlinkat(dirFd, staged.c_str(), 0);
    return error;
}

int replace(const std::string& path, std::string_view bytes, const Options& options) {
    const auto slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return errno;
    const int error = replaceAt(dir, path.substr(slash + 1), bytes, options);
    ::close(dir);
    return error;
}

}  // namespace vesk::atomicfile

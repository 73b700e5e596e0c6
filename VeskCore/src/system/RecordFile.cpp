#include "vesk/system/RecordFile.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "vesk/system/AtomicFile.hpp"

namespace vesk {

RecordFileError::RecordFileError(std::string path, const std::string& reason)
    : std::runtime_error(path + ": " + reason), path_(std::move(path)) {}

namespace recordfile {

namespace {

constexpr std::size_t kMaxRecordFile = std::size_t{64} << 20;

[[noreturn]] void fail(const std::string& path, int error) {
    throw RecordFileError(path, std::strerror(error));
}

void makeParent(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) return;
    std::error_code ec;
    if (std::filesystem::is_directory(parent, ec)) return;
    std::filesystem::create_directories(parent, ec);
    if (ec) fail(parent.string(), ec.value());
    std::filesystem::permissions(parent, std::filesystem::perms::owner_all, ec);
}

}  // namespace

Lock::Lock(const std::string& path, bool exclusive) {
    makeParent(path);
    const std::string lockPath = path + ".lock";
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) fail(lockPath, errno);
    while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            const int e = errno;
            ::close(fd_);
            fail(lockPath, e);
        }
    }
}

Lock::~Lock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

std::optional<std::string> readText(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        fail(path, errno);
    }
    // Room for the whole file at once (and the parser's padding after it,
    // so the text is parsed in place): read in pieces, it never moves.
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        text.reserve(std::min(static_cast<std::size_t>(st.st_size), kMaxRecordFile) + kJsonPadding);
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            fail(path, e);
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxRecordFile) {
            ::close(fd);
            throw RecordFileError(path, "larger than 64 MiB; it is left as it is");
        }
    }
    ::close(fd);
    return text;
}

void writeText(const std::string& path, std::string_view text, bool sync) {
    makeParent(path);
    atomicfile::Options options;
    options.mode = 0600;
    options.sync = sync;
    if (const int error = atomicfile::replace(path, text, options); error != 0) fail(path, error);
}

}  // namespace recordfile

}  // namespace vesk

#include "vesk/ProfileDiff.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>

namespace vesk {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kIndentLevels = 32;

[[noreturn]] void failWith(int error, const std::string& path) {
    throw std::system_error(error, std::generic_category(), path);
}

std::vector<FunctionDiff> ofKind(const std::vector<FunctionDiff>& diffs, DiffKind kind) {
    std::vector<FunctionDiff> out;
    for (const auto& d : diffs) {
        if (d.kind == kind) out.push_back(d);
    }
    return out;
}

}  // namespace

std::string ProfileStore::save(const ProfileRun& run) const {
    std::error_code ec;
    if (!fs::exists(directory_, ec)) {
        fs::create_directories(directory_, ec);
        if (ec) failWith(ec.value(), directory_);
    }
    CodingOptions options;
    options.dates = DateStrategy::iso8601;
    options.indent = 2;
    options.maxIndentLevels = kIndentLevels;
    const std::string text = encodeJSON(run, options);
    const std::string path =
        (fs::path(directory_) / ("profile-" + run.id.uuidString() + ".json")).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) failWith(errno, path);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            ::close(fd);
            failWith(e, path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) failWith(errno, path);
    return path;
}

ProfileRun ProfileStore::load(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) failWith(errno, path);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        failWith(e, path);
    }
    std::string text;
    // Room after the text lets the parser read it in place.
    text.reserve(static_cast<std::size_t>(st.st_size) + kJsonPadding);
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            failWith(e, path);
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (text.capacity() - text.size() < kJsonPadding) text.reserve(text.size() + kJsonPadding);
    CodingOptions options;
    options.dates = DateStrategy::iso8601;
    return decodeJSON<ProfileRun>(text, options);
}

std::vector<std::string> ProfileStore::listProfiles() const {
    std::error_code ec;
    if (!fs::exists(directory_, ec)) return {};
    struct Entry {
        std::string path;
        bool known;
        timespec modified;
    };
    std::vector<Entry> entries;
    fs::directory_iterator it(directory_, ec);
    if (ec) failWith(ec.value(), directory_);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) failWith(ec.value(), directory_);
        const std::string name = it->path().filename().string();
        if (name.size() < 13 || name.rfind("profile-", 0) != 0 ||
            name.compare(name.size() - 5, 5, ".json") != 0) {
            continue;
        }
        const std::string path = (fs::path(directory_) / name).string();
        struct stat st {};
        const bool known = ::stat(path.c_str(), &st) == 0;
        entries.push_back({path, known, known ? st.st_mtim : timespec{}});
    }
    // Newest first; a file whose attributes cannot be read counts as oldest.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.known != b.known) return a.known;
        if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec > b.modified.tv_sec;
        return a.modified.tv_nsec > b.modified.tv_nsec;
    });
    std::vector<std::string> out;
    out.reserve(entries.size());
    for (auto& e : entries) out.push_back(std::move(e.path));
    return out;
}

std::vector<FunctionDiff> ProfileDiff::regressions() const {
    return ofKind(diffs, DiffKind::regression);
}
std::vector<FunctionDiff> ProfileDiff::improvements() const {
    return ofKind(diffs, DiffKind::improvement);
}
std::vector<FunctionDiff> ProfileDiff::added() const {
    return ofKind(diffs, DiffKind::added);
}
std::vector<FunctionDiff> ProfileDiff::removed() const {
    return ofKind(diffs, DiffKind::removed);
}

std::vector<FunctionDiff> ProfileDiff::topRegressions(std::size_t limit) const {
    auto list = regressions();
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.delta > b.delta; });
    if (list.size() > limit) list.resize(limit);
    return list;
}

std::vector<FunctionDiff> ProfileDiff::topImprovements(std::size_t limit) const {
    auto list = improvements();
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.delta < b.delta; });
    if (list.size() > limit) list.resize(limit);
    return list;
}

}  // namespace vesk

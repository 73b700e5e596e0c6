#include "vesk/debugging/ProfileDiff.hpp"

#include "vesk/foundation/json/Stream.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <system_error>
#include <unordered_map>

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
    // Encoded in pieces and written piece by piece: a long text is never
    // joined in memory.
    JsonWriter writer(options);
    encodeValue(JsonOut(writer), run);
    std::string path =
        (fs::path(directory_) / ("profile-" + run.id.uuidString() + ".json")).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) failWith(errno, path);
    for (const std::string_view piece : writer.pieces()) {
        std::size_t done = 0;
        while (done < piece.size()) {
            const ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int e = n < 0 ? errno : EIO;
                ::close(fd);
                failWith(e, path);
            }
            done += static_cast<std::size_t>(n);
        }
    }
    writer.clear();
    if (::close(fd) != 0) failWith(errno, path);
    return path;
}

namespace {

// A profile's text is read into one mapping per thread, kept for the next
// profile up to keptTextBytes (fresh pages cost more than reading into
// them). A larger text is given back as it is read and unmapped after.
std::atomic<std::size_t> keptTextBytes{ProfileStore::kDefaultKeptTextBytes};
// Mappings are sized in steps of this much, and the stream gives back text
// only this far behind what it has consumed.
constexpr std::size_t kTextGrain = std::size_t{2} << 20;

class TextBuffer {
  public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { unmap(); }

    [[nodiscard]] char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

    // Room for `bytes` and the parser's padding; what was read is lost.
    void reserve(std::size_t bytes) {
        const std::size_t want = bytes + kJsonPadding;
        if (want <= capacity_) return;
        unmap();
        const std::size_t size = (want + kTextGrain - 1) / kTextGrain * kTextGrain;
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        capacity_ = size;
    }
    // Gives back the pages wholly before `bytes`.
    void release(std::size_t bytes) noexcept {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t n = std::min(bytes, capacity_) / page * page;
        if (n > 0) ::madvise(data_, n, MADV_DONTNEED);
    }
    void unmap() noexcept {
        if (data_ != nullptr) ::munmap(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
    }

  private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

thread_local TextBuffer profileText;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Reads the whole file into the buffer, which grows when the file has grown
// meanwhile; returns the text's size. The padding after it is zeroed.
std::size_t readWhole(const std::string& path, TextBuffer& buffer) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) failWith(errno, path);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        failWith(e, path);
    }
    std::size_t size = 0;
    try {
        buffer.reserve(static_cast<std::size_t>(st.st_size) + 1);
        for (;;) {
            if (size + kJsonPadding == buffer.capacity()) {
                std::unique_ptr<char[]> kept(new char[size]);
                std::memcpy(kept.get(), buffer.data(), size);
                buffer.reserve(buffer.capacity() * 2);
                std::memcpy(buffer.data(), kept.get(), size);
            }
            const ssize_t n =
                ::read(fd, buffer.data() + size, buffer.capacity() - kJsonPadding - size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failWith(errno, path);
            if (n == 0) break;
            size += static_cast<std::size_t>(n);
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    std::memset(buffer.data() + size, 0, kJsonPadding);
    return size;
}

}  // namespace

ProfileRun ProfileStore::load(const std::string& path) const {
    CodingOptions options;
    options.dates = DateStrategy::iso8601;
    TextBuffer& buffer = profileText;
    std::size_t size = readWhole(path, buffer);
    const bool kept = size + kJsonPadding <= keptTextBytes.load(std::memory_order_relaxed);
    struct Unmap {
        TextBuffer& buffer;
        bool kept;
        ~Unmap() {
            if (!kept) buffer.unmap();
        }
    } unmapAfter{buffer, kept};
    if (!kept) {
        // A text this large is read in one pass straight off the text, the
        // tree built as it goes and the text given back as it is read, so
        // the text, the parser's index and the tree are never all whole at
        // once (the text and a tape of it alone would pass both together).
        JsonStream stream(PaddedText{std::string_view(buffer.data(), size)}, options,
                          [&buffer](std::size_t bytes) {
                              buffer.release(bytes > kTextGrain ? bytes - kTextGrain : 0);
                          });
        ProfileRun run;
        if (readValue(stream, run) && stream.finish()) return run;
        size = readWhole(path, buffer);  // anything unusual: the text again, whole
    }
    const JsonDocument doc =
        JsonDocument::parse(PaddedText{std::string_view(buffer.data(), size)}, options);
    return decodeDocument<ProfileRun>(doc);
}

void ProfileStore::setKeptTextBytes(std::size_t bytes) noexcept {
    keptTextBytes.store(bytes, std::memory_order_relaxed);
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

namespace vesk {

namespace {

/// Each function's self time over the run, summed, in the order of first
/// mention (pre-order); sums saturate.
void selfTimes(const ProfileRun& run, std::vector<std::string>& order,
               std::unordered_map<std::string, std::int64_t>& sums) {
    std::vector<const CallFrame*> pending;
    for (auto it = run.frames.rbegin(); it != run.frames.rend(); ++it) pending.push_back(&*it);
    while (!pending.empty()) {
        const CallFrame* f = pending.back();
        pending.pop_back();
        auto [at, added] = sums.try_emplace(f->function, 0);
        if (added) order.push_back(f->function);
        if (__builtin_add_overflow(at->second, f->selfTime, &at->second)) {
            at->second = std::numeric_limits<std::int64_t>::max();
        }
        for (std::size_t i = f->children.size(); i > 0; --i) pending.push_back(&f->children[i - 1]);
    }
}

double percent(std::int64_t from, std::int64_t to) {
    if (from == 0) return to == 0 ? 0.0 : 100.0;
    return 100.0 * (static_cast<double>(to) - static_cast<double>(from)) /
           static_cast<double>(from);
}

std::int64_t difference(std::int64_t to, std::int64_t from) {
    std::int64_t d = 0;
    if (__builtin_sub_overflow(to, from, &d)) {
        return to > from ? std::numeric_limits<std::int64_t>::max()
                         : std::numeric_limits<std::int64_t>::min();
    }
    return d;
}

}  // namespace

ProfileDiff ProfileDiff::compare(const ProfileRun& baseline, const ProfileRun& current) {
    std::vector<std::string> baseOrder;
    std::vector<std::string> order;
    std::unordered_map<std::string, std::int64_t> base;
    std::unordered_map<std::string, std::int64_t> now;
    selfTimes(baseline, baseOrder, base);
    selfTimes(current, order, now);
    for (const auto& name : baseOrder) {
        if (now.count(name) == 0) order.push_back(name);
    }
    ProfileDiff diff;
    diff.id = UUID::random();
    diff.baselineTotalTime = baseline.totalTime;
    diff.currentTotalTime = current.totalTime;
    diff.totalTimeDelta = difference(current.totalTime, baseline.totalTime);
    diff.totalTimePercentChange = percent(baseline.totalTime, current.totalTime);
    for (const auto& name : order) {
        const auto b = base.find(name);
        const auto c = now.find(name);
        const std::int64_t before = b == base.end() ? 0 : b->second;
        const std::int64_t after = c == now.end() ? 0 : c->second;
        if (before == after && b != base.end() && c != now.end()) continue;
        FunctionDiff d;
        d.id = UUID::random();
        d.function = name;
        d.baselineSelfTime = before;
        d.currentSelfTime = after;
        d.delta = difference(after, before);
        if (b == base.end()) {
            d.kind = DiffKind::added;
            d.percentChange = 100.0;
        } else if (c == now.end()) {
            d.kind = DiffKind::removed;
            d.percentChange = -100.0;
        } else {
            d.kind = after > before ? DiffKind::regression : DiffKind::improvement;
            d.percentChange = percent(before, after);
        }
        diff.diffs.push_back(std::move(d));
    }
    return diff;
}

}  // namespace vesk

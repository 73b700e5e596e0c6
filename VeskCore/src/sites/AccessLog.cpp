#include "vesk/sites/AccessLog.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <thread>

namespace vesk::accesslog {

namespace {

constexpr std::size_t kFields = 10;
constexpr std::size_t kChunk = std::size_t{1} << 20;
/// Fewer bytes than any line in the format takes (ten fields, nine tabs).
constexpr std::size_t kShortestLine = 24;
/// A log this large is read by two threads.
constexpr std::size_t kSplitAbove = std::size_t{16} << 20;
/// A longer line is no line nginx wrote in this format.
constexpr std::size_t kLongestLine = std::size_t{64} * 1024;

/// Ids for the records of one reading: a random base, a counter in it.
class Ids {
  public:
    Ids() : base_(UUID::random()) {}
    UUID next() {
        std::array<std::uint8_t, 16> b = base_.bytes();
        ++n_;
        for (int i = 0; i < 8; ++i) b[15 - i] ^= static_cast<std::uint8_t>(n_ >> (8 * i));
        return UUID(b);
    }

  private:
    UUID base_;
    std::uint64_t n_ = 0;
};

template <class T>
bool number(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

/// A decimal as nginx writes times ("1733680000.123", "0.004"): digits, a
/// point and at most nine decimals, read without the general parser; any
/// other form goes to it.
bool decimal(std::string_view text, double& value) {
    std::uint64_t whole = 0;
    std::size_t i = 0;
    for (; i < text.size() && i < 18 && text[i] >= '0' && text[i] <= '9'; ++i) {
        whole = whole * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (i > 0 && i < text.size() && text[i] == '.' && text.size() - i - 1 <= 9 &&
        text.size() - i - 1 > 0) {
        std::uint64_t fraction = 0;
        std::uint64_t scale = 1;
        std::size_t k = i + 1;
        for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k) {
            fraction = fraction * 10 + static_cast<std::uint64_t>(text[k] - '0');
            scale *= 10;
        }
        if (k == text.size()) {
            value = static_cast<double>(whole) +
                    static_cast<double>(fraction) / static_cast<double>(scale);
            return true;
        }
    }
    return number(text, value) && std::isfinite(value);
}

enum class Parsed { record, outside, bad };

/// One line read into `r` (whose texts keep their room from line to line).
Parsed parse(std::string_view line, RequestLog& r, Ids& ids, double since,
             const std::optional<std::string>& host) {
    // The fields, split in one pass over the line, sixteen bytes at a time.
    // Where each field ends (not zeroed first: every one used is set).
    std::size_t ends[kFields];  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::size_t n = 0;
    const auto field = [&](std::size_t tab) {
        if (n == kFields - 1) return false;  // a field too many
        ends[n++] = tab;
        return true;
    };
    std::size_t i = 0;
#ifdef __SSE2__
    const __m128i tabs = _mm_set1_epi8('\t');
    for (; i + 16 <= line.size(); i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data() + i));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, tabs)));
             mask != 0; mask &= mask - 1) {
            if (!field(i + static_cast<std::size_t>(std::countr_zero(mask)))) return Parsed::bad;
        }
    }
#endif
    for (; i < line.size(); ++i) {
        if (line[i] == '\t' && !field(i)) return Parsed::bad;
    }
    if (n != kFields - 1) return Parsed::bad;
    ends[n] = line.size();
    const auto f = [&](std::size_t k) {
        const std::size_t from = k == 0 ? 0 : ends[k - 1] + 1;
        return line.substr(from, ends[k] - from);
    };
    double msec = 0;
    std::int64_t status = 0;
    std::int64_t bytes = 0;
    double seconds = 0;
    if (!decimal(f(1), msec) || !number(f(5), status) || !number(f(6), bytes) || f(2).empty() ||
        f(3).empty()) {
        return Parsed::bad;
    }
    if (msec < since || (host && f(9) != *host)) return Parsed::outside;
    r.id = ids.next();
    r.remoteAddr.assign(f(0));
    r.timestamp = Date::fromUnix(msec);
    r.method.assign(f(2));
    // Across sites, a request's path is told by its host too: blog.test/
    // and shop.test/ are two endpoints, not one "GET /". For one site, the
    // path alone.
    if (host) {
        r.path.assign(f(3));
    } else {
        r.path.assign(f(9)).append(f(3));
    }
    r.proto.assign(f(4));
    r.statusCode = status;
    r.bodyBytes = bytes;
    r.responseTime.reset();
    if (decimal(f(7), seconds)) r.responseTime = seconds * 1000.0;
    if (f(8) == "-") {
        r.userAgent.reset();
    } else if (r.userAgent) {
        r.userAgent->assign(f(8));
    } else {
        r.userAgent.emplace(f(8));
    }
    return Parsed::record;
}

/// Reads the lines of [from, to) of the log (`from` starts a line) into
/// `reading`; a last line without its line feed counts as still being
/// written. The file shrinking meanwhile ends the reading early.
void readRange(int fd, std::size_t from, std::size_t to, double since,
               const std::optional<std::string>& host, Reading& reading) {
    Ids ids;
    RequestLog record;
    std::string buffer(kChunk + kLongestLine, '\0');
    std::size_t held = 0;  // bytes of an unfinished line at the buffer's start
    bool overlong = false;
    std::size_t at = from;
    while (at < to) {
        const ssize_t got =
            ::pread(fd, buffer.data() + held, std::min(to - at, buffer.size() - held),
                    static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // truncated meanwhile
        at += static_cast<std::size_t>(got);
        const std::size_t end = held + static_cast<std::size_t>(got);
        std::size_t start = 0;
        while (const void* nl = std::memchr(buffer.data() + start, '\n', end - start)) {
            const auto stop =
                static_cast<std::size_t>(static_cast<const char*>(nl) - buffer.data());
            if (overlong) {
                ++reading.skipped;
                overlong = false;
            } else {
                switch (parse(std::string_view(buffer.data() + start, stop - start), record, ids,
                              since, host)) {
                    case Parsed::record:
                        reading.tally.add(record);
                        ++reading.requests;
                        break;
                    case Parsed::bad:
                        ++reading.skipped;
                        break;
                    case Parsed::outside:
                        break;
                }
            }
            start = stop + 1;
        }
        held = end - start;
        if (held > kLongestLine) {
            overlong = true;  // skipped up to its end
            held = 0;
        } else {
            std::memmove(buffer.data(), buffer.data() + start, held);
        }
    }
    if (held > 0 || overlong) ++reading.truncated;
}

/// Where the line after `offset` starts (the file's size when none does).
std::size_t nextLine(int fd, std::size_t offset, std::size_t size) {
    char buffer[4096];
    while (offset < size) {
        const ssize_t got =
            ::pread(fd, buffer, std::min(sizeof buffer, size - offset), static_cast<off_t>(offset));
        if (got <= 0) return size;
        if (const void* nl = std::memchr(buffer, '\n', static_cast<std::size_t>(got))) {
            return offset + static_cast<std::size_t>(static_cast<const char*>(nl) - buffer) + 1;
        }
        offset += static_cast<std::size_t>(got);
    }
    return size;
}

}  // namespace

Reading read(const std::string& path, double since, const std::optional<std::string>& host) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw AccessLogError("cannot read " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw AccessLogError(path + " is not a log file");
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    Reading reading;
    // Room for a time per line of the whole log (lines are longer than
    // kShortestLine), reserved only: pages are touched as times arrive.
    reading.tally.reserve(size / kShortestLine + 1);
    const std::size_t middle = size >= kSplitAbove ? nextLine(fd, size / 2, size) : size;
    if (middle < size) {
        Reading second;
        second.tally.reserve((size - middle) / kShortestLine + 1);
        std::thread other([&] { readRange(fd, middle, size, since, host, second); });
        readRange(fd, 0, middle, since, host, reading);
        other.join();
        // A first half that ended early (the file shrank) has its end in the second.
        reading.tally.merge(std::move(second.tally));
        reading.requests += second.requests;
        reading.skipped += second.skipped;
        reading.truncated = second.truncated + (reading.truncated > 0 ? 1 : 0);
    } else {
        readRange(fd, 0, size, since, host, reading);
    }
    ::close(fd);
    return reading;
}

}  // namespace vesk::accesslog

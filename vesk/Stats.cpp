// vesk stats [--range 5m|15m|1h|24h] [--site SITE] [--json] [--log FILE]
//
// nginx writes the sites' access log in the "vesk" format of its main
// configuration: tab-separated, in this order, remote address, $msec (Unix
// time with milliseconds), method, request URI, protocol, status, body bytes,
// request time (seconds), user agent, host. nginx escapes tabs, quotes and
// control characters in values ("\xHH"), so a tab always separates fields.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iostream>

#include "Command.hpp"
#include "vesk/DashboardStats.hpp"
#include "vesk/Json.hpp"

namespace vesk::cli {

namespace {

constexpr std::size_t kFields = 10;
constexpr std::size_t kChunk = std::size_t{1} << 20;
/// A longer line is no line nginx wrote in this format.
constexpr std::size_t kLongestLine = 64 * 1024;

struct Reading {
    std::vector<RequestLog> logs;
    std::size_t skipped = 0;    ///< lines that are not in the format
    std::size_t truncated = 0;  ///< a last line still being written
};

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

/// One line as a record, none when it is not in the format.
std::optional<RequestLog> parse(std::string_view line, Ids& ids, double since,
                                const std::optional<std::string>& host, bool& outside) {
    std::array<std::string_view, kFields> f;
    std::size_t n = 0;
    std::size_t start = 0;
    while (n < kFields) {
        const auto tab = line.find('\t', start);
        f[n++] = line.substr(start, tab == std::string_view::npos ? std::string_view::npos
                                                                   : tab - start);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (n != kFields || line.find('\t', start) != std::string_view::npos) return std::nullopt;
    double msec = 0;
    std::int64_t status = 0;
    std::int64_t bytes = 0;
    double seconds = 0;
    if (!number(f[1], msec) || !std::isfinite(msec) || !number(f[5], status) ||
        !number(f[6], bytes) || f[2].empty() || f[3].empty()) {
        return std::nullopt;
    }
    outside = msec < since || (host && f[9] != *host);
    if (outside) return std::nullopt;
    RequestLog r;
    r.id = ids.next();
    r.remoteAddr = f[0];
    r.timestamp = Date::fromUnix(msec);
    r.method = f[2];
    r.path = f[3];
    r.proto = f[4];
    r.statusCode = status;
    r.bodyBytes = bytes;
    if (number(f[7], seconds) && std::isfinite(seconds)) r.responseTime = seconds;
    if (f[8] != "-") r.userAgent = std::string(f[8]);
    return r;
}

/// The log as it is when opened: what is written after that, and a file
/// renamed or truncated meanwhile, do not disturb the reading.
Reading read(const std::string& path, double since, const std::optional<std::string>& host) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure{"cannot read " + path + ": " + std::strerror(errno)};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Failure{path + " is not a log file"};
    }
    auto left = static_cast<std::size_t>(st.st_size);
    Reading reading;
    Ids ids;
    std::string buffer(kChunk + kLongestLine, '\0');
    std::size_t held = 0;  // bytes of an unfinished line at the buffer's start
    bool overlong = false;
    while (left > 0) {
        const ssize_t got =
            ::read(fd, buffer.data() + held, std::min(left, buffer.size() - held));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // truncated meanwhile
        left -= static_cast<std::size_t>(got);
        const std::size_t end = held + static_cast<std::size_t>(got);
        std::size_t start = 0;
        while (const void* nl = std::memchr(buffer.data() + start, '\n', end - start)) {
            const auto stop = static_cast<std::size_t>(static_cast<const char*>(nl) - buffer.data());
            if (overlong) {
                ++reading.skipped;
                overlong = false;
            } else {
                bool outside = false;
                auto r = parse(std::string_view(buffer.data() + start, stop - start), ids, since,
                               host, outside);
                if (r) {
                    reading.logs.push_back(std::move(*r));
                } else if (!outside) {
                    ++reading.skipped;
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
    ::close(fd);
    if (held > 0 || overlong) ++reading.truncated;
    return reading;
}

std::string formatSeconds(const std::optional<double>& s) {
    if (!s) return "-";
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, *s * 1000, std::chars_format::fixed, 1);
    return std::string(text, r.ptr) + " ms";
}

}  // namespace

int stats(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const std::string rangeText = args.value("--range").value_or("24h");
    const auto range = fromRawValue<TimeRange>(rangeText);
    if (!range) throw Failure{"--range takes 5m, 15m, 1h or 24h, not " + rangeText};
    std::optional<std::string> host = args.value("--site");
    if (host && host->find('.') == std::string::npos) *host += "." + currentSettings().defaultTLD;
    const std::string log =
        args.value("--log").value_or(servers().layout.logDir() + "/nginx-access.log");
    const double since = Date::now().timeIntervalSince1970() - seconds(*range);
    const Reading reading = read(log, since, host);
    const DashboardStats s = DashboardStats::compute(reading.logs, *range);
    if (args.has("--json")) {
        std::cout << encodeJSON(s) << "\n";
    } else {
        std::cout << "Requests in the last " << rangeText << (host ? " to " + *host : "") << ": "
                  << s.totalRequests << " (" << s.totalBytes << " bytes)\n";
        std::cout << "Response time: mean " << formatSeconds(s.avgResponseTime) << ", p95 "
                  << formatSeconds(s.p95ResponseTime) << ", p99 "
                  << formatSeconds(s.p99ResponseTime) << "\n";
        std::cout << "Status:";
        for (const auto& [category, count] : s.statusBreakdown) {
            std::cout << "  " << category << " " << count;
        }
        std::cout << "\nTop endpoints:\n";
        for (const auto& e : s.topEndpoints) std::cout << "  " << e.count << "  " << e.endpoint << "\n";
    }
    if (reading.skipped > 0 || reading.truncated > 0) {
        std::cerr << "vesk: " << reading.skipped << " lines of " << log
                  << " are not in the access log's format and were skipped"
                  << (reading.truncated > 0 ? "; its last line was still being written" : "")
                  << "\n";
    }
    return 0;
}

}  // namespace vesk::cli

#include "vesk/sites/DashboardStats.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace vesk {

namespace {

constexpr std::size_t kTopEndpoints = 10;
constexpr std::size_t kRadixBelow = 2048;  // shorter lists use std::sort
constexpr int kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

// Doubles as unsigned keys in IEEE 754's total order: positives get the
// sign bit set, negatives are inverted. NaN is ordered too: after +infinity,
// or before -infinity when its sign bit is set; -0 comes before +0.
std::uint64_t orderedKey(double d) {
    const auto u = std::bit_cast<std::uint64_t>(d);
    return (u >> 63) != 0 ? ~u : (u | (std::uint64_t{1} << 63));
}

double fromOrderedKey(std::uint64_t k) {
    const std::uint64_t u = (k >> 63) != 0 ? (k & ~(std::uint64_t{1} << 63)) : ~k;
    return std::bit_cast<double>(u);
}

struct Endpoint {
    std::string_view method;
    std::string_view path;
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// A text's bytes folded in eight at a time (a short tail read as words
// that overlap, never past the text). Endpoints are short and there are a
// million of them per computation.
std::uint64_t foldText(std::uint64_t h, std::string_view text) {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    const auto fold = [&](std::uint64_t w) {
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    };
    const char* p = text.data();
    const std::size_t n = text.size();
    fold(n);
    std::uint64_t w = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::memcpy(&w, p + i, 8);
        fold(w);
    }
    if (i < n) {
        if (n >= 8) {
            std::memcpy(&w, p + n - 8, 8);
        } else if (n >= 4) {
            std::uint32_t lo = 0;
            std::uint32_t hi = 0;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + n - 4, 4);
            w = lo | (std::uint64_t{hi} << 32);
        } else {
            w = static_cast<unsigned char>(p[0]) |
                (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
                (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
        }
        fold(w);
    }
    return h;
}

struct EndpointHash {
    std::size_t operator()(const Endpoint& e) const noexcept {
        const std::uint64_t h = foldText(foldText(0, e.method), e.path);
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
};

// Scratch kept per thread for the next computation: fresh pages cost more
// than the sort itself. Released past kKeptScratch elements.
constexpr std::size_t kKeptScratch = std::size_t{8} << 20;
struct Scratch {
    std::vector<std::uint64_t> spare;
    std::vector<double> times;
    std::unordered_map<Endpoint, std::size_t, EndpointHash> indexOf;
    std::vector<std::pair<Endpoint, std::int64_t>> counts;
    std::array<std::array<std::uint32_t, kBuckets>, (64 + kDigitBits - 1) / kDigitBits> digitCounts;
};
thread_local Scratch scratch;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

template <class V>
void releaseIfLarge(V& v) {
    if (v.capacity() > kKeptScratch) V().swap(v);
    v.clear();
}

}  // namespace

void sortAscending(std::vector<double>& values) {
    const std::size_t n = values.size();
    // (Counts are 32-bit: a list past four billion values is sorted whole.)
    if (n < kRadixBelow || n > std::numeric_limits<std::uint32_t>::max()) {
        // The same total order as the radix passes, so NaN has a place too.
        std::sort(values.begin(), values.end(),
                  [](double a, double b) { return orderedKey(a) < orderedKey(b); });
        return;
    }
    // The keys take the values' own storage (their bytes, copied in and out),
    // so one spare list is all the passes need.
    static_assert(sizeof(double) == sizeof(std::uint64_t));
    const auto load = [](const unsigned char* list, std::size_t i) {
        std::uint64_t k = 0;
        std::memcpy(&k, list + i * sizeof k, sizeof k);
        return k;
    };
    const auto store = [](unsigned char* list, std::size_t i, std::uint64_t k) {
        std::memcpy(list + i * sizeof k, &k, sizeof k);
    };
    // Every digit's counts in the one pass that makes the keys (a pass
    // moves keys, never changes them).
    constexpr int kDigits = (64 + kDigitBits - 1) / kDigitBits;
    std::array<std::array<std::uint32_t, kBuckets>, kDigits>& counts = scratch.digitCounts;
    for (auto& c : counts) c.fill(0);
    auto* own = reinterpret_cast<unsigned char*>(values.data());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = orderedKey(values[i]);
        store(own, i, k);
        for (int d = 0; d < kDigits; ++d) ++counts[d][(k >> (d * kDigitBits)) & (kBuckets - 1)];
    }
    std::vector<std::uint64_t>& spare = scratch.spare;
    spare.resize(n);
    unsigned char* from = own;
    auto* to = reinterpret_cast<unsigned char*>(spare.data());
    for (int d = 0; d < kDigits; ++d) {
        const int shift = d * kDigitBits;
        auto& count = counts[d];
        // A digit that is the same in every key moves nothing.
        if (count[(load(from, 0) >> shift) & (kBuckets - 1)] == n) continue;
        std::uint32_t sum = 0;
        for (std::uint32_t& c : count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = load(from, i);
            store(to, count[(k >> shift) & (kBuckets - 1)]++, k);
        }
        std::swap(from, to);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double d = fromOrderedKey(load(from, i));
        std::memcpy(own + i * sizeof d, &d, sizeof d);
    }
    releaseIfLarge(spare);
}

double DashboardStats::percentile(const std::vector<double>& ascending, double p) {
    const std::size_t n = ascending.size();
    if (n == 0) return 0;
    const double r = static_cast<double>(n - 1) * p;
    std::size_t i = r > 0 ? static_cast<std::size_t>(std::trunc(r)) : 0;
    i = std::min(i, n - 1);
    return ascending[i];
}

namespace {

constexpr std::array<std::string_view, 5> kCategories{"2xx", "3xx", "4xx", "5xx", "other"};

std::size_t categoryOf(std::int64_t code) {
    return code >= 200 && code <= 599 ? static_cast<std::size_t>(code / 100 - 2) : 4;
}

std::int64_t addBytes(std::int64_t sum, std::int64_t bytes) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(sum) +
                                     static_cast<std::uint64_t>(bytes));
}

/// The summary from the tallies: categories present, mean and percentiles
/// of the times (sorted here), the ten busiest endpoints (ties in the order
/// first seen). `name` gives an endpoint's text.
template <class Counts, class Name>
DashboardStats summarise(TimeRange timeRange, std::int64_t total,
                         const std::array<std::int64_t, 5>& perCategory, std::vector<double>& times,
                         Counts& counts, std::int64_t bytes, Name&& name) {
    DashboardStats stats;
    stats.timeRange = timeRange;
    stats.totalRequests = total;
    for (std::size_t c = 0; c < kCategories.size(); ++c) {
        if (perCategory[c] > 0) stats.statusBreakdown.emplace(kCategories[c], perCategory[c]);
    }
    if (!times.empty()) {
        sortAscending(times);
        double sum = 0;
        for (const double t : times) sum += t;
        stats.avgResponseTime = sum / static_cast<double>(times.size());
        stats.p95ResponseTime = DashboardStats::percentile(times, 0.95);
        stats.p99ResponseTime = DashboardStats::percentile(times, 0.99);
    }
    std::stable_sort(counts.begin(), counts.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    const std::size_t top = std::min(kTopEndpoints, counts.size());
    stats.topEndpoints.reserve(top);
    for (std::size_t i = 0; i < top; ++i) {
        stats.topEndpoints.push_back({name(counts[i].first), counts[i].second});
    }
    stats.totalBytes = bytes;
    return stats;
}

}  // namespace

DashboardStats DashboardStats::compute(const std::vector<RequestLog>& logs, TimeRange timeRange) {
    if (logs.empty()) {
        DashboardStats stats;
        stats.timeRange = timeRange;
        return stats;
    }
    std::array<std::int64_t, 5> perCategory{};
    std::vector<double>& times = scratch.times;
    times.clear();
    times.reserve(logs.size());
    // Endpoints are counted by views of the records' own texts; the key text
    // is built only for the ten that are returned.
    auto& indexOf = scratch.indexOf;
    auto& counts = scratch.counts;
    indexOf.clear();
    counts.clear();
    std::int64_t bytes = 0;
    for (const RequestLog& log : logs) {
        ++perCategory[categoryOf(log.statusCode)];
        if (log.responseTime) times.push_back(*log.responseTime);
        const Endpoint key{log.method, log.path};
        const auto [it, fresh] = indexOf.try_emplace(key, counts.size());
        if (fresh) {
            counts.emplace_back(key, 1);
        } else {
            ++counts[it->second].second;
        }
        bytes = addBytes(bytes, log.bodyBytes);
    }
    DashboardStats stats = summarise(timeRange, static_cast<std::int64_t>(logs.size()), perCategory,
                                     times, counts, bytes, [](const Endpoint& e) {
                                         std::string endpoint(e.method);
                                         endpoint += ' ';
                                         endpoint += e.path;
                                         return endpoint;
                                     });
    releaseIfLarge(times);
    releaseIfLarge(counts);
    if (indexOf.size() > kKeptScratch / 8) decltype(scratch.indexOf)().swap(indexOf);
    indexOf.clear();
    return stats;
}

void RequestTally::add(const RequestLog& log) {
    ++total_;
    ++perCategory_[categoryOf(log.statusCode)];
    if (log.responseTime) times_.push_back(*log.responseTime);
    key_.assign(log.method).append(1, ' ').append(log.path);
    const auto at = indexOf_.find(key_);
    if (at == indexOf_.end()) {
        indexOf_.emplace(key_, counts_.size());
        counts_.emplace_back(key_, 1);
    } else {
        ++counts_[at->second].second;
    }
    bytes_ = addBytes(bytes_, log.bodyBytes);
}

void RequestTally::merge(RequestTally&& later) {
    total_ += later.total_;
    bytes_ = addBytes(bytes_, later.bytes_);
    for (std::size_t c = 0; c < perCategory_.size(); ++c) perCategory_[c] += later.perCategory_[c];
    times_.insert(times_.end(), later.times_.begin(), later.times_.end());
    for (auto& [endpoint, count] : later.counts_) {
        const auto at = indexOf_.find(endpoint);
        if (at == indexOf_.end()) {
            indexOf_.emplace(endpoint, counts_.size());
            counts_.emplace_back(std::move(endpoint), count);
        } else {
            counts_[at->second].second += count;
        }
    }
    later = RequestTally();
}

DashboardStats RequestTally::finish(TimeRange timeRange) {
    return summarise(timeRange, total_, perCategory_, times_, counts_, bytes_,
                     [](const std::string& endpoint) { return endpoint; });
}

}  // namespace vesk

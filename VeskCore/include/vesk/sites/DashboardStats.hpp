// The request dashboard's summary of a list of requests.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/sites/RequestLog.hpp"

namespace vesk {

struct EndpointStat {
    std::string endpoint;  ///< method, one space, path
    std::int64_t count = 0;
    friend bool operator==(const EndpointStat&, const EndpointStat&) = default;
};

struct DashboardStats {
    std::int64_t totalRequests = 0;
    std::map<std::string, std::int64_t> statusBreakdown;
    std::optional<double> avgResponseTime;
    std::optional<double> p95ResponseTime;
    std::optional<double> p99ResponseTime;
    std::vector<EndpointStat> topEndpoints;
    std::int64_t totalBytes = 0;
    TimeRange timeRange = TimeRange::last5m;

    /// Summarises every record given (the range is only copied): counts per
    /// status category, mean and nearest-rank-below percentiles of the known
    /// response times (summed in ascending order), the ten busiest
    /// endpoints, the byte total.
    static DashboardStats compute(const std::vector<RequestLog>& logs, TimeRange timeRange);

    /// The value at index min(trunc((n − 1) × p), n − 1) of an ascending list; 0 when empty.
    static double percentile(const std::vector<double>& ascending, double p);

    friend bool operator==(const DashboardStats&, const DashboardStats&) = default;
};

/// The same summary as DashboardStats::compute, gathered one request at a
/// time: nothing of a request is kept but its response time and, once per
/// distinct endpoint, the endpoint's text. For logs too large to hold.
class RequestTally {
  public:
    /// Room for `requests` response times, so that adding them never moves
    /// (or touches twice) the ones already there.
    void reserve(std::size_t requests) { times_.reserve(requests); }
    void add(const RequestLog& log);
    /// Adds what `later` tallied, as if its requests had been added after
    /// this one's (endpoints first seen there rank after this one's).
    void merge(RequestTally&& later);
    /// The summary of every request added (the range is only copied).
    [[nodiscard]] DashboardStats finish(TimeRange timeRange);

  private:
    std::int64_t total_ = 0;
    std::int64_t bytes_ = 0;
    std::array<std::int64_t, 5> perCategory_{};
    std::vector<double> times_;
    std::unordered_map<std::string, std::size_t> indexOf_;
    std::vector<std::pair<std::string, std::int64_t>> counts_;
    std::string key_;
};

/// Sorts doubles ascending (a radix sort on their ordered bit patterns for
/// long lists): the statistics' one inherent cost. The order is IEEE 754's
/// total order, whatever the length: NaN sorts after +infinity (a NaN with
/// its sign bit set before -infinity), so percentiles never depend on how a
/// comparison treats NaN.
void sortAscending(std::vector<double>& values);

}  // namespace vesk

VESK_RECORD(vesk::EndpointStat, vesk::field("endpoint", &vesk::EndpointStat::endpoint),
            vesk::field("count", &vesk::EndpointStat::count));
VESK_HASHABLE(vesk::EndpointStat);
VESK_RECORD(vesk::DashboardStats,
            vesk::field("totalRequests", &vesk::DashboardStats::totalRequests),
            vesk::field("statusBreakdown", &vesk::DashboardStats::statusBreakdown),
            vesk::field("avgResponseTime", &vesk::DashboardStats::avgResponseTime),
            vesk::field("p95ResponseTime", &vesk::DashboardStats::p95ResponseTime),
            vesk::field("p99ResponseTime", &vesk::DashboardStats::p99ResponseTime),
            vesk::field("topEndpoints", &vesk::DashboardStats::topEndpoints),
            vesk::field("totalBytes", &vesk::DashboardStats::totalBytes),
            vesk::field("timeRange", &vesk::DashboardStats::timeRange));

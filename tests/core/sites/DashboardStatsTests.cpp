// Request records and the dashboard's summary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "vesk/sites/DashboardStats.hpp"

namespace {

using vesk::DashboardStats;
using vesk::RequestLog;
using vesk::TimeRange;

RequestLog request(const std::string& method, const std::string& path, std::int64_t status,
                   std::optional<double> time = std::nullopt, std::int64_t bytes = 100) {
    return RequestLog{vesk::UUID::random(), "127.0.0.1", vesk::Date{0}, method, path,
                      "HTTP/1.1",           status,      bytes,         time,   std::nullopt};
}

TEST(RequestLog, CategoriesRangesAndCoding) {
    const auto category = [](std::int64_t code) {
        return std::string(request("GET", "/", code).statusCategory());
    };
    EXPECT_EQ(category(199), "other");
    EXPECT_EQ(category(200), "2xx");
    EXPECT_EQ(category(299), "2xx");
    EXPECT_EQ(category(302), "3xx");
    EXPECT_EQ(category(404), "4xx");
    EXPECT_EQ(category(500), "5xx");
    EXPECT_EQ(category(599), "5xx");
    EXPECT_EQ(category(600), "other");
    EXPECT_EQ(category(0), "other");
    EXPECT_EQ(category(-1), "other");
    EXPECT_EQ(vesk::seconds(TimeRange::last24h), 86400);
    EXPECT_EQ(vesk::fromRawValue<TimeRange>("15m"), TimeRange::last15m);
    EXPECT_EQ(vesk::fromRawValue<TimeRange>("1H"), std::nullopt);
    EXPECT_EQ(vesk::fromRawValue<TimeRange>("1d"), std::nullopt);
    const auto r = request("GET", "/a", 200, 1.5);
    EXPECT_EQ(vesk::decodeJSON<RequestLog>(vesk::encodeJSON(r)), r);
    EXPECT_EQ(vesk::encodeJSON(r).find("userAgent"), std::string::npos);
}

TEST(DashboardStats, EmptyAndTimelessLists) {
    const auto empty = DashboardStats::compute({}, TimeRange::last1h);
    EXPECT_EQ(empty.totalRequests, 0);
    EXPECT_TRUE(empty.statusBreakdown.empty());
    EXPECT_EQ(empty.avgResponseTime, std::nullopt);
    EXPECT_TRUE(empty.topEndpoints.empty());
    EXPECT_EQ(empty.timeRange, TimeRange::last1h);

    const auto timeless = DashboardStats::compute(
        {request("GET", "/a", 200), request("POST", "/b", 500, std::nullopt, 7)},
        TimeRange::last24h);
    EXPECT_EQ(timeless.totalRequests, 2);
    EXPECT_EQ(timeless.p95ResponseTime, std::nullopt);
    EXPECT_EQ(timeless.statusBreakdown,
              (std::map<std::string, std::int64_t>{{"2xx", 1}, {"5xx", 1}}));
    EXPECT_EQ(timeless.totalBytes, 107);
    EXPECT_EQ(timeless.topEndpoints.size(), 2U);
}

TEST(DashboardStats, PercentileIndicesAsWorkedOut) {
    const std::vector<std::pair<std::size_t, std::pair<std::size_t, std::size_t>>> cases{
        {1, {0, 0}},    {2, {0, 0}},     {10, {8, 8}},   {20, {18, 18}},
        {21, {19, 19}}, {100, {94, 98}}, {101, {95, 99}}};
    for (const auto& [n, expected] : cases) {
        std::vector<double> values(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(i);
        EXPECT_EQ(DashboardStats::percentile(values, 0.95), static_cast<double>(expected.first))
            << n;
        EXPECT_EQ(DashboardStats::percentile(values, 0.99), static_cast<double>(expected.second))
            << n;
    }
    EXPECT_EQ(DashboardStats::percentile({}, 0.95), 0);

    std::vector<RequestLog> logs;
    for (int i = 10; i >= 1; --i) logs.push_back(request("GET", "/", 200, i));
    const auto s = DashboardStats::compute(logs, TimeRange::last5m);
    EXPECT_EQ(s.avgResponseTime, 5.5);
    EXPECT_EQ(s.p95ResponseTime, 9);
    EXPECT_EQ(s.p99ResponseTime, 9);
    const auto one = DashboardStats::compute({request("GET", "/", 200, 4.25)}, TimeRange::last5m);
    EXPECT_EQ(one.avgResponseTime, 4.25);
    EXPECT_EQ(one.p99ResponseTime, 4.25);
}

TEST(DashboardStats, NaNHasOnePlaceWhateverTheLength) {
    // NaN sorts after +infinity (before -infinity with its sign bit set), in
    // short lists as in long ones, so percentiles never depend on the length.
    for (const std::size_t n : {std::size_t{5}, std::size_t{100}, std::size_t{5000}}) {
        std::vector<double> values;
        for (std::size_t i = 0; i < n; ++i) values.push_back(static_cast<double>((i * 7919) % n));
        values[1] = std::nan("");
        values[3] = -std::nan("");
        values[4] = HUGE_VAL;
        vesk::sortAscending(values);
        EXPECT_TRUE(std::isnan(values.front()) && std::signbit(values.front())) << n;
        EXPECT_TRUE(std::isnan(values.back()) && !std::signbit(values.back())) << n;
        EXPECT_EQ(values[n - 2], HUGE_VAL) << n;
        EXPECT_TRUE(std::is_sorted(values.begin() + 1, values.end() - 1)) << n;
    }
    std::vector<RequestLog> logs;
    for (int i = 0; i < 20; ++i) logs.push_back(request("GET", "/", 200, i == 0 ? NAN : i));
    const auto s = DashboardStats::compute(logs, TimeRange::last5m);
    EXPECT_EQ(s.p95ResponseTime, 19) << "positive NaN last: index 18 holds 19";
    EXPECT_EQ(s.p99ResponseTime, 19);
    EXPECT_TRUE(std::isnan(*s.avgResponseTime));
}

TEST(DashboardStats, LongListsSortLikeStdSortAndSumAscending) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> dist(-1e6, 1e6);
    std::vector<double> values(50'000);
    for (auto& v : values) v = dist(rng);
    values[7] = -0.0;
    values[8] = 0.0;
    values[9] = 1e-310;
    values[10] = -std::numeric_limits<double>::infinity();
    auto expected = values;
    std::sort(expected.begin(), expected.end());
    vesk::sortAscending(values);
    ASSERT_EQ(values.size(), expected.size());
    for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], expected[i]) << i;

    std::vector<RequestLog> logs;
    double ascending = 0;
    for (const double v : expected) ascending += v;
    for (std::size_t i = values.size(); i > 0; --i) {
        logs.push_back(request("GET", "/", 200, expected[i - 1]));
    }
    const auto s = DashboardStats::compute(logs, TimeRange::last5m);
    EXPECT_EQ(*s.avgResponseTime, ascending / static_cast<double>(expected.size()))
        << "summed in ascending order, bit for bit";
    EXPECT_EQ(*s.p99ResponseTime, expected[49'499]);
}

TEST(DashboardStats, TopEndpointsExactKeysBusiestFirst) {
    std::vector<RequestLog> logs;
    for (int e = 0; e < 11; ++e) {
        for (int k = 0; k <= e; ++k) logs.push_back(request("GET", "/e" + std::to_string(e), 200));
    }
    logs.push_back(request("get", "/e10", 200));
    logs.push_back(request("GET", "/e10?x=1", 200));
    const auto s = DashboardStats::compute(logs, TimeRange::last15m);
    ASSERT_EQ(s.topEndpoints.size(), 10U);
    EXPECT_EQ(s.topEndpoints[0], (vesk::EndpointStat{"GET /e10", 11}));
    EXPECT_EQ(s.topEndpoints[9], (vesk::EndpointStat{"GET /e1", 2}));
    EXPECT_EQ(vesk::decodeJSON<DashboardStats>(vesk::encodeJSON(s)), s);
}

}  // namespace

// Service records, crash bookkeeping and the menu bar's summary.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "vesk/foundation/Clock.hpp"
#include "vesk/services/Service.hpp"
#include "vesk/services/ServiceHealth.hpp"

namespace {

using vesk::HealthStatus;
using vesk::ServiceHealth;
using vesk::ServiceType;

/// A clock the test moves by hand; the system clock comes back at the end.
class ManualClock {
  public:
    explicit ManualClock(double start) : now_(start) {
        vesk::Clock::replace([this] { return vesk::Date{now_.load()}; });
    }
    ~ManualClock() { vesk::Clock::replace(nullptr); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;
    void advance(double seconds) { now_ = now_.load() + seconds; }

  private:
    std::atomic<double> now_;
};

ServiceHealth health(std::int64_t maxRetries) {
    ServiceHealth h;
    h.serviceType = ServiceType::redis;
    h.maxRetries = maxRetries;
    h.autoRestartEnabled = true;
    return h;
}

TEST(Service, AbsentNameAndPortComeFromTheType) {
    const vesk::Service s(vesk::UUID::random(), ServiceType::postgresql, std::nullopt, "16.4",
                          vesk::ServiceStatus::running, std::nullopt, "/d", "/c", "/l");
    EXPECT_EQ(s.name, "postgresql");
    EXPECT_EQ(s.port, vesk::defaultPort(ServiceType::postgresql));
    const vesk::Service named(s.id, ServiceType::redis, std::string("cache"), "7", s.status, 7000,
                              "/d", "/c", "/l");
    EXPECT_EQ(named.name, "cache");
    EXPECT_EQ(named.port, 7000);
    EXPECT_EQ(vesk::decodeJSON<vesk::Service>(vesk::encodeJSON(s)), s);
    std::string doc = vesk::encodeJSON(s);
    doc.replace(doc.find("\"logPath\""), 9, "\"other\"");
    EXPECT_THROW((void)vesk::decodeJSON<vesk::Service>(doc), vesk::DecodingError);
}

TEST(ServiceHealth, CrashesOpenARetryWindowUntilDegraded) {
    ManualClock clock(1000);
    ServiceHealth h = health(3);
    std::vector<HealthStatus> statuses;
    for (int i = 1; i <= 3; ++i) {
        clock.advance(1);
        const auto e = h.recordCrash(i, std::nullopt, std::string("boom"));
        statuses.push_back(h.status);
        EXPECT_EQ(e.restartAttempt, i);
        EXPECT_EQ(e.timestamp, vesk::Date{1000.0 + i});
        EXPECT_EQ(e.serviceType, ServiceType::redis);
        EXPECT_FALSE(e.restartSucceeded);
    }
    EXPECT_EQ(statuses,
              (std::vector<HealthStatus>{HealthStatus::recovering, HealthStatus::recovering,
                                         HealthStatus::degraded}));
    EXPECT_EQ(h.lastCrash, vesk::Date{1003});
    EXPECT_FALSE(h.canRestart());

    ServiceHealth none = health(0);
    (void)none.recordCrash(std::nullopt, 9, std::nullopt);
    EXPECT_EQ(none.status, HealthStatus::degraded);
    EXPECT_FALSE(none.canRestart());
}

TEST(ServiceHealth, ElevenCrashesKeepTheLastTen) {
    ServiceHealth h = health(100);
    std::vector<vesk::UUID> ids;
    for (int i = 0; i < 11; ++i) ids.push_back(h.recordCrash(i, std::nullopt, std::nullopt).id);
    ASSERT_EQ(h.recentCrashes.size(), 10U);
    EXPECT_EQ(h.crashCount, 11);
    EXPECT_EQ(h.recentCrashes.front().id, ids[1]) << "the first event is gone";
    EXPECT_EQ(h.recentCrashes.back().id, ids[10]);
    EXPECT_EQ(h.recentCrashes.front().exitCode, 1);
}

TEST(ServiceHealth, RestartsAndRetryWindows) {
    ManualClock clock(50);
    ServiceHealth fresh = health(3);
    fresh.recordRestart();
    EXPECT_EQ(fresh.status, HealthStatus::healthy);
    EXPECT_EQ(fresh.lastRestart, vesk::Date{50});
    EXPECT_TRUE(fresh.recentCrashes.empty());

    ServiceHealth h = health(3);
    (void)h.recordCrash(1, std::nullopt, std::nullopt);
    (void)h.recordCrash(1, std::nullopt, std::nullopt);
    h.recordRestart();
    EXPECT_FALSE(h.recentCrashes[0].restartSucceeded) << "only the last event is marked";
    EXPECT_TRUE(h.recentCrashes[1].restartSucceeded);
    EXPECT_EQ(h.currentRetries, 2) << "a restart opens no new window";

    (void)h.recordCrash(1, std::nullopt, std::nullopt);
    ASSERT_EQ(h.status, HealthStatus::degraded);
    h.resetRetryWindow();
    EXPECT_EQ(h.status, HealthStatus::healthy);
    EXPECT_EQ(h.currentRetries, 0);

    (void)h.recordCrash(1, std::nullopt, std::nullopt);
    ASSERT_EQ(h.status, HealthStatus::recovering);
    h.resetRetryWindow();
    EXPECT_EQ(h.status, HealthStatus::recovering) << "only degraded turns healthy";
    h.status = HealthStatus::stopped;
    h.resetRetryWindow();
    EXPECT_EQ(h.status, HealthStatus::stopped);
}

TEST(ServiceHealth, BackoffTriplesFromFiveSeconds) {
    ServiceHealth h = health(10);
    EXPECT_EQ(h.backoffDelay(), 5.0);
    std::vector<double> delays;
    for (int i = 0; i < 4; ++i) {
        (void)h.recordCrash(1, std::nullopt, std::nullopt);
        delays.push_back(h.backoffDelay());
    }
    EXPECT_EQ(delays, (std::vector<double>{5, 15, 45, 135}));
    h.currentRetries = std::numeric_limits<std::int64_t>::max();
    EXPECT_TRUE(std::isinf(h.backoffDelay())) << "no overflow, no undefined behaviour";
    (void)h.recordCrash(1, std::nullopt, std::nullopt);
    EXPECT_EQ(h.currentRetries, std::numeric_limits<std::int64_t>::max()) << "saturates";
}

TEST(ServiceHealth, PresentationAndCoding) {
    EXPECT_EQ(vesk::label(HealthStatus::recovering), "Recovering");
    EXPECT_EQ(vesk::iconName(HealthStatus::degraded), "exclamationmark.triangle.fill");
    EXPECT_EQ(vesk::iconName(HealthStatus::stopped), "stop.circle.fill");
    ServiceHealth h = health(3);
    (void)h.recordCrash(std::nullopt, 11, std::string("segfault"));
    const std::string doc = vesk::encodeJSON(h);
    EXPECT_EQ(doc.find("lastRestart"), std::string::npos);
    EXPECT_EQ(doc.find("exitCode"), std::string::npos);
    EXPECT_EQ(vesk::decodeJSON<ServiceHealth>(doc), h);
    EXPECT_EQ(std::hash<ServiceHealth>{}(vesk::decodeJSON<ServiceHealth>(doc)),
              std::hash<ServiceHealth>{}(h));
}

TEST(OverallStatus, EveryFlagWeighsTheSame) {
    using vesk::OverallServiceStatus;
    EXPECT_EQ(vesk::computeOverallStatus({}, {}), OverallServiceStatus::allRunning);
    EXPECT_EQ(vesk::computeOverallStatus({true}, {false}), OverallServiceStatus::partial);
    EXPECT_EQ(vesk::computeOverallStatus({false}, {true}), OverallServiceStatus::partial);
    EXPECT_EQ(vesk::computeOverallStatus({false}, {}), OverallServiceStatus::allStopped);
    EXPECT_EQ(vesk::computeOverallStatus({true, true}, {true}), OverallServiceStatus::allRunning);
}

TEST(OverallStatus, TooltipSingularAndPlural) {
    EXPECT_EQ(vesk::formatMenuBarTooltip(3, "8.4"), "Vesk \xE2\x80\x94 3 sites, PHP 8.4");
    EXPECT_EQ(vesk::formatMenuBarTooltip(1, "8.3"), "Vesk \xE2\x80\x94 1 site, PHP 8.3");
    EXPECT_EQ(vesk::formatMenuBarTooltip(0, ""), "Vesk \xE2\x80\x94 0 sites, PHP ");
}

TEST(Clock, ReplacedAndRestoredFromAnyThread) {
    {
        ManualClock clock(42);
        std::atomic<bool> seen{true};
        std::thread t([&] { seen = vesk::Date::now() == vesk::Date{42}; });
        t.join();
        EXPECT_TRUE(seen.load());
    }
    const double system = vesk::Clock::systemNow().timeIntervalSinceReferenceDate;
    EXPECT_NEAR(vesk::Clock::now().timeIntervalSinceReferenceDate, system, 5.0);
}

}  // namespace

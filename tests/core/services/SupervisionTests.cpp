// The supervisor's decisions against a clock the test moves: crashes and
// their back-off, a restart that answers, the retries used up, a window
// reset after a stable period, and a developer's stop that is no crash.
#include "vesk/services/Supervision.hpp"

#include <gtest/gtest.h>

#include "vesk/foundation/Clock.hpp"

namespace {

using vesk::HealthStatus;
using vesk::supervision::Decision;
using vesk::supervision::Watch;

class SupervisionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vesk::Clock::replace([this] { return vesk::Date{now}; });
    }
    void TearDown() override { vesk::Clock::replace({}); }
    void pass(double seconds) { now += seconds; }
    double now = 800'000'000;
};

TEST_F(SupervisionTest, CrashesAreRestartedAfterTheBackOffUntilTheRetriesAreUsedUp) {
    Watch watch(Watch::freshHealth(vesk::ServiceType::redis));
    watch.answering();
    // Each crash is restarted later: 5, 15, 45 seconds.
    for (const double delay : {5.0, 15.0, 45.0}) {
        const Decision d = watch.exited(std::nullopt, 9, std::string("killed"));
        ASSERT_EQ(d.action, Decision::Action::restartAt);
        EXPECT_DOUBLE_EQ(d.when.timeIntervalSinceReferenceDate, now + delay);
        EXPECT_EQ(watch.health().status, HealthStatus::recovering);
        pass(delay);
        watch.answering();  // the restarted server answers
        EXPECT_EQ(watch.health().status, HealthStatus::healthy);
        EXPECT_TRUE(watch.health().recentCrashes.back().restartSucceeded);
        pass(1);
    }
    // The fourth crash in the window: left stopped, degraded.
    const Decision last = watch.exited(1, std::nullopt, std::string("exit 1"));
    EXPECT_EQ(last.action, Decision::Action::giveUp);
    EXPECT_EQ(watch.health().status, HealthStatus::degraded);
    EXPECT_FALSE(watch.restartDue());
    EXPECT_EQ(watch.health().crashCount, 4);
    ASSERT_EQ(watch.health().recentCrashes.size(), 4U);
    EXPECT_EQ(watch.health().recentCrashes[0].signal, 9);
    EXPECT_EQ(watch.health().recentCrashes[3].exitCode, 1);
    EXPECT_FALSE(watch.health().recentCrashes[3].restartSucceeded);
    // The developer starting it again opens a new window.
    watch.started();
    EXPECT_EQ(watch.health().status, HealthStatus::healthy);
    EXPECT_EQ(watch.health().currentRetries, 0);
    EXPECT_EQ(watch.exited(std::nullopt, 9, std::nullopt).action, Decision::Action::restartAt);
}

TEST_F(SupervisionTest, AStablePeriodStartsANewWindow) {
    Watch watch(Watch::freshHealth(vesk::ServiceType::postgresql));
    watch.answering();
    EXPECT_FALSE(watch.nextTick()) << "nothing to reset before a crash";
    (void)watch.exited(std::nullopt, 9, std::nullopt);
    pass(5);
    watch.answering();
    ASSERT_TRUE(watch.nextTick());
    EXPECT_DOUBLE_EQ(watch.nextTick()->timeIntervalSinceReferenceDate,
                     now + vesk::supervision::kStablePeriod);
    pass(vesk::supervision::kStablePeriod - 1);
    EXPECT_FALSE(watch.tick());
    EXPECT_EQ(watch.health().currentRetries, 1);
    pass(1);
    EXPECT_TRUE(watch.tick());
    EXPECT_EQ(watch.health().currentRetries, 0);
    EXPECT_EQ(watch.health().crashCount, 1) << "the life's count is kept";
    // The next crash is a first one again: 5 seconds.
    const Decision d = watch.exited(std::nullopt, 9, std::nullopt);
    EXPECT_DOUBLE_EQ(d.when.timeIntervalSinceReferenceDate, now + 5);
}

TEST_F(SupervisionTest, ADevelopersStopIsNoCrash) {
    Watch watch(Watch::freshHealth(vesk::ServiceType::mariadb));
    watch.answering();
    watch.stopped();
    EXPECT_EQ(watch.exited(0, std::nullopt, std::nullopt).action, Decision::Action::none);
    EXPECT_EQ(watch.health().crashCount, 0);
    EXPECT_EQ(watch.health().status, HealthStatus::stopped);
    watch.started();
    EXPECT_EQ(watch.health().status, HealthStatus::healthy);
}

TEST_F(SupervisionTest, WithRestartsOffACrashIsLeftAsItIs) {
    vesk::ServiceHealth health = Watch::freshHealth(vesk::ServiceType::redis);
    health.autoRestartEnabled = false;
    Watch watch(health);
    EXPECT_EQ(watch.exited(std::nullopt, 11, std::nullopt).action, Decision::Action::giveUp);
    EXPECT_EQ(watch.health().status, HealthStatus::degraded);
}

}  // namespace

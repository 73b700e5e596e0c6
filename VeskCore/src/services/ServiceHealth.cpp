#include "vesk/services/ServiceHealth.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "vesk/foundation/Clock.hpp"

namespace vesk {

namespace {

struct HealthPresentation {
    std::string_view label;
    std::string_view icon;
};

constexpr std::array<HealthPresentation, 4> kHealth{{
    {"Healthy", "checkmark.circle.fill"},
    {"Recovering", "arrow.counterclockwise.circle"},
    {"Degraded", "exclamationmark.triangle.fill"},
    {"Stopped", "stop.circle.fill"},
}};

}  // namespace

std::string_view label(HealthStatus status) {
    return kHealth[caseIndex(status)].label;
}

std::string_view iconName(HealthStatus status) {
    return kHealth[caseIndex(status)].icon;
}

CrashEvent ServiceHealth::recordCrash(std::optional<std::int32_t> exitCode,
                                      std::optional<std::int32_t> signal,
                                      std::optional<std::string> reason) {
    // Counters saturate rather than overflow, however long a record lives.
    if (crashCount < std::numeric_limits<std::int64_t>::max()) ++crashCount;
    if (currentRetries < std::numeric_limits<std::int64_t>::max()) ++currentRetries;
    const Date now = Clock::now();
    lastCrash = now;
    status = currentRetries < maxRetries ? HealthStatus::recovering : HealthStatus::degraded;
    CrashEvent event{UUID::random(), serviceType,    now,   exitCode,
                     signal,         currentRetries, false, std::move(reason)};
    recentCrashes.push_back(event);
    if (recentCrashes.size() > kRecentCrashes) {
        recentCrashes.erase(recentCrashes.begin(),
                            recentCrashes.end() - static_cast<std::ptrdiff_t>(kRecentCrashes));
    }
    return event;
}

void ServiceHealth::recordRestart() {
    lastRestart = Clock::now();
    status = HealthStatus::healthy;
    if (!recentCrashes.empty()) recentCrashes.back().restartSucceeded = true;
}

void ServiceHealth::resetRetryWindow() {
    currentRetries = 0;
    if (status == HealthStatus::degraded) status = HealthStatus::healthy;
}

double ServiceHealth::backoffDelay() const {
    const std::int64_t exponent = currentRetries > 1 ? currentRetries - 1 : 0;
    // 3^647 already exceeds a double; pow gives infinity there, never
    // undefined behaviour, whatever the counter holds.
    return 5.0 * std::pow(3.0, static_cast<double>(exponent));
}

}  // namespace vesk

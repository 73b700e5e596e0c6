// Crash and restart bookkeeping of one service kind, for its supervisor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/ServiceType.hpp"
#include "vesk/services/CrashEvent.hpp"

namespace vesk {

enum class HealthStatus { healthy, recovering, degraded, stopped };

}  // namespace vesk

VESK_RAW_ENUM(vesk::HealthStatus, {vesk::HealthStatus::healthy, "healthy"},
              {vesk::HealthStatus::recovering, "recovering"},
              {vesk::HealthStatus::degraded, "degraded"}, {vesk::HealthStatus::stopped, "stopped"});

namespace vesk {

std::string_view label(HealthStatus status);
std::string_view iconName(HealthStatus status);

struct ServiceHealth {
    /// Crashes kept in `recentCrashes`, oldest first.
    static constexpr std::size_t kRecentCrashes = 10;

    ServiceType serviceType = ServiceType::mysql;
    HealthStatus status = HealthStatus::healthy;
    std::int64_t crashCount = 0;
    std::int64_t currentRetries = 0;
    std::int64_t maxRetries = 0;
    bool autoRestartEnabled = false;
    std::optional<Date> lastCrash;
    std::optional<Date> lastRestart;
    std::vector<CrashEvent> recentCrashes;

    /// Counts a crash at the library clock's now, opens or continues the
    /// retry window, and returns the event it recorded.
    CrashEvent recordCrash(std::optional<std::int32_t> exitCode, std::optional<std::int32_t> signal,
                           std::optional<std::string> reason);
    /// A restart succeeded: healthy again, the last crash marked as restarted.
    void recordRestart();
    /// Starts a new retry window; a degraded record becomes healthy.
    void resetRetryWindow();
    /// 5 × 3^(retries − 1) seconds, 5 before any retry; infinity once the
    /// power leaves the range of a double.
    [[nodiscard]] double backoffDelay() const;
    [[nodiscard]] bool canRestart() const {
        return autoRestartEnabled && currentRetries < maxRetries;
    }

    friend bool operator==(const ServiceHealth&, const ServiceHealth&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::ServiceHealth, vesk::field("serviceType", &vesk::ServiceHealth::serviceType),
            vesk::field("status", &vesk::ServiceHealth::status),
            vesk::field("crashCount", &vesk::ServiceHealth::crashCount),
            vesk::field("currentRetries", &vesk::ServiceHealth::currentRetries),
            vesk::field("maxRetries", &vesk::ServiceHealth::maxRetries),
            vesk::field("autoRestartEnabled", &vesk::ServiceHealth::autoRestartEnabled),
            vesk::field("lastCrash", &vesk::ServiceHealth::lastCrash),
            vesk::field("lastRestart", &vesk::ServiceHealth::lastRestart),
            vesk::field("recentCrashes", &vesk::ServiceHealth::recentCrashes));
VESK_HASHABLE(vesk::ServiceHealth);

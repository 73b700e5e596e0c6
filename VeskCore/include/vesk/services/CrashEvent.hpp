// One recorded crash of a service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/ServiceType.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct CrashEvent {
    UUID id;
    ServiceType serviceType = ServiceType::mysql;
    Date timestamp;
    std::optional<std::int32_t> exitCode;
    std::optional<std::int32_t> signal;
    /// The retry counter after this crash: 1 for the first crash of a window.
    std::int64_t restartAttempt = 0;
    bool restartSucceeded = false;
    std::optional<std::string> reason;

    friend bool operator==(const CrashEvent&, const CrashEvent&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::CrashEvent, vesk::field("id", &vesk::CrashEvent::id),
            vesk::field("serviceType", &vesk::CrashEvent::serviceType),
            vesk::field("timestamp", &vesk::CrashEvent::timestamp),
            vesk::field("exitCode", &vesk::CrashEvent::exitCode),
            vesk::field("signal", &vesk::CrashEvent::signal),
            vesk::field("restartAttempt", &vesk::CrashEvent::restartAttempt),
            vesk::field("restartSucceeded", &vesk::CrashEvent::restartSucceeded),
            vesk::field("reason", &vesk::CrashEvent::reason));
VESK_HASHABLE(vesk::CrashEvent);

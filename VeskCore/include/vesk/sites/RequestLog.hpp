// Requests the local web server has served.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct RequestLog {
    UUID id;
    std::string remoteAddr;
    Date timestamp;
    std::string method;
    std::string path;
    std::string proto;
    std::int64_t statusCode = 0;
    std::int64_t bodyBytes = 0;
    std::optional<double> responseTime;
    std::optional<std::string> userAgent;

    /// "2xx" to "5xx" by status code; "other" for anything else.
    [[nodiscard]] std::string_view statusCategory() const;

    friend bool operator==(const RequestLog&, const RequestLog&) = default;
};

enum class TimeRange { last5m, last15m, last1h, last24h };

}  // namespace vesk

VESK_RAW_ENUM(vesk::TimeRange, {vesk::TimeRange::last5m, "5m"}, {vesk::TimeRange::last15m, "15m"},
              {vesk::TimeRange::last1h, "1h"}, {vesk::TimeRange::last24h, "24h"});

namespace vesk {

/// 300, 900, 3600 or 86400.
double seconds(TimeRange range);

}  // namespace vesk

VESK_RECORD(vesk::RequestLog, vesk::field("id", &vesk::RequestLog::id),
            vesk::field("remoteAddr", &vesk::RequestLog::remoteAddr),
            vesk::field("timestamp", &vesk::RequestLog::timestamp),
            vesk::field("method", &vesk::RequestLog::method),
            vesk::field("path", &vesk::RequestLog::path),
            vesk::field("proto", &vesk::RequestLog::proto),
            vesk::field("statusCode", &vesk::RequestLog::statusCode),
            vesk::field("bodyBytes", &vesk::RequestLog::bodyBytes),
            vesk::field("responseTime", &vesk::RequestLog::responseTime),
            vesk::field("userAgent", &vesk::RequestLog::userAgent));
VESK_HASHABLE(vesk::RequestLog);

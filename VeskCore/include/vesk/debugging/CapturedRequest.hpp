// HTTP requests the developer's sites made.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct CapturedRequest {
    UUID id;
    Date timestamp;
    std::string method;
    std::string url;
    std::int64_t statusCode = 0;
    double duration = 0;
    std::map<std::string, std::string> headers;
    std::optional<std::string> siteDomain;
    friend bool operator==(const CapturedRequest&, const CapturedRequest&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::CapturedRequest, vesk::field("id", &vesk::CapturedRequest::id),
            vesk::field("timestamp", &vesk::CapturedRequest::timestamp),
            vesk::field("method", &vesk::CapturedRequest::method),
            vesk::field("url", &vesk::CapturedRequest::url),
            vesk::field("statusCode", &vesk::CapturedRequest::statusCode),
            vesk::field("duration", &vesk::CapturedRequest::duration),
            vesk::field("headers", &vesk::CapturedRequest::headers),
            vesk::field("siteDomain", &vesk::CapturedRequest::siteDomain));

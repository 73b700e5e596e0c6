// Database queries the developer's sites ran.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct CapturedQuery {
    UUID id;
    Date timestamp;
    std::string sql;
    std::vector<std::string> bindings;
    double duration = 0;
    std::string connection;
    std::optional<std::string> siteDomain;
    friend bool operator==(const CapturedQuery&, const CapturedQuery&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::CapturedQuery, vesk::field("id", &vesk::CapturedQuery::id),
            vesk::field("timestamp", &vesk::CapturedQuery::timestamp),
            vesk::field("sql", &vesk::CapturedQuery::sql),
            vesk::field("bindings", &vesk::CapturedQuery::bindings),
            vesk::field("duration", &vesk::CapturedQuery::duration),
            vesk::field("connection", &vesk::CapturedQuery::connection),
            vesk::field("siteDomain", &vesk::CapturedQuery::siteDomain));

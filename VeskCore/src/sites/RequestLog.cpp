#include "vesk/sites/RequestLog.hpp"

#include <array>

namespace vesk {

std::string_view RequestLog::statusCategory() const {
    if (statusCode >= 200 && statusCode <= 299) return "2xx";
    if (statusCode >= 300 && statusCode <= 399) return "3xx";
    if (statusCode >= 400 && statusCode <= 499) return "4xx";
    if (statusCode >= 500 && statusCode <= 599) return "5xx";
    return "other";
}

double seconds(TimeRange range) {
    static constexpr std::array<double, 4> kSeconds{300, 900, 3600, 86400};
    return kSeconds[caseIndex(range)];
}

}  // namespace vesk

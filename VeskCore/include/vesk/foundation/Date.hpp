// Points in time, held as seconds since 2001-01-01T00:00:00Z.
#pragma once

#include <chrono>
#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Json.hpp"

namespace vesk {

struct Date {
    /// Seconds between 1970-01-01 and 2001-01-01 (the reference date).
    static constexpr double unixToReference = 978307200.0;

    double timeIntervalSinceReferenceDate = 0;

    /// The library clock's current time (vesk/Clock.hpp).
    static Date now();
    static Date fromUnix(double secondsSince1970) {
        return Date{secondsSince1970 - unixToReference};
    }
    [[nodiscard]] double timeIntervalSince1970() const {
        return timeIntervalSinceReferenceDate + unixToReference;
    }

    /// ISO 8601 internet date-time in UTC with whole seconds, e.g. "2024-01-31T12:00:00Z".
    [[nodiscard]] std::string iso8601() const;
    /// Parses "YYYY-MM-DDTHH:MM:SS" followed by "Z" or a "+HH:MM"/"-HH:MM" offset;
    /// none for an instant outside years 0001-9999 in UTC, which has no such text.
    static std::optional<Date> parseISO8601(std::string_view text);

    friend bool operator==(const Date&, const Date&) = default;
    friend auto operator<=>(const Date&, const Date&) = default;
};

/// Dates follow the strategy of the encoder or decoder in use.
template <>
struct JsonCoding<Date> {
    static void encode(JsonOut out, const Date& v);
    static Date decode(const JsonIn& in);
    template <class In>
    static bool read(In& in, Date& v) {
        if (in.options().dates == DateStrategy::iso8601) {
            std::string_view text;
            if (!in.readString(text)) return false;
            const auto d = Date::parseISO8601(text);
            if (!d) return false;
            v = *d;
            return true;
        }
        return in.readDouble(v.timeIntervalSinceReferenceDate);
    }
};

}  // namespace vesk

template <>
struct std::hash<vesk::Date> {
    std::size_t operator()(const vesk::Date& d) const noexcept {
        return std::hash<double>{}(d.timeIntervalSinceReferenceDate);
    }
};

#include "vesk/foundation/Date.hpp"

#include "vesk/foundation/Clock.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vesk {

namespace {

bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long daysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<long long>(era) * 146097 + doe - 719468;
}

// Internet date-time has four-digit years: 0001-01-01T00:00:00Z up to the
// end of 9999-12-31, in seconds since 1970.
constexpr long long kFirstWritable = -62135596800LL;
constexpr long long kPastLastWritable = 253402300800LL;

int daysInMonth(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

}  // namespace

Date Date::now() {
    return Clock::now();
}

std::string Date::iso8601() const {
    const auto secs = static_cast<std::time_t>(std::floor(timeIntervalSince1970()));
    std::tm tm{};
    gmtime_r(&secs, &tm);
    // Years of four digits, as internet date-time has them (strftime's %Y
    // writes year 1 as "1").
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::optional<Date> Date::parseISO8601(std::string_view s) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    if (!digits(s, 0, 4, y) || s.size() < 20 || s[4] != '-' || !digits(s, 5, 2, mo) ||
        s[7] != '-' || !digits(s, 8, 2, d) || (s[10] != 'T' && s[10] != 't') ||
        !digits(s, 11, 2, h) || s[13] != ':' || !digits(s, 14, 2, mi) || s[16] != ':' ||
        !digits(s, 17, 2, se)) {
        return std::nullopt;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || se > 60) {
        return std::nullopt;
    }
    long offset = 0;
    const std::string_view zone = s.substr(19);
    if (zone == "Z" || zone == "z") {
        offset = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh = 0, om = 0;
        if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offset = (oh * 3600L + om * 60L) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    const long long unix = daysFromCivil(y, mo, d) * 86400LL + h * 3600LL + mi * 60LL + se - offset;
    // Only instants that can be written again: years 0001 to 9999 in UTC.
    if (unix < kFirstWritable || unix >= kPastLastWritable) return std::nullopt;
    return fromUnix(static_cast<double>(unix));
}

void JsonCoding<Date>::encode(JsonOut out, const Date& v) {
    if (out.options().dates == DateStrategy::iso8601) {
        const double t = v.timeIntervalSince1970();
        if (!(t >= static_cast<double>(kFirstWritable) &&
              t < static_cast<double>(kPastLastWritable))) {
            out.refuseValue("the date lies outside years 0001-9999");
        }
        out.string(v.iso8601());
    } else {
        out.number(v.timeIntervalSinceReferenceDate);
    }
}

Date JsonCoding<Date>::decode(const JsonIn& in) {
    if (in.options().dates == DateStrategy::iso8601) {
        const std::string text = in.string();
        auto d = Date::parseISO8601(text);
        if (!d)
            in.fail(DecodingError::Fault::invalidValue, "\"" + text + "\" is not an ISO 8601 date");
        return *d;
    }
    return Date{in.number()};
}

}  // namespace vesk

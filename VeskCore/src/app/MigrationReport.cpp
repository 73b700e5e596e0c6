#include "vesk/app/MigrationReport.hpp"

#include <limits>

namespace vesk {

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) s += ", ";
        s += items[i];
    }
    return s;
}

}  // namespace

std::int64_t MigrationReport::totalMigrated() const {
    // Summed wide, then held at the bounds of the signed 64-bit range.
    __extension__ using Wide = __int128;
    const Wide total = Wide{sitesMigrated} + certsMigrated + parkedPathsMigrated;
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (total > kMax) return kMax;
    if (total < kMin) return kMin;
    return static_cast<std::int64_t>(total);
}

std::string MigrationReport::summary() const {
    std::string s = isDryRun ? "[DRY RUN] " : "";
    s += "Migration from " + source + ":";
    s += "\n  Sites: " + std::to_string(sitesMigrated);
    s += "\n  SSL Certs: " + std::to_string(certsMigrated);
    s += "\n  Parked Paths: " + std::to_string(parkedPathsMigrated);
    if (!phpVersionsDetected.empty()) s += "\n  PHP Versions: " + joined(phpVersionsDetected);
    if (!servicesDetected.empty()) s += "\n  Services: " + joined(servicesDetected);
    if (!warnings.empty()) {
        s += "\n  Warnings: " + std::to_string(warnings.size());
        for (const auto& w : warnings) s += "\n    \u26A0\uFE0F " + w;
    }
    return s;
}

}  // namespace vesk

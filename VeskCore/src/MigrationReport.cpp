#include "vesk/MigrationReport.hpp"

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

// The outcome of one migration run, with its printable summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

struct MigrationReport {
    std::string source;
    std::int64_t sitesMigrated = 0;
    std::int64_t certsMigrated = 0;
    std::int64_t parkedPathsMigrated = 0;
    std::vector<std::string> phpVersionsDetected;
    std::vector<std::string> servicesDetected;
    std::vector<std::string> warnings;
    bool isDryRun = false;
    Date timestamp;

    /// The sum, held at the bounds of the signed 64-bit range instead of wrapping.
    [[nodiscard]] std::int64_t totalMigrated() const;
    /// The fixed English summary, lines joined by line feeds.
    [[nodiscard]] std::string summary() const;

    friend bool operator==(const MigrationReport&, const MigrationReport&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::MigrationReport, vesk::field("source", &vesk::MigrationReport::source),
            vesk::field("sitesMigrated", &vesk::MigrationReport::sitesMigrated),
            vesk::field("certsMigrated", &vesk::MigrationReport::certsMigrated),
            vesk::field("parkedPathsMigrated", &vesk::MigrationReport::parkedPathsMigrated),
            vesk::field("phpVersionsDetected", &vesk::MigrationReport::phpVersionsDetected),
            vesk::field("servicesDetected", &vesk::MigrationReport::servicesDetected),
            vesk::field("warnings", &vesk::MigrationReport::warnings),
            vesk::field("isDryRun", &vesk::MigrationReport::isDryRun),
            vesk::field("timestamp", &vesk::MigrationReport::timestamp));

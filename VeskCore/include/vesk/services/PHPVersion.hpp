// An installed PHP version line, its order, and the lines Vesk offers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

struct PHPVersion {
    std::string id;
    std::string version;
    std::string binaryPath;
    std::string configPath;
    std::string fpmSocketPath;
    std::vector<std::string> extensions;
    bool isActive = false;

    friend bool operator==(const PHPVersion&, const PHPVersion&) = default;
    /// By `version` alone, digit runs compared by value: 8.9 < 8.10, 8.4 < 8.4.1.
    friend bool operator<(const PHPVersion& a, const PHPVersion& b);
};

/// Texts compared with runs of digits by their value and every other
/// character as in ordinary text: negative, zero or positive.
int compareNumerically(std::string_view a, std::string_view b);

/// "8.4", "8.3", "8.2", "8.1", "8.0", "7.4": newest first.
const std::vector<std::string>& availablePHPVersions();

}  // namespace vesk

VESK_RECORD(vesk::PHPVersion, vesk::field("id", &vesk::PHPVersion::id),
            vesk::field("version", &vesk::PHPVersion::version),
            vesk::field("binaryPath", &vesk::PHPVersion::binaryPath),
            vesk::field("configPath", &vesk::PHPVersion::configPath),
            vesk::field("fpmSocketPath", &vesk::PHPVersion::fpmSocketPath),
            vesk::field("extensions", &vesk::PHPVersion::extensions),
            vesk::field("isActive", &vesk::PHPVersion::isActive));
VESK_HASHABLE(vesk::PHPVersion);

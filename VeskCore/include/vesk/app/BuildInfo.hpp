// One build of Vesk: version, build number, commit, configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

enum class BuildConfiguration { debug, release };
enum class VersionComponent { major, minor, patch };

struct VersionComponents {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
    friend bool operator==(const VersionComponents&, const VersionComponents&) = default;
};

/// The numbers of a dotted version: empty pieces and pieces that are not
/// whole decimal integers (an optional sign and digits) are dropped.
std::vector<std::int64_t> versionNumbers(std::string_view version);

struct BuildInfo {
    std::string version;
    std::int64_t buildNumber = 0;
    std::optional<std::string> gitCommit;
    std::optional<std::string> buildDate;
    BuildConfiguration configuration = BuildConfiguration::release;
    std::optional<std::string> architecture;

    /// "1.4.2 (57)".
    [[nodiscard]] std::string fullVersion() const;
    [[nodiscard]] VersionComponents versionComponents() const;
    /// The next version at `component` (lower parts reset), build number + 1.
    [[nodiscard]] BuildInfo bumped(VersionComponent component) const;

    friend bool operator==(const BuildInfo&, const BuildInfo&) = default;
};

}  // namespace vesk

VESK_RAW_ENUM(vesk::BuildConfiguration, {vesk::BuildConfiguration::debug, "debug"},
              {vesk::BuildConfiguration::release, "release"});
VESK_RAW_ENUM(vesk::VersionComponent, {vesk::VersionComponent::major, "major"},
              {vesk::VersionComponent::minor, "minor"}, {vesk::VersionComponent::patch, "patch"});
VESK_RECORD(vesk::BuildInfo, vesk::field("version", &vesk::BuildInfo::version),
            vesk::field("buildNumber", &vesk::BuildInfo::buildNumber),
            vesk::field("gitCommit", &vesk::BuildInfo::gitCommit),
            vesk::field("buildDate", &vesk::BuildInfo::buildDate),
            vesk::field("configuration", &vesk::BuildInfo::configuration),
            vesk::field("architecture", &vesk::BuildInfo::architecture));
VESK_HASHABLE(vesk::BuildInfo);

// Go versions and where Go's archives are published.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/URL.hpp"

namespace vesk {

struct GoVersion {
    std::string version;
    std::optional<std::string> installPath;
    bool isActive = false;

    [[nodiscard]] const std::string& id() const { return version; }
    [[nodiscard]] bool isInstalled() const { return installPath.has_value(); }
    /// The first two dot-separated parts ("1.23.5" → "1.23"), or the version.
    [[nodiscard]] std::string shortVersion() const;

    friend bool operator==(const GoVersion&, const GoVersion&) = default;
};

/// The first two dot-separated parts of a version joined by ".", or the
/// version itself when it has fewer parts.
std::string shortVersionOf(std::string_view version);

namespace GoDistributionConfig {

/// The "/dl" directory of the official Go download site.
const URL& baseURL();
const std::vector<std::string>& availableVersions();
/// baseURL/go<V>.darwin-arm64.tar.gz; none only when that is not a URL.
std::optional<URL> downloadURL(std::string_view version);

}  // namespace GoDistributionConfig

}  // namespace vesk

VESK_RECORD(vesk::GoVersion, vesk::field("version", &vesk::GoVersion::version),
            vesk::field("installPath", &vesk::GoVersion::installPath),
            vesk::field("isActive", &vesk::GoVersion::isActive));
VESK_HASHABLE(vesk::GoVersion);

// Python versions and where their standalone builds are published.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/URL.hpp"

namespace vesk {

struct PythonVersion {
    std::string version;
    std::optional<std::string> installPath;
    bool isActive = false;

    [[nodiscard]] const std::string& id() const { return version; }
    [[nodiscard]] bool isInstalled() const { return installPath.has_value(); }
    [[nodiscard]] std::string shortVersion() const;
    /// The first dot-separated part as a decimal number, if it is one.
    [[nodiscard]] std::optional<std::int64_t> majorVersion() const;

    friend bool operator==(const PythonVersion&, const PythonVersion&) = default;
};

namespace PythonDistributionConfig {

struct Release {
    std::string_view version;
    std::string_view tag;  ///< the release of the standalone builds that holds it
};

/// The release-download base of the python-build-standalone project.
const URL& baseURL();
const std::vector<Release>& versions();
const std::vector<std::string>& availableVersions();
/// baseURL/<tag>/cpython-<V>+<tag>-aarch64-apple-darwin-install_only.tar.gz,
/// none for a version not in the list.
std::optional<URL> downloadURL(std::string_view version);

}  // namespace PythonDistributionConfig

}  // namespace vesk

VESK_RECORD(vesk::PythonVersion, vesk::field("version", &vesk::PythonVersion::version),
            vesk::field("installPath", &vesk::PythonVersion::installPath),
            vesk::field("isActive", &vesk::PythonVersion::isActive));
VESK_HASHABLE(vesk::PythonVersion);

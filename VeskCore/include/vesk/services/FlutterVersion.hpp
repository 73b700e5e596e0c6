// Flutter versions, their channels, and where Flutter's archives are published.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/URL.hpp"

namespace vesk {

enum class FlutterChannel { stable, beta, dev, master };

}  // namespace vesk

VESK_RAW_ENUM(vesk::FlutterChannel, {vesk::FlutterChannel::stable, "stable"},
              {vesk::FlutterChannel::beta, "beta"}, {vesk::FlutterChannel::dev, "dev"},
              {vesk::FlutterChannel::master, "master"});

namespace vesk {

/// "Stable", "Beta", "Dev", "Master".
std::string_view displayName(FlutterChannel channel);

struct FlutterVersion {
    std::string version;
    FlutterChannel channel = FlutterChannel::stable;
    std::optional<std::string> installPath;
    bool isActive = false;
    std::optional<std::string> dartVersion;

    /// "stable-3.27.3".
    [[nodiscard]] std::string id() const;
    [[nodiscard]] bool isInstalled() const { return installPath.has_value(); }

    friend bool operator==(const FlutterVersion&, const FlutterVersion&) = default;
};

namespace FlutterDistributionConfig {

/// The "flutter_infra_release/releases" directory of Flutter's release storage.
const URL& baseURL();
const std::vector<std::string>& stableVersions();
/// baseURL/<c>/macos/flutter_macos_arm64_<V>-<c>.zip.
std::optional<URL> downloadURL(std::string_view version, FlutterChannel channel);

}  // namespace FlutterDistributionConfig

}  // namespace vesk

VESK_RECORD(vesk::FlutterVersion, vesk::field("version", &vesk::FlutterVersion::version),
            vesk::field("channel", &vesk::FlutterVersion::channel),
            vesk::field("installPath", &vesk::FlutterVersion::installPath),
            vesk::field("isActive", &vesk::FlutterVersion::isActive),
            vesk::field("dartVersion", &vesk::FlutterVersion::dartVersion));
VESK_HASHABLE(vesk::FlutterVersion);

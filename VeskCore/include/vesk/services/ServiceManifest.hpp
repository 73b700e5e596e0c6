// The manifest of prebuilt service binaries: per service and version line,
// the latest release and, per release and architecture, where its archive is.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/ServiceType.hpp"

namespace vesk {

struct ServiceManifest {
    struct ArchBuild {
        std::string url;
        std::string sha256;
        std::int64_t size = 0;
        std::optional<std::vector<std::string>> binaries;
        friend bool operator==(const ArchBuild&, const ArchBuild&) = default;
    };
    struct VersionInfo {
        std::string latest;
        /// release version → architecture name → build
        std::map<std::string, std::map<std::string, ArchBuild>> releases;
        friend bool operator==(const VersionInfo&, const VersionInfo&) = default;
    };
    struct ServiceVersions {
        std::map<std::string, VersionInfo> versions;
        std::optional<std::int64_t> defaultPort;
        std::optional<bool> requiresInit;
        friend bool operator==(const ServiceVersions&, const ServiceVersions&) = default;
    };

    /// service key (a ServiceType raw value) → its version lines
    std::map<std::string, ServiceVersions> services;

    /// The entry whose key is exactly the type's raw value.
    [[nodiscard]] std::optional<ServiceVersions> versions(ServiceType type) const;

    friend bool operator==(const ServiceManifest&, const ServiceManifest&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::ServiceManifest::ArchBuild,
            vesk::field("url", &vesk::ServiceManifest::ArchBuild::url),
            vesk::field("sha256", &vesk::ServiceManifest::ArchBuild::sha256),
            vesk::field("size", &vesk::ServiceManifest::ArchBuild::size),
            vesk::field("binaries", &vesk::ServiceManifest::ArchBuild::binaries));
VESK_RECORD(vesk::ServiceManifest::VersionInfo,
            vesk::field("latest", &vesk::ServiceManifest::VersionInfo::latest),
            vesk::field("releases", &vesk::ServiceManifest::VersionInfo::releases));
VESK_RECORD(vesk::ServiceManifest::ServiceVersions,
            vesk::field("versions", &vesk::ServiceManifest::ServiceVersions::versions),
            vesk::field("defaultPort", &vesk::ServiceManifest::ServiceVersions::defaultPort),
            vesk::field("requiresInit", &vesk::ServiceManifest::ServiceVersions::requiresInit));
VESK_RECORD(vesk::ServiceManifest, vesk::field("services", &vesk::ServiceManifest::services));

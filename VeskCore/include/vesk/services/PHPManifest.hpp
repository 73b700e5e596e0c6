// The manifest of prebuilt PHP versions and the extensions they carry.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vesk/foundation/Json.hpp"

namespace vesk {

struct PHPManifest {
    struct ArchBuild {
        std::string url;
        std::string sha256;
        std::int64_t size = 0;
        friend bool operator==(const ArchBuild&, const ArchBuild&) = default;
    };
    struct VersionInfo {
        std::string latest;
        std::map<std::string, std::map<std::string, ArchBuild>> releases;
        friend bool operator==(const VersionInfo&, const VersionInfo&) = default;
    };

    std::map<std::string, VersionInfo> versions;
    std::vector<std::string> extensions;

    friend bool operator==(const PHPManifest&, const PHPManifest&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::PHPManifest::ArchBuild, vesk::field("url", &vesk::PHPManifest::ArchBuild::url),
            vesk::field("sha256", &vesk::PHPManifest::ArchBuild::sha256),
            vesk::field("size", &vesk::PHPManifest::ArchBuild::size));
VESK_RECORD(vesk::PHPManifest::VersionInfo,
            vesk::field("latest", &vesk::PHPManifest::VersionInfo::latest),
            vesk::field("releases", &vesk::PHPManifest::VersionInfo::releases));
VESK_RECORD(vesk::PHPManifest, vesk::field("versions", &vesk::PHPManifest::versions),
            vesk::field("extensions", &vesk::PHPManifest::extensions));

// Laravel Herd's and Laravel Valet's global settings, as read for migration.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Json.hpp"

namespace vesk {

struct HerdConfig {
    struct HerdLink {
        std::string domain;
        std::string path;
        bool secured = false;
        friend bool operator==(const HerdLink&, const HerdLink&) = default;
    };
    struct HerdIsolation {
        std::string domain;
        std::string phpVersion;
        friend bool operator==(const HerdIsolation&, const HerdIsolation&) = default;
    };

    std::vector<std::string> paths;
    std::vector<HerdLink> links;
    std::string tld;
    std::optional<std::string> defaultPHP;
    std::vector<HerdIsolation> isolatedSites;
};

}  // namespace vesk

VESK_RECORD(vesk::HerdConfig::HerdLink, vesk::field("domain", &vesk::HerdConfig::HerdLink::domain),
            vesk::field("path", &vesk::HerdConfig::HerdLink::path),
            vesk::field("secured", &vesk::HerdConfig::HerdLink::secured));
VESK_RECORD(vesk::HerdConfig::HerdIsolation,
            vesk::field("domain", &vesk::HerdConfig::HerdIsolation::domain),
            vesk::field("phpVersion", &vesk::HerdConfig::HerdIsolation::phpVersion));
VESK_RECORD(vesk::HerdConfig, vesk::field("paths", &vesk::HerdConfig::paths),
            vesk::field("links", &vesk::HerdConfig::links),
            vesk::field("tld", &vesk::HerdConfig::tld),
            vesk::field("defaultPHP", &vesk::HerdConfig::defaultPHP),
            vesk::field("isolatedSites", &vesk::HerdConfig::isolatedSites));

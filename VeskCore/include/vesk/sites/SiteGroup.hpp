// A named group of sites with shared settings.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/ServiceType.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct SiteGroup {
    UUID id;
    std::string name;
    std::optional<std::string> phpVersion;
    std::optional<bool> isSecured;
    std::optional<std::string> color;
    std::vector<ServiceType> associatedServices;
    std::optional<std::string> groupPHPVersion;
    bool groupSSL = false;
    std::optional<std::string> icon;

    friend bool operator==(const SiteGroup&, const SiteGroup&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::SiteGroup, vesk::field("id", &vesk::SiteGroup::id),
            vesk::field("name", &vesk::SiteGroup::name),
            vesk::field("phpVersion", &vesk::SiteGroup::phpVersion),
            vesk::field("isSecured", &vesk::SiteGroup::isSecured),
            vesk::field("color", &vesk::SiteGroup::color),
            vesk::field("associatedServices", &vesk::SiteGroup::associatedServices),
            vesk::field("groupPHPVersion", &vesk::SiteGroup::groupPHPVersion),
            vesk::field("groupSSL", &vesk::SiteGroup::groupSSL),
            vesk::field("icon", &vesk::SiteGroup::icon));
VESK_HASHABLE(vesk::SiteGroup);

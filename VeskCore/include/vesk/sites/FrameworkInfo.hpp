// The framework of a PHP project, as the lighter checks record it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

enum class FrameworkType { laravel, wordpress, symfony, statamic, staticSite };

}  // namespace vesk

VESK_RAW_ENUM(vesk::FrameworkType, {vesk::FrameworkType::laravel, "laravel"},
              {vesk::FrameworkType::wordpress, "wordpress"},
              {vesk::FrameworkType::symfony, "symfony"},
              {vesk::FrameworkType::statamic, "statamic"},
              {vesk::FrameworkType::staticSite, "static"});

namespace vesk {

std::string_view displayName(FrameworkType type);

struct FrameworkInfo {
    FrameworkType type = FrameworkType::laravel;
    std::optional<std::string> version;
    bool hasEnvFile = false;
    bool hasDatabaseConfig = false;

    friend bool operator==(const FrameworkInfo&, const FrameworkInfo&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::FrameworkInfo, vesk::field("type", &vesk::FrameworkInfo::type),
            vesk::field("version", &vesk::FrameworkInfo::version),
            vesk::field("hasEnvFile", &vesk::FrameworkInfo::hasEnvFile),
            vesk::field("hasDatabaseConfig", &vesk::FrameworkInfo::hasDatabaseConfig));
VESK_HASHABLE(vesk::FrameworkInfo);

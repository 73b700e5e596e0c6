// One project's Herd YAML settings, as filled in by the migrating caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

/// Filled from a project's YAML file by the caller; never JSON.
struct HerdYamlConfig {
    struct HerdYamlService {
        std::string type;
        std::optional<std::string> version;
        std::optional<std::int64_t> port;
        friend bool operator==(const HerdYamlService&, const HerdYamlService&) = default;
    };

    std::optional<std::string> name;
    std::vector<HerdYamlService> services;
    std::optional<std::string> phpVersion;

    friend bool operator==(const HerdYamlConfig&, const HerdYamlConfig&) = default;
};

}  // namespace vesk

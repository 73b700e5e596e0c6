// What a plug-in declares about itself: the services it adds and the hooks it handles.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

struct PluginServiceDefinition {
    std::string type;
    std::string displayName;
    std::int64_t defaultPort = 0;
    std::string startCommand;
    std::optional<std::string> stopCommand;
    std::optional<std::string> healthCheck;
    friend bool operator==(const PluginServiceDefinition&,
                           const PluginServiceDefinition&) = default;
};

struct PluginManifest {
    std::string identifier;
    std::string name;
    std::string version;
    std::optional<std::string> author;
    std::optional<std::string> description;
    std::optional<std::string> minVeskVersion;
    std::vector<PluginServiceDefinition> services;
    std::vector<std::string> hooks;  ///< as PluginHook names give them
    std::optional<std::string> homepage;
    friend bool operator==(const PluginManifest&, const PluginManifest&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::PluginServiceDefinition,
            vesk::field("type", &vesk::PluginServiceDefinition::type),
            vesk::field("displayName", &vesk::PluginServiceDefinition::displayName),
            vesk::field("defaultPort", &vesk::PluginServiceDefinition::defaultPort),
            vesk::field("startCommand", &vesk::PluginServiceDefinition::startCommand),
            vesk::field("stopCommand", &vesk::PluginServiceDefinition::stopCommand),
            vesk::field("healthCheck", &vesk::PluginServiceDefinition::healthCheck));
VESK_HASHABLE(vesk::PluginServiceDefinition);
VESK_RECORD(vesk::PluginManifest, vesk::field("identifier", &vesk::PluginManifest::identifier),
            vesk::field("name", &vesk::PluginManifest::name),
            vesk::field("version", &vesk::PluginManifest::version),
            vesk::field("author", &vesk::PluginManifest::author),
            vesk::field("description", &vesk::PluginManifest::description),
            vesk::field("minVeskVersion", &vesk::PluginManifest::minVeskVersion),
            vesk::field("services", &vesk::PluginManifest::services),
            vesk::field("hooks", &vesk::PluginManifest::hooks),
            vesk::field("homepage", &vesk::PluginManifest::homepage));
VESK_HASHABLE(vesk::PluginManifest);

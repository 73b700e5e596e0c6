// Recipes that scaffold a new project: argument vectors with "{name}".
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

struct SiteTemplate {
    std::string id;
    std::string name;
    std::string description;
    std::vector<std::string> createCommand;
    std::vector<std::vector<std::string>> postCreateCommands;

    /// `createCommand` with every "{name}" replaced by the project name.
    [[nodiscard]] std::vector<std::string> resolvedCreateCommand(
        std::string_view projectName) const;
    /// `postCreateCommands` likewise, order and nesting kept.
    [[nodiscard]] std::vector<std::vector<std::string>> resolvedPostCreateCommands(
        std::string_view projectName) const;

    static const SiteTemplate& laravel();
    static const SiteTemplate& wordpress();
    static const SiteTemplate& staticSite();  // "static" is a C++ keyword
    /// laravel, wordpress, static.
    static const std::vector<SiteTemplate>& builtinList();
    /// By id, built from builtinList (a later entry wins for an equal id).
    static const std::map<std::string, SiteTemplate>& builtins();

    friend bool operator==(const SiteTemplate&, const SiteTemplate&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::SiteTemplate, vesk::field("id", &vesk::SiteTemplate::id),
            vesk::field("name", &vesk::SiteTemplate::name),
            vesk::field("description", &vesk::SiteTemplate::description),
            vesk::field("createCommand", &vesk::SiteTemplate::createCommand),
            vesk::field("postCreateCommands", &vesk::SiteTemplate::postCreateCommands));
VESK_HASHABLE(vesk::SiteTemplate);

// nginx server-block templates with "{{name}}" placeholders.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Json.hpp"

namespace vesk {

struct NginxTemplate {
    std::string name;
    std::string description;
    std::string content;
    bool isBuiltIn = false;

    /// Replaces every "{{name}}" token of each entry by its value, entry after
    /// entry; unknown placeholders stay, values are inserted unescaped.
    [[nodiscard]] std::string render(const std::map<std::string, std::string>& variables) const;
    /// The same with the server's own `listen` directives (those of the
    /// block itself, not of a nested block) replaced by `listen`, whole
    /// lines with their indent: how a block is put on its addresses and
    /// ports, TLS included. None when the template has no listen directive
    /// of its own.
    [[nodiscard]] std::optional<std::string> renderListening(
        const std::map<std::string, std::string>& variables, std::string_view listen) const;

    static const NginxTemplate& laravel();
    static const NginxTemplate& spa();
    static const NginxTemplate& wordpress();
    static const NginxTemplate& staticSite();  // "static" is a C++ keyword
    static const NginxTemplate& proxy();
    static const NginxTemplate& node();
    /// The six, in the order laravel, spa, wordpress, static, proxy, node.
    static const std::vector<NginxTemplate>& builtInTemplates();

    friend bool operator==(const NginxTemplate&, const NginxTemplate&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::NginxTemplate, vesk::field("name", &vesk::NginxTemplate::name),
            vesk::field("description", &vesk::NginxTemplate::description),
            vesk::field("content", &vesk::NginxTemplate::content),
            vesk::field("isBuiltIn", &vesk::NginxTemplate::isBuiltIn));

template <>
struct std::hash<vesk::NginxTemplate> {
    std::size_t operator()(const vesk::NginxTemplate& t) const noexcept;
};

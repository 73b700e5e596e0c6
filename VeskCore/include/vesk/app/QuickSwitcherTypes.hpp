// The quick switcher: sites, PHP versions and services found by typing.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "vesk/services/Service.hpp"
#include "vesk/sites/Site.hpp"

namespace vesk {

/// Whether every user-perceived character (grapheme cluster) of `query`
/// occurs in `text` in order; exact and case-sensitive, canonically
/// equivalent characters (precomposed or decomposed) counting as equal.
bool fuzzyMatch(std::string_view query, std::string_view text);

struct QuickSwitcherItem {
    struct PHPVersionChoice {
        std::string version;
        bool isCurrent = false;
    };

    std::variant<Site, PHPVersionChoice, Service> target;

    [[nodiscard]] std::string id() const;
    [[nodiscard]] std::string title() const;
    [[nodiscard]] std::string subtitle() const;
    [[nodiscard]] std::string_view section() const;
    [[nodiscard]] std::string_view iconName() const;
    /// Lower-cased (Unicode, not locale-specific) query against the lower-cased
    /// title, or failing that the subtitle.
    [[nodiscard]] bool matches(std::string_view query) const;
};

}  // namespace vesk

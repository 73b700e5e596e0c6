// The environment's PHP-FPM masters, by name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vesk/debugging/XdebugConfig.hpp"

namespace vesk {

/// A PHP-FPM master of the environment: a PHP version's ("8.2"), or that
/// version's second one, which loads Xdebug in one mode ("8.2-debug"). The
/// name is the one its configuration, socket, pid file and log carry.
struct PHPPool {
    std::string version;               ///< "<major>.<minor>"
    std::optional<XdebugMode> xdebug;  ///< the mode of the pool that loads Xdebug

    /// "8.2" or "8.2-debug", "8.2-profile", "8.2-trace"; none for any other text.
    static std::optional<PHPPool> parse(std::string_view name);
    [[nodiscard]] std::string name() const;

    friend bool operator==(const PHPPool&, const PHPPool&) = default;
};

}  // namespace vesk

// What the environment's PHP-FPM masters read at start: Debian's ini files of
// their version, but Xdebug's, from a directory of root's own; the master
// for Xdebug loads it itself, in its one mode.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/system/EnvironmentLayout.hpp"
#include "vesk/system/PHPPool.hpp"

namespace vesk::helper {

/// Whether the ini text loads Xdebug (a zend_extension line naming it).
bool loadsXdebug(std::string_view iniText);

/// Makes `phpScanRoot`/<version> anew: a link to each of Debian's
/// <version>/fpm/conf.d/*.ini files that does not load Xdebug. Returns its
/// path, or none when Debian has no such directory (a PHP of its own reads
/// its own). Throws std::runtime_error when root's directory is not safe
/// or cannot be made.
std::optional<std::string> makeScanDirectory(const EnvironmentLayout& layout,
                                             const std::string& version);

/// The options that load Xdebug in the pool's mode (none for a plain pool).
std::vector<std::string> xdebugOptions(const PHPPool& pool);

}  // namespace vesk::helper

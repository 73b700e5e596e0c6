// Facts about one site read from disk, for display.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/sites/Site.hpp"

namespace vesk {

struct SiteInfo {
    const Site site;
    const std::string driverName;
    const std::optional<std::vector<std::string>> envPreview;
    const std::vector<std::string> detectedServices;
    const std::optional<Date> lastAccessed;

    /// Reads the site's ".env" (its first `envLineLimit` lines and the services
    /// it names) and the modification date of its directory. Never fails:
    /// what cannot be read is absent.
    static SiteInfo fromDisk(const Site& site, const std::string& driverName,
                             long long envLineLimit);

    /// Service names of an environment file's lines, without duplicates, in
    /// order of first mention.
    static std::vector<std::string> parseServices(std::string_view text);

    friend bool operator==(const SiteInfo&, const SiteInfo&) = default;
};

}  // namespace vesk

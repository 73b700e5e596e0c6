// How one kind of project is served, as an abstract interface.
#pragma once

#include <string>

#include "vesk/sites/NginxTemplate.hpp"
#include "vesk/sites/Site.hpp"

namespace vesk {

/// One read-only property and three operations; implemented by the application.
class SiteDriver {
  public:
    virtual ~SiteDriver() = default;
    /// The driver's name, as SiteInfo shows it.
    [[nodiscard]] virtual std::string name() const = 0;
    /// True when this driver serves the project in `path`.
    virtual bool serves(const std::string& path) = 0;
    /// The directory nginx serves for the site.
    virtual std::string documentRoot(const Site& site) = 0;
    /// The server block for the site.
    virtual NginxTemplate serverTemplate(const Site& site) = 0;
};

}  // namespace vesk

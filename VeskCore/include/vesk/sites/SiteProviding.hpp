// The application's keeper of the site list, as an abstract interface.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/UUID.hpp"
#include "vesk/sites/Site.hpp"

namespace vesk {

/// Seven synchronous operations; nothing in this library implements or calls
/// them. Failures are thrown as VeskError (siteNotFound, siteAlreadyExists, ...).
class SiteProviding {
  public:
    virtual ~SiteProviding() = default;
    virtual std::vector<Site> allSites() = 0;
    virtual std::optional<Site> site(const UUID& id) = 0;
    virtual std::optional<Site> site(const std::string& fullDomain) = 0;
    virtual void add(const Site& site) = 0;
    virtual void update(const Site& site) = 0;
    virtual void remove(const UUID& id) = 0;
    /// Sites found as sub-directories of a parked directory.
    virtual std::vector<Site> scanParked(const std::string& directory) = 0;
};

}  // namespace vesk

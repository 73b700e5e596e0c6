// The sites a developer's settings and site records serve: every directory
// under a parked directory, and every linked site.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/AppConfig.hpp"
#include "vesk/sites/Site.hpp"

namespace vesk::ServedSites {

/// A directory's name as a site name: letters, digits and hyphens (one DNS
/// label, at most 63 bytes, no hyphen at either end), lower-cased; none for
/// any other name (hidden directories included).
std::optional<std::string> siteName(std::string_view directoryName);

/// The name a parked directory is served under: its own when it is a site
/// name; else with underscores, dots and spaces as hyphens (My_Shop and
/// my.blog are my-shop and my-blog), when that is one; none for a hidden
/// directory or a name with characters a host name cannot hold (café).
std::optional<std::string> parkedSiteName(std::string_view directoryName);

/// A parked directory that is not served, and why, in words for the developer.
struct Skipped {
    std::string path;
    std::string reason;
};

/// The sub-directories of a directory, by name, in any order; none when it
/// cannot be listed.
using DirectoryLister = std::function<std::optional<std::vector<std::string>>(const std::string&)>;
/// Lists real directories (links to directories included), skipping the rest.
std::optional<std::vector<std::string>> listDirectories(const std::string& path);

/// Every served site, ordered by full domain: the linked records; a parked
/// directory's sub-directories at <name>.<defaultTLD>, unless a linked site
/// has that name; a record kept for a parked site (its PHP version, say)
/// stands in for it. Parked paths earlier in the settings win a name. The
/// parked directories that are not served (a hidden one aside) are added to
/// `skipped`, with the reason.
std::vector<Site> all(const AppConfig& config, std::vector<Site> records,
                      const DirectoryLister& lister = listDirectories,
                      std::vector<Skipped>* skipped = nullptr);

/// The site named `name` (its domain), if served.
std::optional<Site> find(const std::vector<Site>& sites, std::string_view name);

}  // namespace vesk::ServedSites

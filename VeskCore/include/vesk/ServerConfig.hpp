// The servers' configuration texts for the developer's sites: nginx's main
// configuration and one server block per site (from the built-in templates),
// a PHP-FPM pool per version, and dnsmasq's configuration. Pure texts; the
// vesk command writes them into the environment and the helper starts the
// servers on them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vesk/Site.hpp"

namespace vesk::ServerConfig {

/// Where the environment lives and who the servers' workers run as.
struct Layout {
    std::string veskBase = "/usr/local/vesk";
    std::string user;   ///< the developer: nginx's workers and the pools run as them
    std::string group;  ///< the developer's primary group

    [[nodiscard]] std::string etcDir() const { return veskBase + "/etc"; }
    [[nodiscard]] std::string sitesDir() const { return veskBase + "/etc/nginx/sites"; }
    [[nodiscard]] std::string runDir() const { return veskBase + "/run"; }
    [[nodiscard]] std::string logDir() const { return veskBase + "/log"; }
    [[nodiscard]] std::string phpSocket(std::string_view version) const;
    /// The pid file the helper reads for a version's pool.
    [[nodiscard]] std::string phpPidFile(std::string_view version) const;
};

/// What a site's directory holds, which picks its template.
enum class SiteShape {
    laravel,      ///< public/index.php: served from public/ through PHP
    php,          ///< index.php at the top: served from there through PHP
    staticFiles,  ///< anything else: files as they are
};

/// The shape of the directory at `path`, read from the disk.
SiteShape shapeOf(const std::string& path);

/// Whether nginx can carry the path in its configuration as it is: absolute,
/// and no white space, quotes, ';', '{', '}', '$', '#' or '\\', no control
/// characters (anything else could end a directive or start another).
bool isServablePath(std::string_view path);

/// A PHP version as "<major>.<minor>".
bool isPHPVersion(std::string_view version);

/// nginx's main configuration: workers as the developer, the mime types and
/// fastcgi parameters of Debian's nginx, every site's block included, and a
/// default server that answers 404 for names that are no site.
std::string nginxMain(const Layout& layout);

/// The site's server block, or none when its path, name, aliases or PHP
/// version cannot be served safely.
std::optional<std::string> nginxSite(const Site& site, const std::string& defaultPHP,
                                     const Layout& layout, SiteShape shape);

/// A PHP-FPM pool for `version`, run as the developer, listening on the
/// version's socket (nginx's workers, the developer too, may connect).
std::string phpFpmPool(std::string_view version, const Layout& layout);

/// dnsmasq answering every name under `tld` with `address`, on the loopback
/// address only, asking nobody else.
std::string dnsmasq(std::string_view tld, std::string_view address, const Layout& layout);

}  // namespace vesk::ServerConfig

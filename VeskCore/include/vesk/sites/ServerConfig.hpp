// The servers' configuration texts for the developer's sites: nginx's main
// configuration and one server block per site (from the built-in templates),
// a PHP-FPM pool per version, and dnsmasq's configuration. Pure texts; the
// vesk command writes them into the environment and the helper starts the
// servers on them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/debugging/XdebugConfig.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/sites/DetectedProject.hpp"
#include "vesk/sites/NginxTemplate.hpp"
#include "vesk/sites/ProjectType.hpp"
#include "vesk/sites/ServingSettings.hpp"
#include "vesk/sites/Site.hpp"
#include "vesk/sites/SiteProxy.hpp"
#include "vesk/system/EnvironmentLayout.hpp"

namespace vesk::ServerConfig {

/// Where the environment lives (its layout), who the servers' workers run as,
/// and what the developer chose for serving.
struct Layout : EnvironmentLayout {
    std::string user;   ///< the developer: nginx's workers and the pools run as them
    std::string group;  ///< the developer's primary group
    /// A PHP file every request of the pools runs first (the dump client),
    /// when there is one.
    std::optional<std::string> prependFile;
    /// The program PHP's mail() runs (the package's sendmail, which hands
    /// mail to the catcher), when there is one.
    std::optional<std::string> sendmailProgram;
    /// Whether other machines may reach the sites (the developer's choice,
    /// `vesk lan on`): every address then; the loopback addresses otherwise.
    bool lan = false;
    /// Whether the machine has IPv6's loopback address: nginx cannot listen
    /// on [::1] without it.
    bool ipv6 = true;
    /// The developer's own nginx directives: every block includes
    /// `snippetsDir`/all/*.conf, and a site's block also
    /// `snippetsDir`/sites/<full domain>/*.conf.
    std::optional<std::string> snippetsDir;
    /// The developer's settings for serving: PHP's directives, the body
    /// limit and the request timeout.
    ServingSettings serving;
    /// Whether requests that ask for Xdebug (and of which sites) go to each
    /// version's pool that loads it, and its settings there.
    XdebugSettings xdebug;
    /// Where Xdebug's profiles and traces are written.
    std::string xdebugOutputDir;
};

/// The nginx variable a site's PHP socket ends with when Xdebug is on for
/// it: empty, or "-<mode>" for a request that carries a trigger.
inline constexpr std::string_view kXdebugVariable = "$vesk_xdebug";

/// The `listen` lines of a server on `port` with `parameters` (such as
/// "ssl http2" or "default_server"), indented by `indent`: 127.0.0.1 and
/// [::1] only, or every address when the layout allows other machines.
std::string listenLines(const Layout& layout, int port, std::string_view parameters,
                        std::string_view indent = "    ");

/// Whether the server block `block` refuses every path with a component
/// that starts with a dot (".well-known" excepted): ".env", ".git/config".
bool deniesDotPaths(std::string_view block);

/// The project in the directory at `path`, as far as serving it goes (read
/// from the disk): Laravel (public/index.php), WordPress (wp-config.php or
/// wp-load.php beside index.php), any other PHP (index.php), a built
/// single-page app (package.json with dist/index.html and nothing to serve
/// at the top), or a static site.
DetectedProject detectProject(const std::string& path);
/// A project of `type` (and `framework`, by its display name), as detection
/// would give it.
DetectedProject projectOf(ProjectType type, std::optional<std::string> framework = std::nullopt);

/// The template a project is served with: Laravel's, WordPress's, the plain
/// PHP one for any other PHP project, the SPA's for a Node.js project's
/// build, the static one for anything else.
const NginxTemplate& templateFor(const DetectedProject& project);
/// PHP with no framework: every PHP file that exists runs; a path that
/// names nothing is 404, not a front controller's.
const NginxTemplate& plainPHPTemplate();

/// A site as its block serves it: written beside the blocks whenever they
/// are, so what a site is served as can be told without reading its
/// directory again.
struct Served {
    std::string domain;  ///< the full domain
    std::string path;
    ProjectType type = ProjectType::staticSite;
    std::optional<std::string> framework;  ///< its display name

    friend bool operator==(const Served&, const Served&) = default;
};

/// Whether nginx can carry the path in its configuration (in double
/// quotes): absolute, with no quote, backslash, '$', "{{" or control
/// character. Spaces and any other character, non-ASCII ones included, are
/// served.
bool isServablePath(std::string_view path);

/// A PHP version as "<major>.<minor>".
bool isPHPVersion(std::string_view version);

/// nginx's main configuration: workers as the developer, the mime types and
/// fastcgi parameters of Debian's nginx, every site's block included, and a
/// default server that answers 404 for names that are no site.
struct MainOptions {
    /// Where the site blocks are (default: the layout's sites directory).
    std::optional<std::string> sitesDir;
    /// Logs to the null device and the pid file in the run directory: for
    /// checking a configuration with `nginx -t` as the developer, who may
    /// not open the log and pid files root's nginx made.
    bool discardLogs = false;
    /// The workers' account instead of the developer's: root, for a check
    /// run as root of a user namespace, where no other account is mapped.
    std::optional<std::string> workersAccount;
};
std::string nginxMain(const Layout& layout, const MainOptions& options = {});

/// A secured site's certificate and key files.
struct TLSFiles {
    std::string certificate;
    std::string key;
};

/// The site's server block, or none when its path, name, aliases or PHP
/// version cannot be served safely. With `tls`, the block listens on 443
/// with that certificate and a second block sends HTTP to HTTPS; the files'
/// paths may hold spaces (they are quoted) but no quote, backslash, '$' or
/// control character.
std::optional<std::string> nginxSite(const Site& site, const std::string& defaultPHP,
                                     const Layout& layout, const DetectedProject& project,
                                     const std::optional<TLSFiles>& tls = std::nullopt);

/// A proxied site's block: the `proxy` template forwarding to `target`
/// through an upstream of its own whose connections are kept open between
/// requests (a WebSocket's upgrade still passes), TLS as for nginxSite.
/// None when the site's names cannot be served.
/// A Node.js server's site takes the `node` template (`shape`) the same way.
std::optional<std::string> nginxProxySite(const Site& site, const ProxyTarget& target,
                                          const Layout& layout,
                                          const std::optional<TLSFiles>& tls = std::nullopt,
                                          const NginxTemplate& shape = NginxTemplate::proxy());

/// A site whose Vite dev server listens on `port`: a project PHP serves
/// (Laravel's) keeps its block, and Vite's own paths (/@vite/, /@id/,
/// /@fs/, /node_modules/, /resources/, /src/) and its hot-reload WebSocket
/// go to Vite; any other project is Vite's whole. Vite is asked as
/// 127.0.0.1:<port>, the one host it allows unconfigured, so the developer's
/// Vite configuration needs nothing. None when the site cannot be served.
std::optional<std::string> nginxViteSite(const Site& site, std::int64_t port,
                                         const std::string& defaultPHP, const Layout& layout,
                                         const DetectedProject& project,
                                         const std::optional<TLSFiles>& tls = std::nullopt);

/// The default server on 443: it refuses the handshake of any name that no
/// block serves, so no site's certificate or content answers for it.
std::string nginxDefaultTLS(const Layout& layout);

/// A server for the directories of the parked folders that have no block
/// of their own yet (made after the configuration was last written): any
/// name <label>.<tld> (a label as a site's name may be: letters, digits and
/// inner hyphens, at most 63) is served from the first parked folder holding a
/// directory of that name, from its public/ when that holds index.php,
/// through the default PHP version. Exact names of the other blocks take
/// precedence. None when no parked folder can be carried in nginx's
/// configuration.
std::optional<std::string> nginxParkedFallback(const std::vector<std::string>& parkedPaths,
                                               std::string_view tld, const std::string& defaultPHP,
                                               const Layout& layout);

/// The PHP-FPM pool `pool` ("8.2", or "8.2-debug": the version's pool with
/// Xdebug and its settings), run as the developer, listening on its socket
/// (nginx's workers, the developer too, may connect).
std::string phpFpmPool(std::string_view pool, const Layout& layout);

/// The Xdebug settings a pool can carry: an IDE key of letters, digits and
/// "_.-", a host name or address, a port.
bool isXdebugConfig(const XdebugConfig& config);

/// dnsmasq answering every name under `tld` with `address`, on the loopback
/// address only, asking nobody else.
std::string dnsmasq(std::string_view tld, std::string_view address, const Layout& layout);

}  // namespace vesk::ServerConfig

VESK_RECORD(vesk::ServerConfig::Served, vesk::field("domain", &vesk::ServerConfig::Served::domain),
            vesk::field("path", &vesk::ServerConfig::Served::path),
            vesk::field("type", &vesk::ServerConfig::Served::type),
            vesk::field("framework", &vesk::ServerConfig::Served::framework));

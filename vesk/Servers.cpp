// The environment the servers run in, as the vesk command sees it: its
// files, which servers run, the helper that starts them, and turning the
// developer's sites into the servers' configuration.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Command.hpp"
#include "HelperClient.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/sites/Exposure.hpp"
#include "vesk/sites/ServedSites.hpp"
#include "vesk/sites/ServingTransaction.hpp"
#include "vesk/system/PHPPool.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::cli {

namespace fs = std::filesystem;

namespace {

/// The site blocks of every served site, keyed by file name, and what each
/// serves.
std::vector<std::pair<std::string, std::string>> siteBlocks(
    const Servers& env, const AppConfig& config, const std::vector<Site>& sites,
    std::vector<ServerConfig::Served>& served) {
    const auto certificates = certificateRecords().read({});
    const auto proxies = proxyRecords().read({});
    const auto nodeApps = nodeRecords().read({});
    const auto vites = viteRecords().read({});
    std::vector<std::pair<std::string, std::string>> blocks;
    for (const Site& site : sites) {
        struct stat st {};
        if (site.isLinked && ::stat(site.path.c_str(), &st) != 0 && errno == ENOENT) {
            std::cerr << "vesk: " << site.fullDomain() << " is not served: " << site.path
                      << " is gone (moved or renamed?); vesk unlink " << site.domain
                      << " && vesk link in its new place\n";
            continue;
        }
        std::optional<ServerConfig::TLSFiles> tls;
        if (site.isSecured) {
            for (const Certificate& c : certificates) {
                if (!c.isCA && c.domain == site.fullDomain()) {
                    tls = ServerConfig::TLSFiles{c.certificatePath, c.keyPath};
                }
            }
            if (!tls) {
                std::cerr << "vesk: " << site.fullDomain()
                          << " is secured but has no certificate; served over HTTP (vesk secure "
                          << site.domain << " makes one)\n";
            }
        }
        const auto vite = std::find_if(vites.begin(), vites.end(), [&](const ViteConfig& v) {
            return v.siteDomain == site.fullDomain() && v.sitePath == site.path;
        });
        if (vite != vites.end()) {
            const DetectedProject project = ServerConfig::detectProject(site.path);
            if (const auto text = ServerConfig::nginxViteSite(
                    site, vite->port, config.defaultPHPVersion, env.layout, project, tls)) {
                blocks.emplace_back(site.fullDomain() + ".conf", *text);
                served.push_back({site.fullDomain(), site.path, project.primaryType,
                                  project.frameworkInfo ? std::optional(project.frameworkInfo->name)
                                                        : std::nullopt});
                continue;
            }
        }
        const auto app = std::find_if(nodeApps.begin(), nodeApps.end(), [&](const NodeApp& a) {
            return a.enabled && a.siteDomain == site.fullDomain();
        });
        if (app != nodeApps.end()) {
            const ProxyTarget target{"127.0.0.1", app->port, ""};
            if (const auto text = ServerConfig::nginxProxySite(site, target, env.layout, tls,
                                                               NginxTemplate::node())) {
                blocks.emplace_back(site.fullDomain() + ".conf", *text);
                served.push_back({site.fullDomain(), site.path, ProjectType::nodejs,
                                  "Node.js server on port " + std::to_string(app->port)});
                continue;
            }
        }
        if (const auto target = proxyTargetOf(proxies, site)) {
            const auto text = ServerConfig::nginxProxySite(site, *target, env.layout, tls);
            if (!text) {
                std::cerr << "vesk: " << site.fullDomain()
                          << " is not served: its names cannot be written in nginx's "
                             "configuration\n";
                continue;
            }
            blocks.emplace_back(site.fullDomain() + ".conf", *text);
            served.push_back(
                {site.fullDomain(), site.path, ProjectType::unknown, "proxy to " + target->url()});
            continue;
        }
        const DetectedProject project = ServerConfig::detectProject(site.path);
        const auto text =
            ServerConfig::nginxSite(site, config.defaultPHPVersion, env.layout, project, tls);
        if (!text) {
            std::cerr << "vesk: " << site.fullDomain()
                      << " is not served: its path, names or PHP version cannot be written in "
                         "nginx's configuration\n";
            continue;
        }
        blocks.emplace_back(site.fullDomain() + ".conf", *text);
        served.push_back(
            {site.fullDomain(), site.path, project.primaryType,
             project.frameworkInfo ? std::optional(project.frameworkInfo->name) : std::nullopt});
    }
    return blocks;
}

/// The developer's own files, made once so they can be found and changed:
/// the serving settings (with the development defaults) and the snippets'
/// directories. Never overwritten; directives that cannot be written into a
/// configuration are named.
void prepareDevelopersOwn(const ServingSettings& serving) {
    RecordFile<ServingSettings> record = servingRecord();
    struct stat st {};
    if (::stat(record.path().c_str(), &st) != 0 && errno == ENOENT) {
        record.update(ServingSettings::defaultValue(), [](ServingSettings&) {});
    }
    std::error_code ec;
    fs::create_directories(snippetsDir() + "/all", ec);
    fs::create_directories(snippetsDir() + "/sites", ec);
    const auto check = [&](const std::string& where, const PHPDirectives& directives) {
        for (const auto& [name, value] : directives) {
            if (!ServingRules::isDirective(name, value)) {
                std::cerr << "vesk: " << record.path() << ": " << where << name
                          << " is left out: a name of letters, digits, '.' and '_' and a value "
                             "without quotes, backslashes, '$', braces, ';' or '#'\n";
            }
        }
    };
    check("php.", serving.php);
    for (const auto& [version, d] : serving.phpVersions) check("phpVersions." + version + ".", d);
    for (const auto& [site, d] : serving.sites) check("sites." + site + ".", d);
    if (!serving.nginxBodyLimit()) {
        std::cerr << "vesk: " << record.path() << ": bodyLimit \"" << serving.bodyLimit
                  << "\" is no size such as 512M; nginx takes 512m\n";
    }
}

}  // namespace

RecordFile<ServingSettings> servingRecord() {
    return RecordFile<ServingSettings>(VeskPaths::configDir() + "/serving.json");
}

std::string snippetsDir() {
    return VeskPaths::configDir() + "/nginx";
}

RecordFile<Exposure> exposureRecord() {
    return RecordFile<Exposure>(VeskPaths::configDir() + "/exposure.json");
}

RecordFile<std::vector<Certificate>> certificateRecords() {
    return RecordFile<std::vector<Certificate>>(VeskPaths::configDir() + "/certificates.json");
}

std::string Servers::notInstalledReason() const {
    struct stat st {};
    if (::stat((layout.veskBase + "/.version").c_str(), &st) == 0 &&
        ::stat(layout.veskBase.c_str(), &st) == 0 && st.st_uid != ::geteuid()) {
        const passwd* owner = ::getpwuid(st.st_uid);
        const std::string name = owner != nullptr ? owner->pw_name : std::to_string(st.st_uid);
        // Handed over: the new owner's name is kept for the old one.
        std::string note;
        if (const auto taken = recordfile::readText(layout.veskBase + "/.taken-over")) {
            note = " (" + std::string(Unicode::trimmed(*taken)) + ")";
        }
        return "the servers on this machine are " + name + "'s: they own " + layout.veskBase +
               note +
               ", and one environment serves one developer. Ask them, or take it over with sudo "
               "vesk install --take-over (their sites stop being served)";
    }
    return "the servers are not set up yet: sudo vesk install";
}

bool Servers::installed() const {
    struct stat st {};
    return ::stat((layout.veskBase + "/.version").c_str(), &st) == 0 &&
           ::access(layout.etcDir().c_str(), W_OK) == 0;
}

std::vector<std::string> Servers::phpVersions() const {
    std::vector<std::string> versions;
    for (const auto& v : installedPHPVersions()) {
        if (::access(layout.phpFpm(v).c_str(), X_OK) == 0) versions.push_back(v);
    }
    return versions;
}

std::vector<std::string> Servers::phpPools() const {
    std::vector<std::string> pools;
    for (const auto& v : phpVersions()) {
        pools.push_back(v);
        for (const XdebugMode mode : allCases<XdebugMode>()) {
            pools.push_back(PHPPool{v, mode}.name());
        }
    }
    return pools;
}

std::optional<long> Servers::nginxPid() const {
    return procfs::serverInPidFile(layout.nginxPidFile(), "nginx");
}

std::optional<long> Servers::phpPid(const std::string& version) const {
    return procfs::serverInPidFile(layout.phpPidFile(version), "php-fpm");
}

std::optional<long> Servers::dnsmasqPid() const {
    return procfs::serverInPidFile(layout.dnsmasqPidFile(), "dnsmasq");
}

std::string servedIndexPath() {
    return environmentLayout().servedIndex();
}

std::string authorityDir() {
    return environmentLayout().authorityDir;
}

Servers serversFor(const std::string& user, const std::string& group) {
    Servers s;
    static_cast<EnvironmentLayout&>(s.layout) = environmentLayout();
    s.layout.user = user;
    s.layout.group = group;
    s.layout.ipv6 = Exposures::hasIPv6Loopback();
    // The package's dump client, in every pool when it is installed.
    constexpr const char* kDumpClient = "/usr/share/vesk/php/vesk-dump.php";
    if (::access(kDumpClient, R_OK) == 0) s.layout.prependFile = kDumpClient;
    // The package's sendmail, which hands PHP's mail() to the catcher.
    constexpr const char* kSendmail = "/usr/libexec/vesk/vesk-sendmail";
    if (::access(kSendmail, X_OK) == 0) s.layout.sendmailProgram = kSendmail;
    return s;
}

Servers servers() {
    const passwd* pw = ::getpwuid(::geteuid());
    const group* gr = pw != nullptr ? ::getgrgid(pw->pw_gid) : nullptr;
    if (pw == nullptr || gr == nullptr) throw Failure{"cannot find the current user's account"};
    Servers s = serversFor(pw->pw_name, gr->gr_name);
    // Other machines reach the sites only when the developer said so.
    s.layout.lan = exposureRecord().read({}).lan;
    s.layout.snippetsDir = snippetsDir();
    s.layout.serving = servingRecord().read(ServingSettings::defaultValue());
    s.layout.xdebug = xdebugRecord().read({});
    s.layout.xdebugOutputDir = xdebugOutputDir();
    return s;
}

void callHelper(HelperOperation operation, const std::vector<std::string>& texts) {
    HelperStatus status;
    try {
        HelperClient client(environmentLayout().socketPath);
        status = client.status(operation, texts);
    } catch (const std::exception& e) {
        throw Failure{std::string("the privileged helper does not answer (") + e.what() +
                      "): sudo systemctl start vesk-helper.socket, or sudo vesk install"};
    }
    if (!status.success) {
        throw Failure{status.message.value_or(std::string(rawValue(operation)) + " failed")};
    }
}

std::vector<std::string> phpVersionsInUse(const AppConfig& config, const std::vector<Site>& sites) {
    std::vector<std::string> versions{config.defaultPHPVersion};
    for (const Site& s : sites) {
        if (s.phpVersion &&
            std::find(versions.begin(), versions.end(), *s.phpVersion) == versions.end()) {
            versions.push_back(*s.phpVersion);
        }
    }
    return versions;
}

void applyConfiguration(bool reloadRunning) {
    const Servers env = servers();
    if (!env.installed()) {
        std::cerr << "vesk: " << env.notInstalledReason() << "\n";
        return;
    }
    const recordfile::Lock lock(env.layout.etcDir() + "/apply", true);
    const AppConfig config = currentSettings();
    const std::vector<Site> sites = servedSites();
    prepareDevelopersOwn(env.layout.serving);

    serving::Transaction change(env.layout);
    if (const auto fallback = ServerConfig::nginxParkedFallback(
            config.parkedPaths, config.defaultTLD, config.defaultPHPVersion, env.layout)) {
        change.add("~parked.conf", *fallback);
    }
    std::vector<ServerConfig::Served> served;
    for (const auto& [name, text] : siteBlocks(env, config, sites, served)) change.add(name, text);
    if (std::any_of(sites.begin(), sites.end(), [](const Site& s) { return s.isSecured; })) {
        change.add("~default-tls.conf", ServerConfig::nginxDefaultTLS(env.layout));
    }
    try {
        change.commit();
    } catch (const serving::Refused& refused) {
        throw Failure{L10n::tr("nginx.invalid") +
                      ": nginx refuses the new configuration, so it was not applied (the sites "
                      "served before still are):\n" +
                      refused.what()};
    }
    serving::writeIfChanged(env.layout.servedIndex(), encodeJSON(served));
    serving::writeIfChanged(env.layout.nginxConf(), ServerConfig::nginxMain(env.layout));
    serving::writeIfChanged(env.layout.dnsmasqConf(),
                            ServerConfig::dnsmasq(config.defaultTLD, "127.0.0.1", env.layout));
    const auto available = env.phpVersions();
    std::vector<std::string> pools;
    for (const auto& v : phpVersionsInUse(config, sites)) {
        if (std::find(available.begin(), available.end(), v) == available.end()) continue;
        serving::writeIfChanged(env.layout.phpConf(v), ServerConfig::phpFpmPool(v, env.layout));
        pools.push_back(v);
    }
    // Xdebug's pools, while it is on.
    const auto xdebug = xdebugPools(env, config, sites);
    for (const auto& pool : xdebug) {
        serving::writeIfChanged(env.layout.phpConf(pool),
                                ServerConfig::phpFpmPool(pool, env.layout));
        pools.push_back(pool);
    }
    // The servers open their logs as root, and would make them root's alone;
    // made here first, they stay the developer's to read.
    std::vector<std::string> logs{"nginx-error.log", "nginx-access.log"};
    for (const auto& v : pools) logs.push_back("php-fpm-" + v + ".log");
    for (const auto& name : logs) {
        const std::string path = env.layout.logDir() + "/" + name;
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
    }
    const auto master = env.nginxPid();
    if (!reloadRunning || !master) return;
    for (const auto& v : pools) {
        if (!env.phpPid(v)) callHelper(HelperOperation::startPHPFPM, {v, env.layout.phpConf(v)});
    }
    serving::reloadAndWait(*master, [] { callHelper(HelperOperation::reloadNginx, {}); });
    std::cout << L10n::tr("nginx.reloaded") << "\n";
    // Xdebug's pools no request reaches any longer (turned off, another
    // mode): nginx no longer names them.
    for (const auto& pool : env.phpPools()) {
        if (PHPPool::parse(pool)->xdebug && env.phpPid(pool) &&
            std::find(xdebug.begin(), xdebug.end(), pool) == xdebug.end()) {
            callHelper(HelperOperation::stopPHPFPM, {pool});
        }
    }
}

}  // namespace vesk::cli

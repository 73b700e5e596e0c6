// vesk sites [--json]
#include <algorithm>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/sites/ServedSites.hpp"

namespace vesk::cli {

namespace {

/// What the blocks serve each site as, ordered by full domain: none when
/// the environment has not written them (or the index cannot be read).
std::vector<ServerConfig::Served> servedIndex() {
    // Another developer's environment (which this account may not read)
    // serves none of this account's sites: its index is none of theirs.
    try {
        const auto text = recordfile::readText(servedIndexPath());
        if (!text) return {};
        auto index = decodeJSON<std::vector<ServerConfig::Served>>(*text);
        const auto byDomain = [](const auto& a, const auto& b) { return a.domain < b.domain; };
        // Written in the sites' order, which is this one.
        if (!std::is_sorted(index.begin(), index.end(), byDomain)) {
            std::sort(index.begin(), index.end(), byDomain);
        }
        return index;
    } catch (const std::exception&) {
        return {};
    }
}

/// What the site is: the detected project type and framework when its
/// record has them, else the shape its block serves (its directory's shape,
/// read from the disk, when no block of the environment serves it yet).
std::string kindOf(const Site& site, const std::string& domain,
                   const std::vector<ServerConfig::Served>& index) {
    if (site.detectedProject) {
        std::string kind(displayName(site.projectType()));
        if (const auto framework = site.frameworkDisplay()) kind += " (" + *framework + ")";
        return kind;
    }
    const auto served = std::lower_bound(
        index.begin(), index.end(), domain,
        [](const ServerConfig::Served& s, const std::string& d) { return s.domain < d; });
    ProjectType type = ProjectType::staticSite;
    std::optional<std::string> framework;
    if (served != index.end() && served->domain == domain && served->path == site.path) {
        type = served->type;
        framework = served->framework;
    } else {
        const DetectedProject project = ServerConfig::detectProject(site.path);
        type = project.primaryType;
        if (project.frameworkInfo) framework = project.frameworkInfo->name;
    }
    if (type == ProjectType::unknown && framework && framework->rfind("proxy to ", 0) == 0) {
        return "proxy -> " + framework->substr(9);
    }
    if (type == ProjectType::nodejs && framework && framework->rfind("Node.js server", 0) == 0) {
        return *framework;
    }
    switch (type) {
        case ProjectType::laravel:
            return "Laravel-shaped PHP (public/index.php)";
        case ProjectType::php:
            return framework ? *framework + " (index.php)" : "PHP (index.php)";
        case ProjectType::nodejs:
            return "single-page app (dist/index.html)";
        default:
            break;
    }
    return "static files";
}

}  // namespace

int sites(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    std::vector<ServedSites::Skipped> skipped;
    const AppConfig config = currentSettings();
    const std::vector<Site> served =
        ServedSites::all(config, siteRecords().read({}), ServedSites::listDirectories, &skipped);
    // Never skipped without a word.
    for (const auto& s : skipped)
        std::cerr << "vesk: not served: " << s.path << ": " << s.reason << "\n";
    if (args.has("--json")) {
        std::cout << scriptJSON(served, true) << "\n";
        return 0;
    }
    const std::string& defaultPHP = config.defaultPHPVersion;
    const auto index = servedIndex();
    const auto vites = viteRecords().read({});
    const auto proxies = proxyRecords().read({});
    // Written at once: a thousand sites are a thousand lines.
    std::string text;
    text.reserve(served.size() * 128);
    for (const Site& s : served) {
        const std::string domain = s.fullDomain();
        text.append(s.isSecured ? "https://" : "http://").append(domain).append("/  ");
        text.append(s.path).append("  PHP ").append(s.phpVersion.value_or(defaultPHP));
        text.append(s.phpVersion ? " (isolated)" : "");
        const auto target = proxyTargetOf(proxies, s);
        text.append(s.isLinked ? "  linked  " : "  parked  ")
            .append(target ? "proxy -> " + target->url() : kindOf(s, domain, index));
        for (const auto& v : vites) {
            if (v.siteDomain == domain)
                text.append(", Vite on port ").append(std::to_string(v.port));
        }
        text += '\n';
    }
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    return 0;
}

}  // namespace vesk::cli

// vesk sites [--json]
#include <iostream>

#include "Command.hpp"
#include "vesk/Json.hpp"
#include "vesk/ServedSites.hpp"

namespace vesk::cli {

namespace {

/// What the site is: the detected project type and framework when its
/// record has them, else the shape its directory has for the web server.
std::string kindOf(const Site& site) {
    if (site.detectedProject) {
        std::string kind(displayName(site.projectType()));
        if (const auto framework = site.frameworkDisplay()) kind += " (" + *framework + ")";
        return kind;
    }
    switch (ServerConfig::shapeOf(site.path)) {
        case ServerConfig::SiteShape::laravel:
            return "Laravel-shaped PHP (public/index.php)";
        case ServerConfig::SiteShape::php:
            return "PHP (index.php)";
        case ServerConfig::SiteShape::staticFiles:
            break;
    }
    return "static files";
}

}  // namespace

int sites(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    std::vector<ServedSites::Skipped> skipped;
    const std::vector<Site> served = ServedSites::all(currentSettings(), siteRecords().read({}),
                                                      ServedSites::listDirectories, &skipped);
    // Never skipped without a word.
    for (const auto& s : skipped)
        std::cerr << "vesk: not served: " << s.path << ": " << s.reason << "\n";
    if (args.has("--json")) {
        std::cout << scriptJSON(served, true) << "\n";
        return 0;
    }
    const std::string defaultPHP = currentSettings().defaultPHPVersion;
    for (const Site& s : served) {
        std::cout << (s.isSecured ? "https://" : "http://") << s.fullDomain() << "/  " << s.path
                  << "  PHP " << s.phpVersion.value_or(defaultPHP)
                  << (s.phpVersion ? " (isolated)" : "") << "  "
                  << (s.isLinked ? "linked" : "parked") << "  " << kindOf(s) << "\n";
    }
    return 0;
}

}  // namespace vesk::cli

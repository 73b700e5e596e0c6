// vesk use VERSION, vesk isolate VERSION [SITE], vesk unisolate [SITE]
#include <iostream>

#include "Command.hpp"
#include "vesk/ServedSites.hpp"
#include "vesk/UUID.hpp"

namespace vesk::cli {

namespace {

/// The served site named, or the one served from the current directory.
Site siteFor(const std::optional<std::string>& name) {
    const std::vector<Site> served = servedSites();
    if (name) {
        if (auto s = ServedSites::find(served, *name)) return *s;
        throw Failure{"no site is served as " + *name};
    }
    const std::string dir = directory(std::nullopt);
    for (const Site& s : served) {
        if (s.path == dir) return s;
    }
    throw Failure{dir + " is not served: name a site, or park or link it first"};
}

/// Sets (or clears) a site's PHP version in its record; a parked site gets a
/// record of its own for it.
void setPHP(const Site& site, const std::optional<std::string>& version) {
    siteRecords().update({}, [&](std::vector<Site>& records) {
        for (Site& s : records) {
            if ((site.isLinked && s.isLinked && s.domain == site.domain) ||
                (!site.isLinked && s.isParked && s.path == site.path)) {
                s.phpVersion = version;
                return;
            }
        }
        Site kept = site;
        kept.id = UUID::random();
        kept.phpVersion = version;
        records.push_back(std::move(kept));
    });
}

}  // namespace

int use(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const std::string version = args.words[0];
    requireInstalledPHP(version);
    settings().update(AppConfig::defaultValue(),
                      [&](AppConfig& c) { c.defaultPHPVersion = version; });
    std::cout << "Sites use PHP " << version << " unless isolated\n";
    return 0;
}

int isolate(const Arguments& args) {
    if (args.words.empty() || args.words.size() > 2) throw UsageError{};
    const std::string version = args.words[0];
    requireInstalledPHP(version);
    const Site site = siteFor(args.word(1));
    setPHP(site, version);
    std::cout << site.fullDomain() << " uses PHP " << version << "\n";
    return 0;
}

int unisolate(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    setPHP(site, std::nullopt);
    std::cout << site.fullDomain() << " uses the default PHP again\n";
    return 0;
}

}  // namespace vesk::cli

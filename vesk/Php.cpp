// vesk use VERSION, vesk isolate VERSION [SITE], vesk unisolate [SITE]
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"

namespace vesk::cli {

int use(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const std::string version = args.words[0];
    requireInstalledPHP(version);
    settings().update(newSettings(), [&](AppConfig& c) { c.defaultPHPVersion = version; });
    std::cout << L10n::tr("php.switched", version) << " (sites not isolated)\n";
    applyConfiguration();
    return 0;
}

int isolate(const Arguments& args) {
    if (args.words.empty() || args.words.size() > 2) throw UsageError{};
    const std::string version = args.words[0];
    requireInstalledPHP(version);
    const Site site = siteFor(args.word(1));
    updateSite(site, [&](Site& s) { s.phpVersion = version; });
    std::cout << L10n::tr("php.isolate.success", site.fullDomain(), version) << "\n";
    applyConfiguration();
    return 0;
}

int unisolate(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    updateSite(site, [](Site& s) { s.phpVersion.reset(); });
    std::cout << site.fullDomain() << " uses the default PHP again\n";
    applyConfiguration();
    return 0;
}

}  // namespace vesk::cli

// vesk link [NAME] [--path DIR], vesk unlink [NAME], vesk links
#include <algorithm>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/sites/ServedSites.hpp"

namespace vesk::cli {

namespace {

/// A name given (exactly a site name), or the directory's own (My App is
/// my-app, as a parked directory's would be).
std::string siteNameOf(const std::string& given, bool fromDirectory) {
    const auto name =
        fromDirectory ? ServedSites::parkedSiteName(given) : ServedSites::siteName(given);
    if (!name) {
        throw Failure{"\"" + given +
                      "\" cannot name a site: use letters, digits and hyphens (at most 63)"};
    }
    return *name;
}

}  // namespace

void recordLinkedSite(const std::string& name, const std::string& dir) {
    const AppConfig config = currentSettings();
    siteRecords().update({}, [&](std::vector<Site>& records) {
        for (Site& s : records) {
            if (s.isLinked && s.domain == name) {
                s.path = dir;
                return;
            }
        }
        // Kept in the order sites are listed in, so listing them moves none.
        Site site(UUID::random(), name, dir, name, config.defaultTLD, std::nullopt, std::nullopt,
                  false, true, false, false, std::nullopt, std::vector<std::string>{}, Date::now(),
                  std::nullopt);
        const auto at =
            std::upper_bound(records.begin(), records.end(), site,
                             [](const Site& a, const Site& b) { return a.domain < b.domain; });
        records.insert(at, std::move(site));
    });
}

int link(const Arguments& args) {
    if (args.words.size() > 2) throw UsageError{};
    // vesk link [NAME] [DIR]
    const std::string dir = servableDirectory(args.word(1));
    const std::string name = args.word(0) ? siteNameOf(*args.word(0), false)
                                          : siteNameOf(dir.substr(dir.find_last_of('/') + 1), true);
    const AppConfig config = currentSettings();
    recordLinkedSite(name, dir);
    std::cout << L10n::tr("sites.linked", name + "." + config.defaultTLD) << " (" << dir << ")\n";
    applyConfiguration();
    return 0;
}

int unlink(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    std::optional<std::string> name = args.word(0);
    std::string dir;
    if (!name) dir = directory(std::nullopt);
    bool found = false;
    siteRecords().update({}, [&](std::vector<Site>& records) {
        for (auto it = records.begin(); it != records.end(); ++it) {
            if (it->isLinked && (name ? it->domain == *name : it->path == dir)) {
                if (!name) name = it->domain;
                records.erase(it);
                found = true;
                return;
            }
        }
    });
    if (!found) throw Failure{name ? "no site is linked as " + *name : dir + " is not linked"};
    std::cout << "Unlinked " << *name << "\n";
    applyConfiguration();
    return 0;
}

int links(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    for (const Site& s : siteRecords().read({})) {
        if (s.isLinked) std::cout << s.fullDomain() << "  " << s.path << "\n";
    }
    return 0;
}

}  // namespace vesk::cli

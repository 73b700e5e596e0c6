#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/sites/ServedSites.hpp"
#include "vesk/sites/ServerConfig.hpp"

namespace vesk::cli {

namespace {

// Where Debian installs PHP-FPM: /usr/sbin/php-fpm<major>.<minor>.
constexpr const char* kSbin = "/usr/sbin";
constexpr std::string_view kFpmPrefix = "php-fpm";

}  // namespace

RecordFile<AppConfig> settings() {
    return RecordFile<AppConfig>(VeskPaths::settingsPath());
}

RecordFile<std::vector<Site>> siteRecords() {
    return RecordFile<std::vector<Site>>(VeskPaths::sitesConfigPath());
}

AppConfig newSettings() {
    // The library's default version may not be Debian's: the newest
    // installed one is, as doctor would otherwise advise a package that
    // does not exist.
    AppConfig config = AppConfig::defaultValue();
    const auto versions = installedPHPVersions();
    if (!versions.empty() &&
        std::find(versions.begin(), versions.end(), config.defaultPHPVersion) == versions.end()) {
        config.defaultPHPVersion = versions.back();
    }
    return config;
}

AppConfig currentSettings() {
    return settings().read(newSettings());
}

std::vector<Site> servedSites() {
    return ServedSites::all(currentSettings(), siteRecords().read({}));
}

std::string directory(const std::optional<std::string>& given) {
    const std::string path = given.value_or(".");
    char resolved[PATH_MAX];
    struct stat st {};
    if (::realpath(path.c_str(), resolved) == nullptr || ::stat(resolved, &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        throw Failure{path + " is not a directory"};
    }
    return resolved;
}

std::string servableDirectory(const std::optional<std::string>& given) {
    std::string dir = directory(given);
    if (!ServerConfig::isServablePath(dir)) {
        throw Failure{dir +
                      " cannot be served: its path holds a double quote, a backslash, '$' or a "
                      "control character, which nginx's configuration cannot carry; rename the "
                      "directory (or one above it), then try again"};
    }
    return dir;
}

std::vector<std::string> installedPHPVersions() {
    std::vector<std::string> versions;
    struct Close {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, Close> dir(::opendir(kSbin));
    if (!dir) return versions;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name.rfind(kFpmPrefix, 0) != 0) continue;
        const std::string_view version = name.substr(kFpmPrefix.size());
        if (ServerConfig::isPHPVersion(version)) versions.emplace_back(version);
    }
    std::sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
        const auto number = [](const std::string& v, bool minor) {
            const auto dot = v.find('.');
            return std::atoi((minor ? v.substr(dot + 1) : v.substr(0, dot)).c_str());
        };
        return std::pair(number(a, false), number(a, true)) <
               std::pair(number(b, false), number(b, true));
    });
    return versions;
}

Site siteFor(const std::optional<std::string>& name) {
    const std::vector<Site> served = servedSites();
    if (name) {
        if (auto s = ServedSites::find(served, *name)) return *s;
        throw Failure{L10n::tr("sites.notFound", *name)};
    }
    const std::string dir = directory(std::nullopt);
    for (const Site& s : served) {
        if (s.path == dir) return s;
    }
    throw Failure{dir + " is not served: name a site, or park or link it first"};
}

void updateSite(const Site& site, const std::function<void(Site&)>& change) {
    siteRecords().update({}, [&](std::vector<Site>& records) {
        for (Site& s : records) {
            if ((site.isLinked && s.isLinked && s.domain == site.domain) ||
                (!site.isLinked && s.isParked && s.path == site.path)) {
                change(s);
                return;
            }
        }
        Site kept = site;
        kept.id = UUID::random();
        change(kept);
        records.push_back(std::move(kept));
    });
}

void requireInstalledPHP(const std::string& version) {
    const auto versions = installedPHPVersions();
    if (std::find(versions.begin(), versions.end(), version) != versions.end()) return;
    std::string installed;
    for (const auto& v : versions) installed += (installed.empty() ? "" : ", ") + v;
    throw Failure{"PHP " + version + " is not installed" +
                  (installed.empty() ? std::string(" (no PHP-FPM is installed)")
                                     : " (installed: " + installed + ")")};
}

}  // namespace vesk::cli

#include "vesk/ServedSites.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>

namespace vesk::ServedSites {

std::optional<std::string> siteName(std::string_view name) {
    if (name.empty() || name.size() > 63 || name.front() == '-' || name.back() == '-') {
        return std::nullopt;
    }
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
            out += c;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::string> parkedSiteName(std::string_view name) {
    if (name.empty() || name.front() == '.') return std::nullopt;
    if (auto plain = siteName(name)) return plain;
    std::string label;
    for (const char c : name) {
        const char mapped = c == '_' || c == '.' || c == ' ' ? '-' : c;
        if (mapped == '-' && (label.empty() || label.back() == '-')) continue;
        label += mapped;
    }
    while (!label.empty() && label.back() == '-') label.pop_back();
    return siteName(label);
}

std::optional<std::vector<std::string>> listDirectories(const std::string& path) {
    struct Close {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, Close> dir(::opendir(path.c_str()));
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        // Relative to the directory itself: no path is built per entry.
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
            names.push_back(name);
        }
    }
    return names;
}

std::vector<Site> all(const AppConfig& config, const std::vector<Site>& records,
                      const DirectoryLister& lister, std::vector<Skipped>* skipped) {
    std::map<std::string, Site> byName;
    std::map<std::string, const Site*> parkedRecords;
    for (const Site& s : records) {
        if (s.isLinked) {
            byName.emplace(s.domain, s);
        } else if (s.isParked) {
            parkedRecords.emplace(s.path, &s);
        }
    }
    for (const std::string& parked : config.parkedPaths) {
        const auto names = lister(parked);
        if (!names) continue;
        std::vector<std::string> sorted = *names;
        std::sort(sorted.begin(), sorted.end());
        for (const std::string& directory : sorted) {
            const auto name = parkedSiteName(directory);
            std::string path = parked;
            path += '/';
            path += directory;
            if (!name || byName.count(*name) != 0) {
                if (skipped != nullptr && !directory.empty() && directory.front() != '.') {
                    skipped->push_back(
                        {path, !name ? "its name holds characters a host name cannot; vesk link "
                                       "NAME in it serves it under a name of yours"
                                     : *name + "." + config.defaultTLD +
                                           " is already another site's; vesk link NAME in it "
                                           "serves it under another name"});
                }
                continue;
            }
            if (const auto it = parkedRecords.find(path); it != parkedRecords.end()) {
                Site kept = *it->second;
                kept.name = *name;
                kept.domain = *name;
                byName.emplace(*name, std::move(kept));
                continue;
            }
            Site s;
            s.name = *name;
            s.domain = *name;
            s.path = path;
            s.tld = config.defaultTLD;
            s.isParked = true;
            byName.emplace(*name, std::move(s));
        }
    }
    std::vector<Site> out;
    out.reserve(byName.size());
    for (auto& [name, site] : byName) out.push_back(std::move(site));
    return out;
}

std::optional<Site> find(const std::vector<Site>& sites, std::string_view name) {
    for (const Site& s : sites) {
        if (s.domain == name || s.fullDomain() == name) return s;
    }
    return std::nullopt;
}

}  // namespace vesk::ServedSites

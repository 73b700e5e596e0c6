#include "vesk/sites/ServedSites.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

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

std::vector<Site> all(const AppConfig& config, std::vector<Site> records,
                      const DirectoryLister& lister, std::vector<Skipped>* skipped) {
    // Done in place in `records`: a developer may have a thousand sites,
    // and `vesk sites` reads them all each time. The linked records stay
    // where they are (the first of a name wins); the parked ones are kept
    // aside, for the directories they stand in for.
    std::set<std::string, std::less<>> taken;
    std::map<std::string, Site, std::less<>> parkedRecords;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        Site& s = records[i];
        if (s.isLinked && taken.insert(s.domain).second) {
            if (kept != i) records[kept] = std::move(s);
            ++kept;
        } else if (!s.isLinked && s.isParked) {
            std::string path = s.path;
            parkedRecords.emplace(std::move(path), std::move(s));
        }
    }
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(kept), records.end());
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
            if (!name || taken.count(*name) != 0) {
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
            taken.insert(*name);
            Site s;
            if (const auto it = parkedRecords.find(path); it != parkedRecords.end()) {
                s = it->second;
            } else {
                s.path = path;
                s.tld = config.defaultTLD;
                s.isParked = true;
            }
            s.name = *name;
            s.domain = *name;
            records.push_back(std::move(s));
        }
    }
    const auto byDomain = [](const Site& a, const Site& b) { return a.domain < b.domain; };
    if (std::is_sorted(records.begin(), records.end(), byDomain)) return records;
    // Sorted through their indices, then put in that order in place: a swap
    // per misplaced site, never a second copy of them all.
    std::vector<std::size_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return byDomain(records[a], records[b]); });
    for (std::size_t i = 0; i < order.size(); ++i) {
        // Position i takes the site first at order[i]: where an earlier swap
        // put it, followed through the positions already filled.
        std::size_t from = order[i];
        while (from < i) from = order[from];
        if (from != i) std::swap(records[i], records[from]);
        order[i] = from;
    }
    return records;
}

std::optional<Site> find(const std::vector<Site>& sites, std::string_view name) {
    for (const Site& s : sites) {
        if (s.domain == name || s.fullDomain() == name) return s;
    }
    return std::nullopt;
}

}  // namespace vesk::ServedSites

// vesk proxy NAME URL [--secure] [--any-host], vesk unproxy NAME, vesk
// proxies [--json]: NAME.<tld> forwards to a server of the developer's own
// (WebSocket upgrades included). A proxied site is a linked site like the
// others (so secure, open and sites take it), served from an empty
// directory of its own, with its target in config/proxies.json.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/sites/ServedSites.hpp"
#include "vesk/system/Spawn.hpp"

namespace vesk::cli {

RecordFile<std::vector<SiteProxy>> proxyRecords() {
    return RecordFile<std::vector<SiteProxy>>(VeskPaths::configDir() + "/proxies.json");
}

std::optional<ProxyTarget> proxyTargetOf(const std::vector<SiteProxy>& proxies, const Site& site) {
    for (const auto& p : proxies) {
        if (p.domain != site.fullDomain() || !site.isLinked) continue;
        auto target = ProxyTarget::parse(p.target);
        // A record changed by hand to another machine is not followed.
        if (target && (target->isLoopback() || p.anyHost)) return target;
        return std::nullopt;
    }
    return std::nullopt;
}

std::string proxyDirectory(const std::string& name) {
    return VeskPaths::baseDir() + "/proxies/" + name;
}

void addProxy(const std::string& name, const ProxyTarget& target, bool anyHost) {
    const std::string domain = name + "." + currentSettings().defaultTLD;
    for (const Site& s : servedSites()) {
        if (s.fullDomain() == domain && !proxyTargetOf(proxyRecords().read({}), s)) {
            throw Failure{domain + " is served from " + s.path +
                          " already: vesk unlink it first, or choose another name"};
        }
    }
    const std::string dir = proxyDirectory(name);
    ::mkdir((VeskPaths::baseDir() + "/proxies").c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
    proxyRecords().update({}, [&](std::vector<SiteProxy>& all) {
        all.erase(std::remove_if(all.begin(), all.end(),
                                 [&](const SiteProxy& p) { return p.domain == domain; }),
                  all.end());
        all.push_back(SiteProxy{domain, target.url(), anyHost});
    });
    recordLinkedSite(name, dir);
}

namespace {

int add(const Arguments& args) {
    if (args.words.size() != 2) throw UsageError{};
    const auto name = ServedSites::siteName(args.words[0]);
    if (!name) {
        throw Failure{"\"" + Unicode::terminalSafe(args.words[0], false) +
                      "\" cannot name a site: use letters, digits and hyphens (at most 63)"};
    }
    const auto target = ProxyTarget::parse(args.words[1]);
    if (!target) {
        throw Failure{"\"" + Unicode::terminalSafe(args.words[1], false) +
                      "\" is no target: a port (3000), host:port or an http:// URL of letters, "
                      "digits and /._~-%"};
    }
    const bool anyHost = args.has("--any-host");
    if (!target->isLoopback() && !anyHost) {
        throw Failure{target->url() +
                      " is not on this machine: vesk proxy forwards to 127.0.0.1, [::1] or "
                      "localhost unless you add --any-host"};
    }
    addProxy(*name, *target, anyHost);
    const std::string domain = *name + "." + currentSettings().defaultTLD;
    std::cout << "http://" << domain << " forwards to " << target->url() << "\n";
    applyConfiguration();
    if (args.has("--secure")) {
        std::string self(4096, '\0');
        const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
        self.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        std::cout.flush();
        // On this terminal: sudo may ask for the password that signs it.
        spawn::Request secure;
        secure.program = self;
        secure.arguments = {"secure", *name};
        const spawn::Result r = spawn::run(secure);
        if (r.exitStatus.value_or(1) != 0) {
            throw Failure{"the proxy is served over HTTP: vesk secure " + *name + " secures it"};
        }
    }
    return 0;
}

int remove(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const std::string& name = args.words[0];
    const std::string domain = name + "." + currentSettings().defaultTLD;
    bool found = false;
    proxyRecords().update({}, [&](std::vector<SiteProxy>& all) {
        const auto before = all.size();
        all.erase(std::remove_if(all.begin(), all.end(),
                                 [&](const SiteProxy& p) { return p.domain == domain; }),
                  all.end());
        found = all.size() != before;
    });
    if (!found) throw Failure{"no proxy " + domain + " (vesk proxies lists them)"};
    siteRecords().update({}, [&](std::vector<Site>& records) {
        records.erase(std::remove_if(records.begin(), records.end(),
                                     [&](const Site& s) {
                                         return s.isLinked && s.fullDomain() == domain &&
                                                s.path == proxyDirectory(name);
                                     }),
                      records.end());
    });
    ::rmdir(proxyDirectory(name).c_str());
    std::cout << domain << " no longer forwards\n";
    applyConfiguration();
    return 0;
}

}  // namespace

int proxy(const Arguments& args) {
    return add(args);
}

int unproxy(const Arguments& args) {
    return remove(args);
}

int proxies(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const auto all = proxyRecords().read({});
    if (args.has("--json")) {
        std::cout << scriptJSON(all, true) << "\n";
        return 0;
    }
    const auto sites = servedSites();
    for (const auto& p : all) {
        const auto site = std::find_if(sites.begin(), sites.end(),
                                       [&](const Site& s) { return s.fullDomain() == p.domain; });
        const bool secured = site != sites.end() && site->isSecured;
        std::cout << (secured ? "https://" : "http://") << p.domain << "/  -> " << p.target
                  << (p.anyHost ? "  (another machine)" : "") << "\n";
    }
    if (all.empty()) std::cout << "No proxies: vesk proxy NAME PORT|URL makes one\n";
    return 0;
}

}  // namespace vesk::cli

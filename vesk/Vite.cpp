// vesk vite [start] [SITE] [--port P] | stop [SITE] | logs [SITE] [-f] |
// list [--json]: a project's Vite dev server, run by the supervisor as the
// developer on 127.0.0.1 (its ViteConfig record), and reached through the
// site itself: the site's block forwards Vite's paths and its hot-reload
// WebSocket, so a page at https://app.test/ gets its modules and its HMR
// connection from its own origin. Vite is asked under the one host it
// allows unconfigured, so the project's Vite configuration is never edited.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/AtomicFile.hpp"

namespace vesk::cli {

RecordFile<std::vector<ViteConfig>> viteRecords() {
    return RecordFile<std::vector<ViteConfig>>(VeskPaths::configDir() + "/vite.json");
}

std::string viteLog(const std::string& domain) {
    return VeskPaths::logDir() + "/vite-" + domain + ".log";
}

void viteAnswers(const std::string& domain) {
    for (const auto& v : viteRecords().read({})) {
        if (v.siteDomain != domain) continue;
        // Laravel's Vite plugin writes the dev server's own address into
        // public/hot, which @vite reads: the site's instead, so the page
        // asks its own origin for the modules.
        struct stat st {};
        if (::stat((v.sitePath + "/artisan").c_str(), &st) != 0 ||
            ::stat((v.sitePath + "/public").c_str(), &st) != 0) {
            return;
        }
        bool secured = false;
        for (const Site& s : servedSites()) {
            if (s.fullDomain() == domain) secured = s.isSecured;
        }
        atomicfile::Options options;
        options.mode = 0644;
        options.sync = false;
        const int error = atomicfile::replace(v.sitePath + "/public/hot",
                                              (secured ? "https://" : "http://") + domain, options);
        if (error != 0) {
            std::cerr << "vesk: cannot write " << v.sitePath
                      << "/public/hot: " << std::strerror(error) << "\n";
        }
    }
}

namespace {

bool listening(std::int64_t port) {
    return acceptsConnections("127.0.0.1:" + std::to_string(port));
}

std::int64_t portFor(const Arguments& args, const std::vector<ViteConfig>& all,
                     const std::string& domain) {
    if (const auto given = args.value("--port")) {
        char* end = nullptr;
        const long port = std::strtol(given->c_str(), &end, 10);
        if (given->empty() || *end != '\0' || port < 1024 || port > 65535) {
            throw Failure{"--port takes a port from 1024 to 65535"};
        }
        return port;
    }
    for (const auto& v : all) {
        if (v.siteDomain == domain) return v.port;
    }
    for (std::int64_t port = vite::kFirstPort; port < vite::kFirstPort + 200; ++port) {
        const bool taken = std::any_of(all.begin(), all.end(),
                                       [&](const ViteConfig& v) { return v.port == port; });
        if (!taken && !listening(port)) return port;
    }
    throw Failure{"no free port from 5173 to 5372"};
}

int start(const Arguments& args, const Site& site) {
    if (!vite::usesVite(site.path)) {
        throw Failure{site.path + "/package.json does not name vite: npm install --save-dev vite"};
    }
    struct stat st {};
    if (::stat((site.path + "/node_modules/vite").c_str(), &st) != 0) {
        throw Failure{"vite is not installed in " + site.path + ": npm install there first"};
    }
    const auto started = std::chrono::steady_clock::now();
    ViteConfig config;
    viteRecords().update({}, [&](std::vector<ViteConfig>& all) {
        const std::int64_t port = portFor(args, all, site.fullDomain());
        all.erase(
            std::remove_if(all.begin(), all.end(),
                           [&](const ViteConfig& v) { return v.siteDomain == site.fullDomain(); }),
            all.end());
        config = ViteConfig{
            site.fullDomain(), site.path, port, false, nodeapps::managerOf(site.path), true,
            std::nullopt};
        all.push_back(config);
    });
    applyConfiguration();
    ensureSupervisor();
    notifySupervisor();
    const CommandLine c = vite::commandLine(config);
    std::cout << "Vite for " << config.siteDomain << ": " << config.startCommand() << " ("
              << c.program << ")\n";
    for (int i = 0; i < 300; ++i) {
        if (listening(config.port)) {
            viteAnswers(config.siteDomain);
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
            std::cout << "http" << (site.isSecured ? "s" : "") << "://" << config.siteDomain
                      << "/ serves its modules and hot reload (Vite answered after " << ms
                      << " ms)\n";
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::cout << "Vite does not answer on port " << config.port << " yet: vesk vite logs "
              << site.domain << " says why\n";
    return 0;
}

int stop(const Site& site) {
    bool found = false;
    viteRecords().update({}, [&](std::vector<ViteConfig>& all) {
        const auto before = all.size();
        all.erase(
            std::remove_if(all.begin(), all.end(),
                           [&](const ViteConfig& v) { return v.siteDomain == site.fullDomain(); }),
            all.end());
        found = all.size() != before;
    });
    if (!found) throw Failure{"Vite does not run for " + site.fullDomain()};
    applyConfiguration();
    notifySupervisor();
    std::cout << L10n::tr("services.stopped", "Vite for " + site.fullDomain()) << "\n";
    return 0;
}

}  // namespace

int vite(const Arguments& args) {
    const auto first = args.word(0);
    const bool verb =
        first && (*first == "start" || *first == "stop" || *first == "logs" || *first == "list");
    const std::string command = verb ? *first : "start";
    const std::size_t at = verb ? 1 : 0;
    if (args.words.size() > at + 1) throw UsageError{};
    if (command == "list") {
        const auto all = viteRecords().read({});
        if (args.has("--json")) {
            std::cout << scriptJSON(all, true) << "\n";
            return 0;
        }
        for (const auto& v : all) {
            std::cout << v.siteDomain << "  port " << v.port << "  "
                      << (listening(v.port) ? "running" : "not answering") << "  " << v.sitePath
                      << "\n";
        }
        if (all.empty()) std::cout << "No Vite dev servers: vesk vite SITE runs one\n";
        return 0;
    }
    const Site site = siteFor(args.word(at));
    if (command == "stop") return stop(site);
    if (command == "logs") {
        const bool follow = args.has("-f") || args.has("--follow");
        followLogs({viteLog(site.fullDomain())}, follow ? 10 : 50, follow);
        return 0;
    }
    return start(args, site);
}

}  // namespace vesk::cli

// vesk node start|stop|restart|logs [SITE], vesk node list [--json]: a
// Node.js project's own server (its package.json start script, through the
// package manager its lock file names) run by the supervisor as the
// developer, with PORT set to a port Vesk chose and recorded; the site's
// block forwards there while it is started. Started by the developer, then
// kept running, after a crash and at every boot, until stopped.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <thread>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/Fd.hpp"

namespace vesk::cli {

RecordFile<std::vector<NodeApp>> nodeRecords() {
    return RecordFile<std::vector<NodeApp>>(VeskPaths::configDir() + "/nodeapps.json");
}

std::string nodeLog(const std::string& domain) {
    return VeskPaths::logDir() + "/node-" + domain + ".log";
}

namespace {

/// Whether nothing listens on the loopback port.
bool portFree(std::int64_t port) {
    const Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

std::int64_t freePort(const std::vector<NodeApp>& apps) {
    for (std::int64_t port = nodeapps::kFirstPort; port < nodeapps::kFirstPort + 900; ++port) {
        const bool taken =
            std::any_of(apps.begin(), apps.end(), [&](const NodeApp& a) { return a.port == port; });
        if (!taken && portFree(port)) return port;
    }
    throw Failure{"no free port from " + std::to_string(nodeapps::kFirstPort) + " to " +
                  std::to_string(nodeapps::kFirstPort + 899)};
}

int start(const Site& site, bool restart) {
    const auto script =
        nodeapps::startScript(recordfile::readText(site.path + "/package.json").value_or(""));
    if (!script) {
        throw Failure{site.path + "/package.json has no start script: nothing to run for " +
                      site.fullDomain()};
    }
    if (::access("/usr/bin/npm", X_OK) != 0) {
        throw Failure{"npm is not installed: sudo apt install npm"};
    }
    NodeApp app;
    nodeRecords().update({}, [&](std::vector<NodeApp>& all) {
        for (NodeApp& a : all) {
            if (a.siteDomain == site.fullDomain()) {
                a.enabled = true;
                app = a;
                return;
            }
        }
        app = NodeApp{site.fullDomain(), freePort(all), true};
        all.push_back(app);
    });
    const std::string unit = std::string(kNodePrefix) + app.siteDomain;
    if (restart) {
        changeWanted([&](supervision::Wanted& wanted) { wanted.restart.push_back(unit); });
    }
    applyConfiguration();
    ensureSupervisor();
    notifySupervisor();
    const CommandLine c = nodeapps::commandLine(app, nodeapps::managerOf(site.path));
    std::cout << "Node.js server for " << app.siteDomain << ": " << c.program << " run start ("
              << *script << ") with PORT=" << app.port << "\n";
    for (int i = 0; i < 150; ++i) {
        if (acceptsConnections("127.0.0.1:" + std::to_string(app.port))) {
            std::cout << "http" << (site.isSecured ? "s" : "") << "://" << app.siteDomain
                      << "/ forwards to it (port " << app.port << ")\n";
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::cout << "It does not answer on port " << app.port << " yet: vesk node logs " << site.domain
              << " says why\n";
    return 0;
}

int stop(const Site& site) {
    bool found = false;
    nodeRecords().update({}, [&](std::vector<NodeApp>& all) {
        for (NodeApp& a : all) {
            if (a.siteDomain == site.fullDomain()) {
                a.enabled = false;
                found = true;
            }
        }
    });
    if (!found) throw Failure{"no Node.js server runs for " + site.fullDomain()};
    applyConfiguration();
    notifySupervisor();
    std::cout << L10n::tr("services.stopped", "Node.js server for " + site.fullDomain()) << "\n";
    return 0;
}

int list(const Arguments& args) {
    const auto all = nodeRecords().read({});
    if (args.has("--json")) {
        std::cout << scriptJSON(all, true) << "\n";
        return 0;
    }
    for (const auto& a : all) {
        std::cout << a.siteDomain << "  port " << a.port << "  "
                  << (a.enabled ? (acceptsConnections("127.0.0.1:" + std::to_string(a.port))
                                       ? "running"
                                       : "started, not answering")
                                : "stopped")
                  << "\n";
    }
    if (all.empty()) std::cout << "No Node.js servers: vesk node start SITE runs one\n";
    return 0;
}

}  // namespace

int node(const Arguments& args) {
    const auto verb = args.word(0);
    if (!verb) throw UsageError{};
    if (*verb == "list" && args.words.size() == 1) return list(args);
    if (args.words.size() > 2) throw UsageError{};
    const Site site = siteFor(args.word(1));
    if (*verb == "start") return start(site, false);
    if (*verb == "restart") return start(site, true);
    if (*verb == "stop") return stop(site);
    if (*verb == "logs") {
        const bool follow = args.has("-f") || args.has("--follow");
        followLogs({nodeLog(site.fullDomain())}, follow ? 10 : 50, follow);
        return 0;
    }
    throw UsageError{};
}

std::vector<DiagnosticResult> nodeChecks() {
    std::vector<DiagnosticResult> results;
    const auto apps = nodeRecords().read({});
    if (apps.empty()) return results;
    const Ran version = run("/usr/bin/node", {"--version"}, std::chrono::seconds(5));
    int major = 0;
    if (version.status == 0 && version.output.size() > 1)
        major = std::atoi(version.output.c_str() + 1);
    for (const Site& site : servedSites()) {
        const bool started = std::any_of(apps.begin(), apps.end(), [&](const NodeApp& a) {
            return a.enabled && a.siteDomain == site.fullDomain();
        });
        if (!started) continue;
        const std::string what = site.fullDomain() + "'s Node.js version";
        if (major == 0) {
            results.push_back({what, DiagnosticSeverity::error,
                               std::string("node is not installed: sudo apt install nodejs npm")});
            continue;
        }
        const auto wanted = nodeapps::requestedVersion(site.path);
        if (wanted && !nodeapps::satisfies(*wanted, major)) {
            results.push_back({what, DiagnosticSeverity::warning,
                               "the project asks for Node.js " + *wanted +
                                   " (.nvmrc or engines.node), and Vesk "
                                   "runs Debian's node, " +
                                   std::to_string(major) +
                                   ": change what the project asks "
                                   "for, or install that version as /usr/bin/node"});
        } else {
            results.push_back({what, DiagnosticSeverity::passed, std::nullopt});
        }
    }
    return results;
}

}  // namespace vesk::cli

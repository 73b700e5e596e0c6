// vesk xdebug on|off|status: Xdebug for the requests that ask for it. The
// pools the sites use never load it; while it is on, each PHP version the
// sites need gets a second pool that does (in the one mode chosen), and
// nginx sends it the requests that carry one of Xdebug's triggers as a
// cookie or a query parameter.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/PHPPool.hpp"
#include "vesk/system/RecordFile.hpp"

namespace vesk::cli {

RecordFile<XdebugSettings> xdebugRecord() {
    return RecordFile<XdebugSettings>(VeskPaths::configDir() + "/xdebug.json");
}

std::string xdebugOutputDir() {
    return VeskPaths::baseDir() + "/xdebug";
}

bool xdebugInstalled(const Servers& env, const std::string& version) {
    return ::access(
               (env.layout.debianPHPDir + "/" + version + "/mods-available/xdebug.ini").c_str(),
               R_OK) == 0;
}

std::vector<std::string> xdebugPools(const Servers& env, const AppConfig& config,
                                     const std::vector<Site>& sites) {
    const XdebugSettings& x = env.layout.xdebug;
    std::vector<std::string> pools;
    if (!x.on) return pools;
    std::vector<std::string> versions;
    if (x.sites.empty()) {
        versions = phpVersionsInUse(config, sites);
    } else {
        for (const Site& s : sites) {
            const std::string v = s.phpVersion.value_or(config.defaultPHPVersion);
            if (x.coversSite(s.fullDomain()) &&
                std::find(versions.begin(), versions.end(), v) == versions.end()) {
                versions.push_back(v);
            }
        }
    }
    const auto available = env.phpVersions();
    for (const auto& v : versions) {
        if (std::find(available.begin(), available.end(), v) != available.end() &&
            xdebugInstalled(env, v)) {
            pools.push_back(PHPPool{v, x.config.mode}.name());
        }
    }
    return pools;
}

namespace {

std::string describe(const XdebugSettings& x) {
    std::string where = "every site";
    if (!x.sites.empty()) {
        where.clear();
        for (const auto& s : x.sites) where += (where.empty() ? "" : ", ") + s;
    }
    return std::string(rawValue(x.config.mode)) + ", for " + where + "; IDE key " +
           x.config.ideKey + ", " + x.config.clientHost + ":" + std::to_string(x.config.clientPort);
}

/// The versions the sites use that have no Xdebug, with the way to get it.
void sayWhatIsMissing(const Servers& env) {
    for (const auto& v : phpVersionsInUse(currentSettings(), servedSites())) {
        if (!xdebugInstalled(env, v)) {
            std::cout << "PHP " << v << " has no Xdebug: sudo apt install php" << v << "-xdebug\n";
        }
    }
}

int on(const Arguments& args) {
    const Servers env = servers();
    if (!env.installed()) throw Failure{env.notInstalledReason()};
    XdebugSettings x = xdebugRecord().read({});
    const XdebugSettings before = x;
    // Each option given changes the setting; the others stay as they were.
    if (const auto mode = args.value("--mode")) {
        const auto m = fromRawValue<XdebugMode>(*mode);
        if (!m) throw Failure{"--mode takes debug, profile or trace"};
        x.config.mode = *m;
    }
    if (const auto ide = args.value("--ide")) {
        const auto preset = fromRawValue<IDEPreset>(*ide);
        if (!preset) throw Failure{"--ide takes vscode or phpstorm"};
        x.config.ideKey = std::string(ideKey(*preset));
    }
    if (const auto key = args.value("--key")) x.config.ideKey = *key;
    if (const auto host = args.value("--host")) x.config.clientHost = *host;
    if (const auto port = args.value("--port")) {
        char* end = nullptr;
        const long value = std::strtol(port->c_str(), &end, 10);
        if (port->empty() || *end != '\0' || value < 1 || value > 65535) {
            throw Failure{"--port takes a port from 1 to 65535, not " +
                          Unicode::terminalSafe(*port, false)};
        }
        x.config.clientPort = value;
    }
    if (args.has("--trigger")) x.config.startWithRequest = false;
    if (args.has("--always")) x.config.startWithRequest = true;
    if (!ServerConfig::isXdebugConfig(x.config)) {
        throw Failure{
            "an IDE key is letters, digits and _.- (64 at most), a host a name or an "
            "address"};
    }
    if (const auto name = args.word(1)) {
        const Site site = siteFor(*name);
        if (x.on && x.sites.empty()) {
            std::cout << "Xdebug is on for every site already\n";
        } else {
            if (!x.on) x.sites.clear();
            if (std::find(x.sites.begin(), x.sites.end(), site.fullDomain()) == x.sites.end()) {
                x.sites.push_back(site.fullDomain());
            }
        }
    } else {
        x.sites.clear();
    }
    x.on = true;
    ::mkdir(xdebugOutputDir().c_str(), 0700);
    const auto sites = servedSites();
    Servers next = env;
    next.layout.xdebug = x;
    if (xdebugPools(next, currentSettings(), sites).empty()) {
        sayWhatIsMissing(env);
        throw Failure{"no PHP version the sites use has Xdebug: nothing was changed"};
    }
    xdebugRecord().update({}, [&](XdebugSettings& stored) { stored = x; });
    try {
        applyConfiguration(true);
    } catch (...) {
        xdebugRecord().update({}, [&](XdebugSettings& stored) { stored = before; });
        throw;
    }
    notifySupervisor();
    std::cout << "Xdebug on (" << describe(x) << ")\n"
              << "Requests with the XDEBUG_SESSION or XDEBUG_TRIGGER cookie or query parameter "
                 "(or XDEBUG_PROFILE, XDEBUG_TRACE) reach PHP with Xdebug; every other request "
                 "runs without it.\n";
    if (x.config.mode == XdebugMode::debug) {
        std::cout << "Your IDE listens on " << x.config.clientPort << " (VS Code: \"Listen for "
                  << "Xdebug\"; PhpStorm: Start Listening for PHP Debug Connections).\n";
    } else {
        std::cout << "Files go to " << xdebugOutputDir()
                  << (x.config.mode == XdebugMode::profile ? "; vesk profile import reads them"
                                                           : "")
                  << "\n";
    }
    sayWhatIsMissing(env);
    return 0;
}

int off(const Arguments& args) {
    XdebugSettings x = xdebugRecord().read({});
    if (!x.on) {
        std::cout << "Xdebug is off\n";
        return 0;
    }
    if (const auto name = args.word(1)) {
        const Site site = siteFor(*name);
        if (x.sites.empty()) {
            throw Failure{
                "Xdebug is on for every site: vesk xdebug off turns it off, vesk xdebug "
                "on SITE turns it on for one"};
        }
        const auto it = std::find(x.sites.begin(), x.sites.end(), site.fullDomain());
        if (it == x.sites.end()) throw Failure{"Xdebug is not on for " + site.fullDomain()};
        x.sites.erase(it);
        x.on = !x.sites.empty();
    } else {
        x.on = false;
        x.sites.clear();
    }
    xdebugRecord().update({}, [&](XdebugSettings& stored) { stored = x; });
    applyConfiguration(true);
    notifySupervisor();
    std::cout << (x.on ? "Xdebug on (" + describe(x) + ")" : std::string("Xdebug off")) << "\n";
    return 0;
}

int show(const Arguments& args) {
    const Servers env = servers();
    const XdebugSettings& x = env.layout.xdebug;
    if (args.has("--json")) {
        std::cout << scriptJSON(x, true) << "\n";
        return 0;
    }
    std::cout << (x.on ? "Xdebug on (" + describe(x) + ")" : std::string("Xdebug off")) << "\n";
    for (const auto& v : env.phpVersions()) {
        std::cout << "  PHP " << v << ": "
                  << (xdebugInstalled(env, v) ? "Xdebug installed"
                                              : "no Xdebug (sudo apt install php" + v + "-xdebug)");
        if (x.on) {
            const std::string pool = PHPPool{v, x.config.mode}.name();
            const auto pid = env.phpPid(pool);
            if (pid) std::cout << ", its pool runs (pid " << *pid << ")";
        }
        std::cout << "\n";
    }
    std::cout << "  Sites' pools never load it; requests carrying XDEBUG_SESSION or "
                 "XDEBUG_TRIGGER reach it while it is on.\n";
    std::cout << "  Profiles and traces: " << xdebugOutputDir() << "\n";
    return 0;
}

}  // namespace

std::vector<DiagnosticResult> xdebugChecks() {
    std::vector<DiagnosticResult> results;
    const Servers env = servers();
    const XdebugSettings& x = env.layout.xdebug;
    if (!x.on) return results;
    const auto wanted = xdebugPools(env, currentSettings(), servedSites());
    if (wanted.empty()) {
        results.push_back({"Xdebug is on", DiagnosticSeverity::warning,
                           std::string("no PHP version the sites use has it (sudo apt install "
                                       "php") +
                               currentSettings().defaultPHPVersion +
                               "-xdebug), or vesk xdebug off"});
    }
    for (const auto& pool : wanted) {
        const std::string what = "PHP " + pool + " (Xdebug's pool) runs";
        results.push_back(env.phpPid(pool)
                              ? DiagnosticResult{what, DiagnosticSeverity::passed, std::nullopt}
                              : DiagnosticResult{what, DiagnosticSeverity::warning,
                                                 std::string("vesk restart php; vesk logs php "
                                                             "says why it stopped")});
    }
    return results;
}

int xdebug(const Arguments& args) {
    const std::string sub = args.word(0).value_or("status");
    if (sub == "on" && args.words.size() <= 2) return on(args);
    if (sub == "off" && args.words.size() <= 2) return off(args);
    if (sub == "status" && args.words.size() <= 1) return show(args);
    throw UsageError{};
}

}  // namespace vesk::cli

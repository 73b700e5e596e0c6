// vesk service list|start|stop|restart|status|logs: the developer's services,
// run by the supervisor from Debian's programs. start and stop change what
// the supervisor keeps running (the settings' autoStartServices, which it
// also starts at boot) and wait for it to have done so.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/VeskError.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/Spawn.hpp"

namespace vesk::cli {

namespace {

/// How long start waits for a service to accept connections (a first start
/// makes its data directory).
constexpr int kStartWaitSeconds = 90;
constexpr int kStopWaitSeconds = 40;

/// The kind named, runnable here; a Failure that says why not.
std::pair<ServiceType, ServiceRecipe> runnable(const std::string& name) {
    const auto type = fromRawValue<ServiceType>(name);
    if (!type) {
        std::string kinds;
        for (const ServiceType t : allCases<ServiceType>()) {
            kinds += (kinds.empty() ? "" : ", ") + std::string(rawValue(t));
        }
        throw Failure{"no service is called " + name + ": the services are " + kinds};
    }
    const auto recipe = recipes::recipeFor(*type);
    if (!recipe) throw Failure{recipes::notPackaged(*type)};
    if (::access(recipe->server.c_str(), X_OK) != 0)
        throw Failure{recipes::packageMissing(*recipe)};
    return {*type, *recipe};
}

/// The kinds named, or with none every kind the settings keep running.
std::vector<ServiceType> named(const Arguments& args, bool noneMeansEnabled) {
    std::vector<ServiceType> types;
    for (const auto& word : args.words) {
        const auto type = fromRawValue<ServiceType>(word);
        if (!type) runnable(word);
        if (type && std::find(types.begin(), types.end(), *type) == types.end()) {
            types.push_back(*type);
        }
    }
    if (types.empty() && noneMeansEnabled) types = currentSettings().autoStartServices;
    return types;
}

std::string versionOf(const ServiceRecipe& recipe) {
    spawn::Request request;
    request.program = recipe.server;
    request.arguments = recipe.versionCommand().arguments;
    request.output = spawn::Output::capture;
    request.limit = std::chrono::seconds(5);
    return recipe.versionFrom(spawn::run(request).output).value_or("");
}

/// What the supervisor says of `type` now.
std::optional<supervision::SupervisedServer> reported(ServiceType type) {
    const auto report = supervisorReport().read({});
    if (!supervisorPid()) return std::nullopt;
    if (const auto* s = report.find(std::string(rawValue(type)))) return *s;
    return std::nullopt;
}

/// Waits until `done` holds of the report, or `seconds` pass.
template <class Done>
std::optional<supervision::SupervisedServer> waitFor(ServiceType type, int seconds, Done done) {
    std::optional<supervision::SupervisedServer> last;
    for (int i = 0; i < seconds * 10; ++i) {
        last = reported(type);
        if (done(last)) return last;
        ::usleep(100'000);
    }
    return last;
}

std::string lastCrashText(const ServiceHealth& health) {
    if (health.recentCrashes.empty()) return {};
    const CrashEvent& c = health.recentCrashes.back();
    std::string text = c.timestamp.iso8601();
    if (c.exitCode) text += ", exit status " + std::to_string(*c.exitCode);
    if (c.signal) text += ", signal " + std::to_string(*c.signal);
    if (c.reason) text += ": " + *c.reason;
    return text;
}

int startServices(const Arguments& args, bool restart) {
    if (args.words.empty()) throw UsageError{};
    std::vector<std::pair<ServiceType, ServiceRecipe>> kinds;
    for (const auto& word : args.words) kinds.push_back(runnable(word));
    settings().update(newSettings(), [&](AppConfig& c) {
        for (const auto& [type, recipe] : kinds) {
            if (std::find(c.autoStartServices.begin(), c.autoStartServices.end(), type) ==
                c.autoStartServices.end()) {
                c.autoStartServices.push_back(type);
            }
        }
    });
    std::map<ServiceType, std::optional<std::int64_t>> before;
    for (const auto& [type, recipe] : kinds) {
        const auto now = reported(type);
        before[type] = now ? now->pid : std::nullopt;
    }
    changeWanted([&](supervision::Wanted& w) {
        for (const auto& [type, recipe] : kinds) {
            if (restart || !before[type]) w.restart.emplace_back(rawValue(type));
        }
    });
    ensureSupervisor();
    // What the supervisor reported before it took the request says nothing.
    for (int i = 0; i < 50 && !supervisorWanted().read({}).restart.empty(); ++i) ::usleep(20'000);
    std::map<ServiceType, std::int64_t> crashes;
    for (const auto& [type, recipe] : kinds) {
        const auto now = reported(type);
        crashes[type] = now ? now->health.crashCount : 0;
    }
    int failures = 0;
    for (const auto& kind : kinds) {
        const ServiceType type = kind.first;
        const ServiceRecipe& recipe = kind.second;
        const std::string display(displayName(type));
        const auto old = before[type];
        const auto s = waitFor(type, kStartWaitSeconds, [&](const auto& r) {
            if (!r) return false;
            // A crash since is reported at once; the supervisor goes on trying.
            if (r->status == ServiceStatus::error || r->health.crashCount > crashes[type]) {
                return true;
            }
            const bool fresh = !restart || (r->pid && r->pid != old);
            return r->status == ServiceStatus::running && fresh;
        });
        if (s && s->status == ServiceStatus::running) {
            std::cout << L10n::tr(restart ? "services.restarted" : "services.started", display)
                      << " on 127.0.0.1:" << defaultPort(type)
                      << (recipe.runsAs
                              ? " (" + *recipe.runsAs + ": Debian ships no " + display + ")"
                              : "")
                      << "\n";
            continue;
        }
        ++failures;
        std::string why = s ? lastCrashText(s->health) : "the supervisor did not report it";
        if (s && s->health.crashCount > crashes[type] && s->status != ServiceStatus::error) {
            why += " (tried again after the back-off: vesk service status " +
                   std::string(rawValue(type)) + ")";
        } else if (s && s->status != ServiceStatus::error) {
            why = "it is still starting: vesk service status " + std::string(rawValue(type));
        }
        std::cerr << "vesk: " << VeskError::serviceFailed(type, why).errorDescription() << "\n";
    }
    return failures == 0 ? 0 : 1;
}

int stopServices(const Arguments& args) {
    const auto types = named(args, false);
    if (types.empty()) throw UsageError{};
    settings().update(newSettings(), [&](AppConfig& c) {
        auto& list = c.autoStartServices;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](ServiceType t) {
                                      return std::find(types.begin(), types.end(), t) !=
                                             types.end();
                                  }),
                   list.end());
    });
    notifySupervisor();
    for (const ServiceType type : types) {
        const auto s = waitFor(type, kStopWaitSeconds, [](const auto& r) { return !r || !r->pid; });
        if (s && s->pid) {
            std::cerr << "vesk: " << displayName(type) << " is still stopping\n";
            return 1;
        }
        std::cout << L10n::tr("services.stopped", std::string(displayName(type))) << "\n";
    }
    return 0;
}

/// The instance record of `type`: as stored, or as it would be.
Service recordOf(ServiceType type, const ServiceRecipe& recipe,
                 const std::vector<Service>& stored) {
    for (const Service& s : stored) {
        if (s.type == type) return s;
    }
    const auto paths = recipe.paths(VeskPaths::baseDir());
    return Service(UUID::random(), type, std::nullopt, "", ServiceStatus::stopped, std::nullopt,
                   paths.dataDirectory, paths.configPath, paths.logPath);
}

int list(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const auto stored = serviceRecords().read({});
    const auto enabled = currentSettings().autoStartServices;
    const bool supervising = supervisorPid().has_value();
    const auto report = supervisorReport().read({});
    std::vector<Service> services;
    for (const ServiceType type : allCases<ServiceType>()) {
        const auto recipe = recipes::recipeFor(type);
        const std::string display(displayName(type));
        if (!recipe) {
            if (!args.has("--json")) {
                std::cout << std::string(rawValue(type))
                          << std::string(13 - rawValue(type).size(), ' ')
                          << "not packaged by Debian (port " << defaultPort(type) << ")\n";
            }
            continue;
        }
        Service s = recordOf(type, *recipe, stored);
        const bool installed = ::access(recipe->server.c_str(), X_OK) == 0;
        if (s.version.empty() && installed) s.version = versionOf(*recipe);
        const auto* r = supervising ? report.find(std::string(rawValue(type))) : nullptr;
        s.status = r != nullptr ? r->status : ServiceStatus::stopped;
        services.push_back(s);
        if (args.has("--json")) continue;
        const bool on = std::find(enabled.begin(), enabled.end(), type) != enabled.end();
        std::cout << std::string(rawValue(type)) << std::string(13 - rawValue(type).size(), ' ');
        if (!installed) {
            std::cout << "not installed: sudo apt install " << recipe->package << "\n";
            continue;
        }
        std::cout << (s.status == ServiceStatus::running ? L10n::tr("services.running")
                                                         : std::string(rawValue(s.status)))
                  << ", port " << s.port << ", " << recipe->runsAs.value_or(display) << " "
                  << s.version << (on ? ", kept running" : "") << "\n";
    }
    if (args.has("--json")) std::cout << scriptJSON(services, true) << "\n";
    return 0;
}

std::string uptimeText(double seconds) {
    const long s = std::lround(seconds);
    if (s < 120) return std::to_string(s) + " s";
    if (s < 7200) return std::to_string(s / 60) + " min";
    return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

int serviceStatus(const Arguments& args) {
    const auto types = named(args, true);
    const bool supervising = supervisorPid().has_value();
    const auto report = supervisorReport().read({});
    std::vector<supervision::SupervisedServer> shown;
    int down = 0;
    for (const ServiceType type : types) {
        const std::string name(rawValue(type));
        const auto* r = supervising ? report.find(name) : nullptr;
        supervision::SupervisedServer s;
        if (r != nullptr) {
            s = *r;
        } else {
            s.name = name;
            s.health = supervision::Watch::freshHealth(type);
        }
        if (s.status != ServiceStatus::running) ++down;
        shown.push_back(s);
    }
    if (args.has("--json")) {
        std::cout << scriptJSON(shown, true) << "\n";
        return down == 0 ? 0 : 3;
    }
    if (!supervising)
        std::cout << "The supervisor does not run: vesk start or vesk service start\n";
    if (shown.empty()) std::cout << "No service is kept running: vesk service start mariadb\n";
    for (const auto& s : shown) {
        const auto type = *fromRawValue<ServiceType>(s.name);
        const auto recipe = recipes::recipeFor(type);
        std::cout << displayName(type);
        if (recipe && recipe->runsAs)
            std::cout << " (" << *recipe->runsAs << ": Debian ships no MySQL)";
        std::cout << "\n  "
                  << (s.status == ServiceStatus::running ? L10n::tr("services.running")
                                                         : std::string(rawValue(s.status)));
        if (s.pid) std::cout << " (pid " << *s.pid << ")";
        if (!s.pid && s.health.status == HealthStatus::recovering) {
            std::cout << ", started again after the back-off";
        }
        std::cout << " on 127.0.0.1:" << defaultPort(type) << "\n";
        if (s.usage) {
            std::cout << "  CPU " << std::lround(s.usage->cpuPercent) << "%, memory "
                      << std::lround(s.usage->memoryMB) << " MB (average "
                      << std::lround(s.averageCPU) << "%, " << std::lround(s.averageMemoryMB)
                      << " MB), up " << uptimeText(s.usage->uptime) << "\n";
        }
        for (const auto& alert : s.alerts) std::cout << "  warning: " << alert << "\n";
        const ServiceHealth& h = s.health;
        std::cout << "  health " << label(h.status) << ", " << h.crashCount << " crash"
                  << (h.crashCount == 1 ? "" : "es") << ", " << h.currentRetries << " of "
                  << h.maxRetries << " retries used\n";
        const std::size_t from = h.recentCrashes.size() > 3 ? h.recentCrashes.size() - 3 : 0;
        for (std::size_t i = from; i < h.recentCrashes.size(); ++i) {
            const CrashEvent& c = h.recentCrashes[i];
            std::cout << "  crashed " << c.timestamp.iso8601();
            if (c.exitCode) std::cout << ", exit status " << *c.exitCode;
            if (c.signal) std::cout << ", signal " << *c.signal;
            std::cout << (c.restartSucceeded ? ", restarted" : "");
            if (c.reason) std::cout << ": " << *c.reason;
            std::cout << "\n";
        }
    }
    return down == 0 ? 0 : 3;
}

int serviceLogs(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const auto [type, recipe] = runnable(args.words[0]);
    const bool follow = args.has("-f") || args.has("--follow");
    followLogs({recipe.paths(VeskPaths::baseDir()).logPath}, follow ? 10 : 50, follow);
    return 0;
}

}  // namespace

std::vector<DiagnosticResult> supervisionChecks() {
    std::vector<DiagnosticResult> results;
    const bool supervising = supervisorPid().has_value();
    const auto report = supervisorReport().read({});
    const auto enabled = currentSettings().autoStartServices;
    if (servers().installed() || !enabled.empty()) {
        results.push_back(
            supervising ? DiagnosticResult{"the supervisor keeps the servers up",
                                           DiagnosticSeverity::passed, std::nullopt}
                        : DiagnosticResult{"the supervisor keeps the servers up",
                                           DiagnosticSeverity::warning,
                                           std::string("it does not run, so nothing is "
                                                       "restarted after a crash: vesk start")});
    }
    if (supervising) {
        for (const auto& s : report.servers) {
            if (fromRawValue<ServiceType>(s.name) || s.health.status != HealthStatus::degraded) {
                continue;
            }
            const bool worker = s.name.rfind(kWorkerPrefix, 0) == 0;
            const std::string again =
                worker ? "vesk worker logs " + s.name.substr(kWorkerPrefix.size()) +
                             " says more; vesk worker start " +
                             s.name.substr(kWorkerPrefix.size()) + " tries again"
                       : std::string("vesk start tries again");
            results.push_back({s.name + " is kept running", DiagnosticSeverity::error,
                               "it crashed " + std::to_string(s.health.currentRetries) +
                                   " times in a row and is left stopped; last: " +
                                   lastCrashText(s.health) + "\n      " + again});
        }
    }
    for (const ServiceType type : enabled) {
        const auto recipe = recipes::recipeFor(type);
        if (!recipe) continue;
        const std::string name(rawValue(type));
        const std::string label = std::string(displayName(type)) +
                                  " answers on 127.0.0.1:" + std::to_string(defaultPort(type));
        const auto* s = supervising ? report.find(name) : nullptr;
        const auto holder = procfs::tcpPortHolder(defaultPort(type));
        const bool ours = holder && s != nullptr && s->pid && holder->pid == *s->pid;
        if (::access(recipe->server.c_str(), X_OK) != 0) {
            results.push_back({label, DiagnosticSeverity::error, recipes::packageMissing(*recipe)});
        } else if (holder && !ours && (s == nullptr || !s->pid)) {
            results.push_back(
                {label, DiagnosticSeverity::error,
                 portHeld(defaultPort(type), *holder) + "\n      then vesk service start " + name});
        } else if (s != nullptr && s->health.status == HealthStatus::degraded) {
            std::string why = "it crashed " + std::to_string(s->health.currentRetries) +
                              " times in a row and is left stopped; last: ";
            why += lastCrashText(s->health);
            why += "\n      vesk service logs " + name;
            why += " says more; vesk service start " + name;
            why += " tries again";
            results.push_back({label, DiagnosticSeverity::error, why});
        } else if (!acceptsConnections("127.0.0.1:" + std::to_string(defaultPort(type)))) {
            results.push_back(
                {label, DiagnosticSeverity::error,
                 std::string(supervising
                                 ? "it is starting, or starting again after a crash: vesk "
                                   "service status " +
                                       name
                                 : "the supervisor does not run: vesk service start " + name)});
        } else if (s != nullptr && !s->alerts.empty()) {
            results.push_back({label, DiagnosticSeverity::warning, s->alerts.front()});
        } else {
            results.push_back({label, DiagnosticSeverity::passed, std::nullopt});
        }
    }
    return results;
}

int service(const Arguments& args) {
    const auto verb = args.word(0);
    if (!verb) throw UsageError{};
    Arguments rest = args;
    rest.words.erase(rest.words.begin());
    if (*verb == "list") return list(rest);
    if (*verb == "start") return startServices(rest, false);
    if (*verb == "restart") return startServices(rest, true);
    if (*verb == "stop") return stopServices(rest);
    if (*verb == "status") return serviceStatus(rest);
    if (*verb == "logs") return serviceLogs(rest);
    throw UsageError{};
}

}  // namespace vesk::cli

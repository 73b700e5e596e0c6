// vesk start|stop|restart [nginx|php|dnsmasq], vesk status, vesk logs, vesk open
#include <unistd.h>

#include <iostream>

#include "Command.hpp"
#include "vesk/L10n.hpp"
#include "vesk/ServedSites.hpp"

namespace vesk::cli {

namespace {

enum class Which { all, nginx, php, dnsmasq };

Which whichOf(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const auto word = args.word(0);
    if (!word) return Which::all;
    if (*word == "nginx") return Which::nginx;
    if (*word == "php") return Which::php;
    if (*word == "dnsmasq") return Which::dnsmasq;
    throw UsageError{};
}

Servers installedServers() {
    Servers env = servers();
    if (!env.installed()) throw Failure{"the servers are not set up yet: sudo vesk install"};
    return env;
}

/// The pools the sites need, whose PHP-FPM the environment holds.
std::vector<std::string> poolsToRun(const Servers& env) {
    const auto available = env.phpVersions();
    std::vector<std::string> pools;
    for (const auto& v : phpVersionsInUse(currentSettings(), servedSites())) {
        if (std::find(available.begin(), available.end(), v) != available.end()) {
            pools.push_back(v);
        } else {
            std::cerr << "vesk: PHP " << v
                      << " is not in the environment; sudo vesk install copies the PHP-FPM "
                         "versions installed on this machine\n";
        }
    }
    return pools;
}

/// Has the helper start a server; when it cannot, says what holds its ports.
void startServer(HelperOperation operation, const std::vector<std::string>& texts,
                 std::initializer_list<int> ports) {
    try {
        callHelper(operation, texts);
    } catch (const Failure& f) {
        std::string message = f.message;
        for (const int port : ports) {
            if (const auto taken = portTaken(port)) message += "\n  " + *taken;
        }
        throw Failure{message};
    }
}

void startServers(const Servers& env, Which which) {
    const auto started = [](const std::string& name) {
        std::cout << L10n::tr("services.started", name) << "\n";
    };
    if (which == Which::all || which == Which::dnsmasq) {
        if (!env.dnsmasqPid()) {
            startServer(HelperOperation::startDnsmasq, {env.dnsmasqConf()}, {53});
            started("dnsmasq");
        }
    }
    if (which == Which::all || which == Which::php) {
        for (const auto& v : poolsToRun(env)) {
            if (env.phpPid(v)) continue;
            callHelper(HelperOperation::startPHPFPM, {v, env.phpConf(v)});
            started("PHP " + v);
        }
    }
    if (which == Which::all || which == Which::nginx) {
        if (!env.nginxPid()) {
            startServer(HelperOperation::startNginx, {env.nginxConf()}, {80, 443});
            started("nginx");
        }
    }
}

void stopServers(const Servers& env, Which which) {
    const auto stopped = [](const std::string& name) {
        std::cout << L10n::tr("services.stopped", name) << "\n";
    };
    if (which == Which::all || which == Which::nginx) {
        if (env.nginxPid()) {
            callHelper(HelperOperation::stopNginx, {});
            stopped("nginx");
        }
    }
    if (which == Which::all || which == Which::php) {
        for (const auto& v : env.phpVersions()) {
            if (!env.phpPid(v)) continue;
            callHelper(HelperOperation::stopPHPFPM, {v});
            stopped("PHP " + v);
        }
    }
    if (which == Which::all || which == Which::dnsmasq) {
        if (env.dnsmasqPid()) {
            callHelper(HelperOperation::stopDnsmasq, {});
            stopped("dnsmasq");
        }
    }
}

/// Replaces this process with a program found on the search path.
[[noreturn]] void execute(std::vector<std::string> words) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    throw Failure{"cannot run " + words[0]};
}

/// Waits up to two seconds for `stopped` to hold.
template <class Predicate>
void waitFor(Predicate stopped) {
    for (int i = 0; i < 40 && !stopped(); ++i) ::usleep(50'000);
}

void printState(const std::string& name, std::optional<long> pid, const std::string& detail) {
    std::cout << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ');
    if (pid) {
        std::cout << L10n::tr("services.running") << " (pid " << *pid << ")" << detail << "\n";
    } else {
        std::cout << L10n::tr("services.notRunning") << "\n";
    }
}

}  // namespace

int start(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    applyConfiguration(false);
    startServers(env, which);
    return 0;
}

int stop(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    stopServers(env, which);
    return 0;
}

int restart(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    stopServers(env, which);
    waitFor([&] {
        bool any = (which == Which::all || which == Which::nginx) && env.nginxPid();
        if (which == Which::all || which == Which::dnsmasq) any = any || env.dnsmasqPid();
        return !any;
    });
    applyConfiguration(false);
    startServers(env, which);
    return 0;
}

int status(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const Servers env = servers();
    if (!env.installed()) {
        std::cout << "not set up: sudo vesk install\n";
        return 1;
    }
    const auto sites = servedSites();
    std::size_t secured = 0;
    for (const Site& s : sites) secured += s.isSecured ? 1 : 0;
    std::string ports = ", ports 80";
    if (secured > 0) ports += " and 443";
    printState("nginx", env.nginxPid(),
               ports + ", " + std::to_string(sites.size()) + " sites (" + std::to_string(secured) +
                   " secured)");
    for (const auto& v : env.phpVersions()) {
        std::size_t count = 0;
        const std::string fallback = currentSettings().defaultPHPVersion;
        for (const Site& s : sites) count += s.phpVersion.value_or(fallback) == v ? 1 : 0;
        printState("php " + v, env.phpPid(v),
                   ", " + env.layout.phpSocket(v) + ", " + std::to_string(count) + " sites");
    }
    printState("dnsmasq", env.dnsmasqPid(),
               ", 127.0.0.1 port 53, ." + currentSettings().defaultTLD);
    std::cout << "network     "
              << (env.layout.lan ? "the sites answer other machines too: vesk lan off ends it"
                                 : "the sites answer this machine only")
              << "\n";
    return env.nginxPid() && env.dnsmasqPid() ? 0 : 3;
}

int logs(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Servers env = servers();
    const std::string which = args.word(0).value_or("nginx");
    const bool follow = args.has("--follow") || args.has("-f");
    if (which == "dnsmasq") {
        // dnsmasq writes to the system log.
        std::vector<std::string> words{"journalctl", "--no-pager", "-t", "dnsmasq", "-n", "50"};
        if (follow) words.emplace_back("-f");
        execute(words);
    }
    std::vector<std::string> words{"tail", "-n", "50"};
    if (follow) words.emplace_back("-F");
    if (which == "nginx") {
        words.push_back(env.layout.logDir() + "/nginx-error.log");
        words.push_back(env.layout.logDir() + "/nginx-access.log");
    } else if (which == "php") {
        for (const auto& v : env.phpVersions()) {
            words.push_back(env.layout.logDir() + "/php-fpm-" + v + ".log");
        }
    } else {
        throw UsageError{};
    }
    execute(words);
}

int open(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    const std::string url = (site.isSecured ? "https://" : "http://") + site.fullDomain() + "/";
    std::cout << url << std::endl;
    execute({"xdg-open", url});
}

}  // namespace vesk::cli

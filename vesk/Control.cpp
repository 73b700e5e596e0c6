// vesk start|stop|restart [nginx|php|dnsmasq], vesk status, vesk logs, vesk open
#include <unistd.h>

#include <iostream>

#include "Command.hpp"
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

void startServers(const Servers& env, Which which) {
    if (which == Which::all || which == Which::dnsmasq) {
        if (!env.dnsmasqPid()) callHelper(HelperOperation::startDnsmasq, {env.dnsmasqConf()});
    }
    if (which == Which::all || which == Which::php) {
        for (const auto& v : poolsToRun(env)) {
            if (!env.phpPid(v)) callHelper(HelperOperation::startPHPFPM, {v, env.phpConf(v)});
        }
    }
    if (which == Which::all || which == Which::nginx) {
        if (!env.nginxPid()) callHelper(HelperOperation::startNginx, {env.nginxConf()});
    }
}

void stopServers(const Servers& env, Which which) {
    if (which == Which::all || which == Which::nginx) {
        if (env.nginxPid()) callHelper(HelperOperation::stopNginx, {});
    }
    if (which == Which::all || which == Which::php) {
        for (const auto& v : env.phpVersions()) {
            if (env.phpPid(v)) callHelper(HelperOperation::stopPHPFPM, {v});
        }
    }
    if (which == Which::all || which == Which::dnsmasq) {
        if (env.dnsmasqPid()) callHelper(HelperOperation::stopDnsmasq, {});
    }
}

/// Waits up to two seconds for `stopped` to hold.
template <class Predicate>
void waitFor(Predicate stopped) {
    for (int i = 0; i < 40 && !stopped(); ++i) ::usleep(50'000);
}

void printState(const std::string& name, std::optional<long> pid, const std::string& detail) {
    std::cout << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ');
    if (pid) {
        std::cout << "running (pid " << *pid << ")" << detail << "\n";
    } else {
        std::cout << "stopped\n";
    }
}

}  // namespace

int start(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    applyConfiguration(false);
    startServers(env, which);
    std::cout << "Started\n";
    return 0;
}

int stop(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    stopServers(env, which);
    std::cout << "Stopped\n";
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
    std::cout << "Restarted\n";
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
               ports + ", " + std::to_string(sites.size()) + " sites (" +
                   std::to_string(secured) + " secured)");
    for (const auto& v : env.phpVersions()) {
        std::size_t count = 0;
        const std::string fallback = currentSettings().defaultPHPVersion;
        for (const Site& s : sites) count += s.phpVersion.value_or(fallback) == v ? 1 : 0;
        printState("php " + v, env.phpPid(v),
                   ", " + env.layout.phpSocket(v) + ", " + std::to_string(count) + " sites");
    }
    printState("dnsmasq", env.dnsmasqPid(),
               ", 127.0.0.1 port 53, ." + currentSettings().defaultTLD);
    return env.nginxPid() && env.dnsmasqPid() ? 0 : 3;
}

int logs(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Servers env = servers();
    const std::string which = args.word(0).value_or("nginx");
    std::vector<std::string> files;
    if (which == "nginx") {
        files = {env.layout.logDir() + "/nginx-error.log", env.layout.logDir() + "/nginx-access.log"};
    } else if (which == "php") {
        for (const auto& v : env.phpVersions()) {
            files.push_back(env.layout.logDir() + "/php-fpm-" + v + ".log");
        }
    } else if (which == "dnsmasq") {
        // dnsmasq writes to the system log.
        std::vector<std::string> words{"journalctl", "--no-pager", "-t", "dnsmasq", "-n", "50"};
        if (args.has("--follow") || args.has("-f")) words.emplace_back("-f");
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::execvp("journalctl", argv.data());
        throw Failure{"cannot run journalctl"};
    } else {
        throw UsageError{};
    }
    std::vector<std::string> tail{"-n", "50"};
    if (args.has("--follow") || args.has("-f")) tail.emplace_back("-F");
    tail.insert(tail.end(), files.begin(), files.end());
    std::vector<char*> argv;
    std::string program = "tail";
    argv.push_back(program.data());
    for (auto& a : tail) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp("tail", argv.data());
    throw Failure{"cannot run tail"};
}

int open(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const auto sites = servedSites();
    std::optional<std::string> dir;
    if (!args.word(0)) dir = directory(std::nullopt);
    for (const Site& s : sites) {
        if (args.word(0) ? s.domain == *args.word(0) || s.fullDomain() == *args.word(0)
                         : s.path == *dir) {
            const std::string url = (s.isSecured ? "https://" : "http://") + s.fullDomain() + "/";
            std::cout << url << "\n";
            std::string program = "xdg-open";
            std::string target = url;
            char* argv[] = {program.data(), target.data(), nullptr};
            ::execvp("xdg-open", argv);
            throw Failure{"cannot run xdg-open; open " + url + " in a browser"};
        }
    }
    throw Failure{args.word(0) ? "no site is served as " + *args.word(0)
                               : *dir + " is not a served site"};
}

}  // namespace vesk::cli

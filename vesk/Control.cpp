// vesk start|stop|restart [nginx|php|dnsmasq|mail], vesk status, vesk logs, vesk open
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Command.hpp"
#include "vesk/debugging/MailSpool.hpp"
#include "vesk/debugging/MailStore.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/sites/ServedSites.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::cli {

namespace {

enum class Which { all, nginx, php, dnsmasq, mail };

Which whichOf(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const auto word = args.word(0);
    if (!word) return Which::all;
    if (*word == "nginx") return Which::nginx;
    if (*word == "php") return Which::php;
    if (*word == "dnsmasq") return Which::dnsmasq;
    if (*word == kMailCatcher) return Which::mail;
    throw UsageError{};
}

Servers installedServers() {
    Servers env = servers();
    if (!env.installed()) throw Failure{env.notInstalledReason()};
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
    // Xdebug's, while it is on.
    for (const auto& pool : xdebugPools(env, currentSettings(), servedSites())) {
        pools.push_back(pool);
    }
    return pools;
}

/// The last `count` lines of the log at `path` that were written after
/// `offset` (what a start that just failed wrote there).
std::string linesSince(const std::string& path, off_t offset, std::size_t count) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > offset) {
        const off_t from = std::max<off_t>(offset, st.st_size - 16384);
        text.resize(static_cast<std::size_t>(st.st_size - from));
        const ssize_t n = ::pread(fd, text.data(), text.size(), from);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty()) lines.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::string out;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        out += "\n  " + lines[i];
    }
    return out;
}

off_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

/// Has the helper start a server; when it cannot, says why in the server's
/// own words (what it wrote to `log` just now) and what holds its ports.
void startServer(HelperOperation operation, const std::vector<std::string>& texts,
                 std::initializer_list<int> ports, const std::string& log = {}) {
    const off_t before = log.empty() ? 0 : sizeOf(log);
    try {
        callHelper(operation, texts);
    } catch (const Failure& f) {
        std::string message = f.message;
        if (!log.empty()) message += linesSince(log, before, 5);
        for (const int port : ports) {
            if (const auto taken = portTaken(port)) message += "\n  " + *taken;
        }
        throw Failure{message};
    }
}

void startServers(const Servers& env, Which which) {
    const bool all = which == Which::all;
    std::vector<std::string> names;
    if (all || which == Which::dnsmasq) names.emplace_back("dnsmasq");
    if (all || which == Which::php) {
        for (const auto& v : poolsToRun(env)) names.push_back("php " + v);
    }
    if (all || which == Which::nginx) names.emplace_back("nginx");
    for (const auto& name : names) {
        if (corePid(env, name)) continue;
        try {
            startCoreServer(env, name);
        } catch (const Failure&) {
            // The supervisor may have started it meanwhile.
            if (!corePid(env, name)) throw;
        }
        std::cout << L10n::tr("services.started",
                              name.rfind("php ", 0) == 0 ? "PHP " + name.substr(4) : name)
                  << "\n";
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
        for (const auto& v : env.phpPools()) {
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
    std::cout.flush();
    std::cerr.flush();
    ::execvp(argv[0], argv.data());
    throw Failure{"cannot run " + words[0]};
}

/// Waits up to two seconds for `stopped` to hold.
template <class Predicate>
void waitFor(Predicate stopped) {
    for (int i = 0; i < 40 && !stopped(); ++i) ::usleep(50'000);
}

/// One log file as `vesk logs` reads it: where it was read up to.
struct LogFile {
    std::string path;
    ino_t inode = 0;
    off_t offset = 0;
    /// nginx's access log, whose tab-separated lines are shown readable.
    bool access = false;
    /// The start of a line whose end is not written yet.
    std::string partial;
};

/// A line of the access log ("vesk" format: address, epoch time, method,
/// URI, protocol, status, bytes, seconds, agent, host) as a person reads it;
/// any other line as it is.
std::string readableAccessLine(const std::string& line) {
    std::vector<std::string> f;
    std::size_t start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (f.size() != 10) return line;
    char* end = nullptr;
    const double at = std::strtod(f[1].c_str(), &end);
    if (end == f[1].c_str() || *end != '\0' || !(at > 0 && at < 253402300800.0)) return line;
    const double seconds = std::strtod(f[7].c_str(), &end);
    const std::string took = end != f[7].c_str() && *end == '\0' && seconds >= 0 && seconds < 1e9
                                 ? std::to_string(std::llround(seconds * 1000)) + " ms"
                                 : f[7];
    return Date::fromUnix(at).iso8601() + "  " + f[0] + "  " + f[5] + "  " + f[2] + " " + f[9] +
           f[3] + "  " + f[6] + " B  " + took + "  " + f[8];
}

/// Writes `bytes` of `log`: as they are, or for the access log line by line,
/// readable (a line not ended yet waits for its end, unless `final`).
void writeLog(LogFile& log, std::string_view bytes, bool final) {
    if (!log.access) {
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return;
    }
    log.partial.append(bytes);
    std::size_t start = 0;
    for (auto nl = log.partial.find('\n'); nl != std::string::npos;
         nl = log.partial.find('\n', start)) {
        std::cout << readableAccessLine(log.partial.substr(start, nl - start)) << '\n';
        start = nl + 1;
    }
    log.partial.erase(0, start);
    if (final && !log.partial.empty()) {
        std::cout << log.partial;
        log.partial.clear();
    }
}

/// Prints the bytes of `log` from its offset to its end (a file that was
/// replaced or cut is read from its start); whether any were printed.
bool printNew(LogFile& log, bool final) {
    const int fd = ::open(log.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool printed = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_ino != log.inode || st.st_size < log.offset) {
            log.inode = st.st_ino;
            log.offset = 0;
        }
        char buffer[65536];
        while (log.offset < st.st_size) {
            const ssize_t n = ::pread(fd, buffer, sizeof buffer, log.offset);
            if (n <= 0) break;
            writeLog(log, std::string_view(buffer, static_cast<std::size_t>(n)), false);
            log.offset += n;
            printed = true;
        }
    }
    ::close(fd);
    if (final) writeLog(log, {}, true);
    return printed;
}

/// The offset where the last `lines` lines of the file at `path` start
/// (looked for in its last MiB at most).
off_t tailStart(const std::string& path, std::size_t lines, ino_t& inode) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    struct stat st {};
    off_t start = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        inode = st.st_ino;
        const off_t from = std::max<off_t>(0, st.st_size - (off_t{1} << 20));
        std::string text(static_cast<std::size_t>(st.st_size - from), '\0');
        const ssize_t n = ::pread(fd, text.data(), text.size(), from);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        // Back from the end over `lines` line feeds (the last line's own does not count).
        std::size_t at = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
        for (std::size_t found = 0; at > 0;) {
            const auto nl = text.rfind('\n', at - 1);
            if (nl == std::string::npos) {
                at = 0;
                break;
            }
            at = nl + 1;
            if (++found == lines) break;
            at = nl;
        }
        // Cut in the middle of a line: from the next whole one.
        if (at == 0 && from > 0)
            at = text.find('\n') == std::string::npos ? 0 : text.find('\n') + 1;
        start = from + static_cast<off_t>(at);
    }
    ::close(fd);
    return start;
}

}  // namespace

/// Prints the last `lines` lines of each file, headed by its name as tail
/// does, and with `follow` what is added to them, until interrupted.
void followLogs(const std::vector<std::string>& paths, std::size_t lines, bool follow) {
    std::vector<LogFile> logs;
    for (const auto& path : paths) {
        LogFile log;
        log.path = path;
        log.offset = tailStart(path, lines, log.inode);
        log.access =
            path.size() >= 17 && path.compare(path.size() - 17, 17, "/nginx-access.log") == 0;
        logs.push_back(log);
    }
    const LogFile* last = nullptr;
    for (auto& log : logs) {
        if (logs.size() > 1)
            std::cout << (last != nullptr ? "\n" : "") << "==> " << log.path << " <==\n";
        printNew(log, !follow);
        last = &log;
    }
    std::cout.flush();
    if (!follow) return;
    // Until interrupted (Ctrl-C).
    for (;;) {
        ::usleep(200'000);
        for (auto& log : logs) {
            struct stat st {};
            if (::stat(log.path.c_str(), &st) != 0 ||
                (st.st_ino == log.inode && st.st_size == log.offset)) {
                continue;
            }
            if (logs.size() > 1 && last != &log) std::cout << "\n==> " << log.path << " <==\n";
            if (printNew(log, false)) last = &log;
        }
        std::cout.flush();
    }
}

namespace {

void printState(const std::string& name, std::optional<long> pid, const std::string& detail) {
    std::cout << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ');
    if (pid) {
        std::cout << L10n::tr("services.running") << " (pid " << *pid << ")" << detail << "\n";
    } else {
        std::cout << L10n::tr("services.notRunning") << "\n";
    }
}

/// The names `which` stands for in what the developer asked of the supervisor.
std::vector<std::string> wantedNames(Which which) {
    switch (which) {
        case Which::nginx:
            return {"nginx"};
        case Which::php:
            return {"php"};
        case Which::dnsmasq:
            return {"dnsmasq"};
        case Which::mail:
            return {std::string(kMailCatcher)};
        case Which::all:
            break;
    }
    return {"nginx", "php", "dnsmasq", std::string(kMailCatcher)};
}

/// The servers `which` asked for are wanted again, with a new retry window.
void wantStarted(const Servers& env, Which which) {
    const auto names = wantedNames(which);
    changeWanted([&](supervision::Wanted& wanted) {
        auto& stopped = wanted.stoppedCore;
        stopped.erase(std::remove_if(stopped.begin(), stopped.end(),
                                     [&](const std::string& n) {
                                         return std::find(names.begin(), names.end(), n) !=
                                                names.end();
                                     }),
                      stopped.end());
        for (const auto& name : coreServers(env)) {
            const std::string group = name.rfind("php ", 0) == 0 ? "php" : name;
            if (std::find(names.begin(), names.end(), group) != names.end()) {
                wanted.restart.push_back(name);
            }
        }
        if (std::find(names.begin(), names.end(), kMailCatcher) != names.end()) {
            wanted.restart.emplace_back(kMailCatcher);
        }
    });
}

/// The catcher's pid, as the supervisor reports it.
std::optional<long> catcherPid() {
    if (!supervisorPid()) return std::nullopt;
    for (const auto& server : supervisorReport().read({}).servers) {
        if (server.name == kMailCatcher && server.pid) return *server.pid;
    }
    return std::nullopt;
}

/// Waits (ten seconds at most) for the supervisor to have the catcher in
/// the state asked, and says so.
void waitForCatcher(bool running) {
    const std::string address = "127.0.0.1:" + std::to_string(mail::kCatcherPort);
    const bool before = catcherPid().has_value();
    for (int i = 0; i < 100; ++i) {
        const auto pid = catcherPid();
        if (running && pid && acceptsConnections(address)) {
            if (!before) std::cout << L10n::tr("services.started", "Mail catcher") << "\n";
            return;
        }
        if (!running && !pid) {
            if (before) std::cout << L10n::tr("services.stopped", "Mail catcher") << "\n";
            return;
        }
        ::usleep(100'000);
    }
    if (running) {
        std::cerr << "vesk: the mail catcher did not start: vesk status and vesk logs mail say "
                     "why\n";
    }
}

/// The servers `which` asked for are left down until started again: the
/// supervisor is told before they stop, so their ends are no crashes.
void wantStopped(Which which) {
    const auto names = wantedNames(which);
    changeWanted([&](supervision::Wanted& wanted) {
        for (const auto& name : names) {
            if (std::find(wanted.stoppedCore.begin(), wanted.stoppedCore.end(), name) ==
                wanted.stoppedCore.end()) {
                wanted.stoppedCore.push_back(name);
            }
        }
    });
    notifySupervisor();
}

}  // namespace

std::vector<std::string> coreServers(const Servers& env) {
    std::vector<std::string> names{"dnsmasq"};
    const auto available = env.phpVersions();
    const AppConfig config = currentSettings();
    const auto sites = servedSites();
    for (const auto& v : phpVersionsInUse(config, sites)) {
        if (std::find(available.begin(), available.end(), v) != available.end()) {
            names.push_back("php " + v);
        }
    }
    for (const auto& pool : xdebugPools(env, config, sites)) names.push_back("php " + pool);
    names.emplace_back("nginx");
    return names;
}

std::optional<long> corePid(const Servers& env, const std::string& name) {
    if (name == "nginx") return env.nginxPid();
    if (name == "dnsmasq") return env.dnsmasqPid();
    if (name.rfind("php ", 0) == 0) return env.phpPid(name.substr(4));
    return std::nullopt;
}

void startCoreServer(const Servers& env, const std::string& name) {
    if (name == "dnsmasq") {
        startServer(HelperOperation::startDnsmasq, {env.layout.dnsmasqConf()}, {53});
    } else if (name == "nginx") {
        endStrayWorkers(env, "nginx");
        startServer(HelperOperation::startNginx, {env.layout.nginxConf()}, {80, 443},
                    coreLog(env, name));
    } else if (name.rfind("php ", 0) == 0) {
        const std::string v = name.substr(4);
        endStrayWorkers(env, name);
        startServer(HelperOperation::startPHPFPM, {v, env.layout.phpConf(v)}, {},
                    coreLog(env, name));
    }
}

std::string coreAddress(const Servers& env, const std::string& name) {
    if (name == "nginx") return "127.0.0.1:80";
    if (name == "dnsmasq") return "127.0.0.1:53";
    return env.layout.phpSocket(name.substr(4));
}

std::string coreLog(const Servers& env, const std::string& name) {
    if (name == "nginx") return env.layout.logDir() + "/nginx-error.log";
    if (name.rfind("php ", 0) == 0)
        return env.layout.logDir() + "/php-fpm-" + name.substr(4) + ".log";
    return {};
}

int start(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    applyConfiguration(false);
    wantStarted(env, which);
    startServers(env, which);
    ensureSupervisor();
    if (which == Which::all || which == Which::mail) waitForCatcher(true);
    return 0;
}

int stop(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    wantStopped(which);
    stopServers(env, which);
    if (which == Which::all || which == Which::mail) waitForCatcher(false);
    return 0;
}

int restart(const Arguments& args) {
    const Which which = whichOf(args);
    const Servers env = installedServers();
    wantStopped(which);
    stopServers(env, which);
    waitFor([&] {
        bool any = (which == Which::all || which == Which::nginx) && env.nginxPid();
        if (which == Which::all || which == Which::dnsmasq) any = any || env.dnsmasqPid();
        // A pool still ending would be taken for running and not started again.
        if (which == Which::all || which == Which::php) {
            for (const auto& v : env.phpVersions()) any = any || env.phpPid(v);
        }
        return !any;
    });
    if (which == Which::all || which == Which::mail) waitForCatcher(false);
    applyConfiguration(false);
    wantStarted(env, which);
    startServers(env, which);
    ensureSupervisor();
    if (which == Which::all || which == Which::mail) waitForCatcher(true);
    return 0;
}

int status(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const Servers env = servers();
    if (!env.installed()) {
        std::cout << env.notInstalledReason() << "\n";
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
        const auto pid = env.phpPid(v);
        printState("php " + v, pid,
                   ", " + env.layout.phpSocket(v) + ", " + std::to_string(count) + " sites");
        // Extensions installed (or php.ini changed) since the pool started
        // take effect only when it starts again.
        struct stat changed {};
        if (const auto started = pid ? procfs::startedAt(*pid) : std::nullopt) {
            for (const std::string& path :
                 {"/etc/php/" + v + "/fpm/conf.d", "/etc/php/" + v + "/fpm/php.ini"}) {
                // The boot time the kernel gives is whole seconds, and drifts by one.
                if (::stat(path.c_str(), &changed) == 0 && changed.st_mtime > *started + 1) {
                    std::cout << "            " << path
                              << " changed since PHP " + v +
                                     " started: vesk restart php puts it in effect\n";
                    break;
                }
            }
        }
    }
    for (const auto& pool : xdebugPools(env, currentSettings(), sites)) {
        printState("php " + pool, env.phpPid(pool),
                   ", " + env.layout.phpSocket(pool) + ", the requests that ask for Xdebug");
    }
    {
        const XdebugSettings& x = env.layout.xdebug;
        std::string installed;
        for (const auto& v : env.phpVersions()) {
            if (xdebugInstalled(env, v)) installed += (installed.empty() ? "" : ", ") + v;
        }
        std::cout << "xdebug      "
                  << (x.on ? "on (" + std::string(rawValue(x.config.mode)) + ", " +
                                 (x.sites.empty() ? std::string("every site")
                                                  : std::to_string(x.sites.size()) + " sites") +
                                 ")"
                           : std::string("off"))
                  << ", "
                  << (installed.empty() ? std::string("not installed")
                                        : "installed for PHP " + installed)
                  << ": vesk xdebug status\n";
    }
    const auto dnsmasq = env.dnsmasqPid();
    printState("dnsmasq", dnsmasq, ", 127.0.0.1 port 53, ." + currentSettings().defaultTLD);
    {
        const mail::Store caught(mail::storeDirectory());
        const auto mails = caught.list();
        const auto unread = std::count_if(mails.begin(), mails.end(),
                                          [](const CapturedMail& m) { return !m.isRead; });
        printState(std::string(kMailCatcher), catcherPid(),
                   ", 127.0.0.1:" + std::to_string(mail::kCatcherPort) + ", " +
                       std::to_string(mails.size()) + " caught (" + std::to_string(unread) +
                       " unread): vesk mail list");
        const auto waiting = mail::Spool(mail::spoolDirectory()).waiting().size();
        if (waiting > 0) {
            std::cout << "            " << waiting << (waiting == 1 ? " mail waits" : " mails wait")
                      << " in the spool for the catcher to start (vesk start mail)\n";
        }
    }
    // What the supervisor saw: each server's crashes, and the services.
    const auto supervisor = supervisorPid();
    const auto report = supervisorReport().read({});
    for (const auto& v : viteRecords().read({})) {
        const std::string name = std::string(kVitePrefix) + v.siteDomain;
        const auto* seen = supervisor ? report.find(name) : nullptr;
        printState(name,
                   seen != nullptr && seen->pid ? std::optional<long>(*seen->pid) : std::nullopt,
                   ", 127.0.0.1:" + std::to_string(v.port) + ", through the site");
    }
    for (const auto& app : nodeRecords().read({})) {
        const std::string name = std::string(kNodePrefix) + app.siteDomain;
        const auto* seen = supervisor ? report.find(name) : nullptr;
        printState(name,
                   seen != nullptr && seen->pid ? std::optional<long>(*seen->pid) : std::nullopt,
                   ", 127.0.0.1:" + std::to_string(app.port) + (app.enabled ? "" : ", stopped"));
    }
    for (const auto& w : workerRecords().read({})) {
        const auto* seen = supervisor ? report.find(workerUnitName(w.id)) : nullptr;
        printState(workerUnitName(w.id),
                   seen != nullptr && seen->pid ? std::optional<long>(*seen->pid) : std::nullopt,
                   ", " + w.siteDomain + ", " + std::to_string(w.jobsProcessed) + " jobs done, " +
                       std::to_string(w.jobsFailed) + " failed");
    }
    if (supervisor) {
        for (const auto& server : report.servers) {
            const ServiceHealth& h = server.health;
            const bool service = fromRawValue<ServiceType>(server.name).has_value();
            if (service && !server.pid && h.status != HealthStatus::degraded) continue;
            if (service) {
                printState(
                    server.name, server.pid ? std::optional<long>(*server.pid) : std::nullopt,
                    ", 127.0.0.1:" +
                        std::to_string(defaultPort(*fromRawValue<ServiceType>(server.name))));
            }
            if (h.crashCount == 0) continue;
            const CrashEvent& last = h.recentCrashes.back();
            std::cout << "            " << server.name << ": " << label(h.status) << ", "
                      << h.crashCount << (h.crashCount == 1 ? " crash" : " crashes") << ", last "
                      << last.timestamp.iso8601()
                      << (last.exitCode ? ", exit status " + std::to_string(*last.exitCode) : "")
                      << (last.signal ? ", signal " + std::to_string(*last.signal) : "")
                      << (last.reason ? ": " + *last.reason : "") << "\n";
            for (const auto& alert : server.alerts) {
                std::cout << "            " << server.name << ": " << alert << "\n";
            }
        }
    }
    std::cout << "supervisor  "
              << (supervisor ? L10n::tr("services.running") + " (pid " +
                                   std::to_string(*supervisor) + "), keeps the servers up"
                             : L10n::tr("services.notRunning") +
                                   ": nothing is restarted after a crash (vesk start)")
              << "\n";
    std::cout << "network     "
              << (env.layout.lan ? "the sites answer other machines too: vesk lan off ends it"
                                 : "the sites answer this machine only")
              << "\n";
    // Every server the sites need must run: a pool in use that is down
    // counts as much as nginx.
    bool down = !env.nginxPid() || !dnsmasq;
    const auto available = env.phpVersions();
    for (const auto& v : phpVersionsInUse(currentSettings(), sites)) {
        const bool there = std::find(available.begin(), available.end(), v) != available.end();
        down = down || !there || !env.phpPid(v);
    }
    return down ? 3 : 0;
}

int logs(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Servers env = servers();
    const std::string which = args.word(0).value_or("nginx");
    const bool follow = args.has("--follow") || args.has("-f");
    // As tail does: the last lines (fewer when following), -n N of them.
    std::size_t lines = follow ? 10 : 50;
    if (const auto n = args.value("-n")) {
        char* end = nullptr;
        const long count = std::strtol(n->c_str(), &end, 10);
        if (n->empty() || *end != '\0' || count < 0 || count > 1'000'000) {
            throw Failure{"-n takes a number of lines, not " + *n};
        }
        lines = static_cast<std::size_t>(count);
    }
    if (which == "dnsmasq") {
        // dnsmasq writes to the system log.
        std::vector<std::string> words{"journalctl", "--no-pager", "-t",
                                       "dnsmasq",    "-n",         std::to_string(lines)};
        if (follow) words.emplace_back("-f");
        execute(words);
    }
    std::vector<std::string> files;
    if (which == "nginx") {
        files.push_back(env.layout.logDir() + "/nginx-error.log");
        files.push_back(env.layout.logDir() + "/nginx-access.log");
    } else if (which == "php") {
        for (const auto& v : env.phpVersions()) {
            files.push_back(env.layout.logDir() + "/php-fpm-" + v + ".log");
        }
    } else if (which == kMailCatcher) {
        files.push_back(VeskPaths::logDir() + "/mail.log");
    } else {
        throw UsageError{};
    }
    // Read here, not by tail: the lines (anyone's requests among them) are
    // printed through the terminal-safe output like everything else.
    followLogs(files, lines, follow);
    return 0;
}

int open(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const Site site = siteFor(args.word(0));
    const std::string url = (site.isSecured ? "https://" : "http://") + site.fullDomain() + "/";
    std::cout << url << std::endl;
    execute({"xdg-open", url});
}

}  // namespace vesk::cli

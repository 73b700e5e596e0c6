// vesk supervise: the supervisor that keeps the core servers (dnsmasq, a
// PHP-FPM pool per version in use, nginx: root's, started through the
// helper), the mail catcher beside them, and the developer's services (the
// catcher and the services are its own children, as the developer) running. It learns of every end
// at once through pidfds, records it in the server's ServiceHealth, restarts on the back-off the
// record computes and gives up when the record says so; the decisions are the library's
// (supervision::Watch). One runs per developer: it holds a lock, and a
// second one (the boot unit's while one started by hand runs) waits for it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include "Command.hpp"
#include "vesk/debugging/MailSpool.hpp"
#include "vesk/foundation/Clock.hpp"
#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/VeskError.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/services/NodeApp.hpp"
#include "vesk/services/ResourceSampling.hpp"
#include "vesk/services/WorkerOutput.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/ExitWatch.hpp"
#include "vesk/system/Fd.hpp"
#include "vesk/system/ProcFS.hpp"
#include "vesk/system/Spawn.hpp"

namespace vesk::cli {

namespace fs = std::filesystem;

namespace {

/// How long a service may take to stop before it is killed.
constexpr double kStopWithin = 30;
/// How often the running servers' use of the machine is read, and how many
/// readings each keeps (an hour).
constexpr double kSamplePeriod = 10;
constexpr std::int64_t kHistory = 360;
/// A service's log is moved aside (one older file kept) past this size.
constexpr off_t kLogLimit = off_t{8} << 20;
/// The bytes read from one service's output before the others get a turn.
constexpr std::size_t kReadSlice = 65536;

double seconds(const Date& d) {
    return d.timeIntervalSinceReferenceDate;
}

/// The last line of `text` that is not empty, at most 300 bytes of it.
std::string lastLineOf(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    const auto nl = text.rfind('\n');
    std::string line(nl == std::string_view::npos ? text : text.substr(nl + 1));
    if (line.size() > 300) line.resize(300);
    return line;
}

/// What a program that failed said of it: its first line that names an
/// error (nginx's [emerg] among them), else its last line.
std::string reasonIn(std::string_view output) {
    std::size_t start = 0;
    while (start < output.size()) {
        const auto end = std::min(output.find('\n', start), output.size());
        const std::string_view line = output.substr(start, end - start);
        if (line.find("rror") != std::string_view::npos ||
            line.find("atal") != std::string_view::npos ||
            line.find("[emerg]") != std::string_view::npos) {
            return lastLineOf(line);
        }
        start = end + 1;
    }
    return lastLineOf(output);
}

/// The last line of the file at `path` (its last 4 KiB read).
std::string lastLineOfFile(const std::string& path) {
    if (path.empty()) return {};
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const off_t from = std::max<off_t>(0, st.st_size - 4096);
    std::string text(static_cast<std::size_t>(st.st_size - from), '\0');
    const ssize_t n = ::pread(fd.get(), text.data(), text.size(), from);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return lastLineOf(text);
}

}  // namespace

bool acceptsConnections(const std::string& address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_INET;
    if (!address.empty() && address.front() == '/') {
        auto* un = reinterpret_cast<sockaddr_un*>(&storage);
        if (address.size() >= sizeof un->sun_path) return false;
        un->sun_family = AF_UNIX;
        std::memcpy(un->sun_path, address.c_str(), address.size() + 1);
        length = sizeof(sockaddr_un);
        family = AF_UNIX;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(static_cast<std::uint16_t>(
            std::strtol(address.c_str() + address.rfind(':') + 1, nullptr, 10)));
        length = sizeof(sockaddr_in);
    }
    const Fd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) == 0) return true;
    if (errno != EINPROGRESS) return false;
    pollfd p{fd.get(), POLLOUT, 0};
    if (::poll(&p, 1, 200) != 1) return false;
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

namespace {}  // namespace

std::string portHeld(std::int64_t port, const procfs::PortHolder& holder) {
    if (holder.pid == 0) return VeskError::portInUse(port).errorDescription();
    return VeskError::portConflict(port, holder.name, static_cast<std::int32_t>(holder.pid))
        .errorDescription();
}

namespace {

/// Ends a process that is not this one's child: `signal`, then SIGKILL
/// after ten seconds.
void endLeftover(long pid, int signal) {
    const Fd fd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0U)));
    if (!fd) return;
    ::kill(static_cast<pid_t>(pid), signal);
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 10'000) != 1) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        ::poll(&p, 1, 2'000);
    }
}

/// One supervised server.
struct Unit {
    std::string name;
    std::optional<ServiceRecipe> recipe;  ///< a service's
    /// The program of an own child that is no service (the mail catcher, a
    /// queue worker).
    std::optional<CommandLine> program;
    /// Where a worker runs (its site's directory: never made or changed).
    std::string workingDirectory;
    /// A queue worker's id, and the jobs its output said it did.
    std::optional<UUID> worker;
    std::int64_t jobsProcessed = 0;
    std::int64_t jobsFailed = 0;
    /// Of a worker's output, the line not ended yet (its first 4 KiB).
    std::string jobLine;
    /// How long it may take to stop before it is killed.
    double stopWithin = kStopWithin;
    ServicePaths paths;
    std::int64_t port = 0;
    /// The server's version, as it says (read when it first starts).
    std::string version;
    supervision::Watch watch;
    long pid = 0;
    Date startedAt;
    /// When it is started again after a crash (the decision's time, scaled
    /// in the command's test build).
    std::optional<Date> restartAt;
    /// Started, not accepting connections yet: the last moment it may.
    std::optional<Date> readyBy;
    bool answering = false;
    /// Asked to stop (a developer's stop, a restart): no crash when it ends.
    bool stopping = false;
    std::optional<Date> killAt;
    bool startAgain = false;
    /// Why it will have ended, when the supervisor ends it itself.
    std::optional<std::string> endReason;
    Fd output;  ///< the read end of a service's standard output and error
    Fd log;
    std::string lastLine;
    std::string partial;
    ResourceHistory history{kHistory};
    std::optional<procfs::Usage> lastSample;
    Date lastSampleAt;
    std::optional<ResourceUsage> usage;
    std::vector<std::string> alerts;

    Unit(std::string n, ServiceHealth health) : name(std::move(n)), watch(std::move(health)) {}
    [[nodiscard]] bool running() const { return pid != 0; }
    /// Its own child (a service, the catcher), not a core server of root's.
    [[nodiscard]] bool child() const { return recipe || program; }
    [[nodiscard]] std::string address() const { return "127.0.0.1:" + std::to_string(port); }
};

class Supervisor {
  public:
    Supervisor() : env_(servers()) {}

    int run();

  private:
    Servers env_;
    ExitWatch exits_;
    std::map<std::string, Unit> units_;
    Fd epoll_;
    Fd signals_;
    bool quitting_ = false;
    bool changed_ = true;
    Date nextSample_;

    void load();
    Unit& unit(const std::string& name);
    void reconcile(bool developerAsked);
    void start(Unit& u);
    void startChild(Unit& u);
    /// A worker unit from its record and its site's (a missing program when
    /// either is gone).
    static void prepareWorker(Unit& u);
    /// A Node.js server's unit from its record and its site's.
    static void prepareNode(Unit& u);
    /// A Vite dev server's unit from its record.
    static void prepareVite(Unit& u);
    void countJobs(Unit& u, std::string_view bytes);
    /// A service's files and data directory before its first start; false
    /// (its failure recorded) when they cannot be made.
    bool prepareService(Unit& u);
    void stop(Unit& u);
    void ended(const ExitWatch::Exit& exit);
    void failed(Unit& u, std::optional<int> code, std::optional<int> signal,
                const std::string& reason);
    void readOutput(Unit& u);
    void writeLog(Unit& u, std::string_view bytes);
    void timers();
    void sample();
    void report();
    [[nodiscard]] int timeout() const;
    /// The servers wanted, in the order they start: the core servers as
    /// the sites need them (nginx last), then the services.
    [[nodiscard]] std::vector<std::string> wanted() const;
};

Unit& Supervisor::unit(const std::string& name) {
    auto it = units_.find(name);
    if (it != units_.end()) return it->second;
    const auto type = fromRawValue<ServiceType>(name);
    Unit u(name, supervision::Watch::freshHealth(type.value_or(ServiceType::mariadb)));
    if (type) {
        u.recipe = recipes::recipeFor(*type);
        u.port = defaultPort(*type);
        if (u.recipe) u.paths = u.recipe->paths(VeskPaths::baseDir());
    } else if (name.rfind(kWorkerPrefix, 0) == 0) {
        prepareWorker(u);
    } else if (name.rfind(kNodePrefix, 0) == 0) {
        prepareNode(u);
    } else if (name.rfind(kVitePrefix, 0) == 0) {
        prepareVite(u);
    } else if (name == kMailCatcher) {
        u.port = mail::kCatcherPort;
        u.program = CommandLine{
            packageProgram("vesk-mail-catcher"), {"--port", std::to_string(u.port)}, {}};
        u.paths.dataDirectory = mail::storeDirectory();
        u.paths.logPath = VeskPaths::logDir() + "/mail.log";
    }
    return units_.emplace(name, std::move(u)).first->second;
}

void Supervisor::prepareNode(Unit& u) {
    const std::string domain = u.name.substr(kNodePrefix.size());
    u.program = CommandLine{"/nonexistent/npm", {}, {}};
    u.paths.logPath = nodeLog(domain);
    u.paths.dataDirectory = "/";
    u.workingDirectory = "/";
    for (const auto& app : nodeRecords().read({})) {
        if (app.siteDomain != domain) continue;
        u.port = app.port;
        for (const Site& site : servedSites()) {
            if (site.fullDomain() != domain) continue;
            u.program = nodeapps::commandLine(app, nodeapps::managerOf(site.path));
            u.workingDirectory = site.path;
        }
    }
}

void Supervisor::prepareVite(Unit& u) {
    const std::string domain = u.name.substr(kVitePrefix.size());
    u.program = CommandLine{"/nonexistent/npx", {}, {}};
    u.paths.logPath = viteLog(domain);
    u.paths.dataDirectory = "/";
    u.workingDirectory = "/";
    for (const auto& v : viteRecords().read({})) {
        if (v.siteDomain != domain) continue;
        u.port = v.port;
        u.program = vite::commandLine(v);
        u.workingDirectory = v.sitePath;
    }
}

void Supervisor::prepareWorker(Unit& u) {
    u.program = CommandLine{"/nonexistent/php", {}, {}};
    u.paths.logPath = VeskPaths::logDir() + "/" + u.name.substr(kWorkerPrefix.size()) + ".log";
    u.paths.dataDirectory = "/";
    u.workingDirectory = "/";
    for (const auto& w : workerRecords().read({})) {
        if (workerUnitName(w.id) != u.name) continue;
        u.worker = w.id;
        u.jobsProcessed = w.jobsProcessed;
        u.jobsFailed = w.jobsFailed;
        // SIGTERM lets the job that runs finish: its own time, and ten seconds.
        u.stopWithin = static_cast<double>(std::clamp<std::int64_t>(w.timeout, 0, 3600)) + 10;
        for (const Site& site : servedSites()) {
            if (site.fullDomain() != w.siteDomain) continue;
            const std::string version =
                site.phpVersion.value_or(currentSettings().defaultPHPVersion);
            u.program = workers::commandLine(w, workerPHP(version));
            u.workingDirectory = site.path;
        }
    }
}

void Supervisor::countJobs(Unit& u, std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto nl = bytes.find('\n', at);
        const std::string_view piece =
            bytes.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at);
        if (u.jobLine.size() < 4096) u.jobLine.append(piece.substr(0, 4096 - u.jobLine.size()));
        if (nl == std::string_view::npos) return;
        switch (workers::classify(u.jobLine)) {
            case workers::JobLine::processed:
                ++u.jobsProcessed;
                changed_ = true;
                break;
            case workers::JobLine::failed:
                ++u.jobsFailed;
                changed_ = true;
                break;
            case workers::JobLine::started:
            case workers::JobLine::none:
                break;
        }
        u.jobLine.clear();
        at = nl + 1;
    }
}

/// The health kept from before (a reboot, a supervisor started again).
void Supervisor::load() {
    const auto before = supervisorReport().read({});
    for (const auto& server : before.servers) {
        Unit& u = unit(server.name);
        u.watch = supervision::Watch(server.health);
        // A new boot or a new supervisor is a new chance.
        u.watch.started();
    }
}

bool has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::vector<std::string> Supervisor::wanted() const {
    std::vector<std::string> names;
    const auto want = supervisorWanted().read({});
    const auto stopped = [&](const std::string& group) {
        return std::find(want.stoppedCore.begin(), want.stoppedCore.end(), group) !=
               want.stoppedCore.end();
    };
    if (env_.installed()) {
        for (const auto& name : coreServers(env_)) {
            if (!stopped(name.rfind("php ", 0) == 0 ? "php" : name)) names.push_back(name);
        }
        // The catcher comes with the servers: the pools' mail goes to it.
        const std::string catcher(kMailCatcher);
        if (!stopped(catcher)) names.push_back(catcher);
    }
    for (const ServiceType type : currentSettings().autoStartServices) {
        const std::string name(rawValue(type));
        if (recipes::recipeFor(type) && !has(names, name)) names.push_back(name);
    }
    // The developer's Node.js servers they started, of the sites served.
    {
        const auto sites = servedSites();
        for (const auto& app : nodeRecords().read({})) {
            if (!app.enabled) continue;
            if (std::any_of(sites.begin(), sites.end(),
                            [&](const Site& s) { return s.fullDomain() == app.siteDomain; })) {
                names.push_back(std::string(kNodePrefix) + app.siteDomain);
            }
        }
    }
    // The Vite dev servers the developer started.
    for (const auto& v : viteRecords().read({}))
        names.push_back(std::string(kVitePrefix) + v.siteDomain);
    // The developer's queue workers, but those they stopped.
    for (const auto& w : workerRecords().read({})) {
        const std::string name = workerUnitName(w.id);
        if (!stopped(name)) names.push_back(name);
    }
    return names;
}

void Supervisor::reconcile(bool developerAsked) {
    std::vector<std::string> fresh;
    if (developerAsked) {
        // Taken off the list only once the report shows what was done, so
        // a command that sees its request gone reads the new state.
        fresh = supervisorWanted().read({}).restart;
    }
    // A service started by hand starts before anything else is looked at.
    const auto kept = currentSettings().autoStartServices;
    const auto keptService = [&](const std::string& name) {
        const auto type = fromRawValue<ServiceType>(name);
        return type && recipes::recipeFor(*type) &&
               std::find(kept.begin(), kept.end(), *type) != kept.end();
    };
    std::optional<std::vector<std::string>> all;
    const auto names = [&]() -> const std::vector<std::string>& {
        if (!all) all = wanted();
        return *all;
    };
    for (const auto& name : fresh) {
        Unit& u = unit(name);
        u.watch.started();
        u.restartAt.reset();
        changed_ = true;
        const bool want = u.recipe ? keptService(name) : has(names(), name);
        if (!want) continue;
        if (u.running()) {
            // Restarted by hand: ended here, started again once it has.
            if (u.child()) {
                stop(u);
                u.startAgain = true;
            } else {
                // A core server's restart is the command's; its new pid is adopted.
                exits_.remove(u.pid);
                u.pid = 0;
            }
        } else if (u.child() && !u.stopping) {
            start(u);
            report();
        }
    }
    for (const auto& name : names()) {
        Unit& u = unit(name);
        if (u.running() || u.stopping || u.restartAt ||
            u.watch.health().status == HealthStatus::degraded) {
            continue;
        }
        start(u);
        // Each start is reported as it is made: the next may take a while.
        report();
    }
    for (auto& [name, u] : units_) {
        if (has(names(), name)) continue;
        u.startAgain = false;
        u.restartAt.reset();
        if (u.watch.restartDue() || u.watch.health().status != HealthStatus::stopped) {
            u.watch.stopped();
            changed_ = true;
        }
        if (u.running() && !u.child()) {
            // The developer stops a core server themselves (vesk stop).
            continue;
        }
        if (u.running() && !u.stopping) stop(u);
    }
    if (!fresh.empty()) {
        changed_ = true;
        report();
        supervisorWanted().update({}, [&](supervision::Wanted& w) {
            for (const auto& name : fresh) {
                const auto it = std::find(w.restart.begin(), w.restart.end(), name);
                if (it != w.restart.end()) w.restart.erase(it);
            }
        });
    }
}

void Supervisor::start(Unit& u) {
    changed_ = true;
    // A worker's site may have moved or changed its PHP version meanwhile.
    if (u.worker) prepareWorker(u);
    if (u.name.rfind(kNodePrefix, 0) == 0) prepareNode(u);
    if (u.name.rfind(kVitePrefix, 0) == 0) prepareVite(u);
    u.answering = false;
    u.endReason.reset();
    if (u.child()) {
        startChild(u);
        return;
    }
    // A core server already running (started by the command) is adopted.
    auto pid = corePid(env_, u.name);
    if (!pid) {
        try {
            startCoreServer(env_, u.name);
        } catch (const Failure& f) {
            // Started by a command meanwhile, it is adopted.
            pid = corePid(env_, u.name);
            if (!pid) {
                failed(u, std::nullopt, std::nullopt, reasonIn(f.message.substr(0, 2000)));
                return;
            }
        }
        if (!pid) pid = corePid(env_, u.name);
    }
    if (!pid || !exits_.add(*pid)) {
        failed(u, std::nullopt, std::nullopt, "it ended as it started");
        return;
    }
    u.pid = *pid;
    u.startedAt = Clock::now();
    u.readyBy = Date{seconds(u.startedAt) + readyWithin()};
    std::cerr << "vesk supervise: " << u.name << " runs (pid " << u.pid << ")\n";
}

bool Supervisor::prepareService(Unit& u) {
    const ServiceRecipe& recipe = *u.recipe;
    // The developer's own configuration is never written over.
    for (const auto& [path, text] : recipe.firstStartFiles(u.port, u.paths)) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
            atomicfile::Options options;
            options.mode = 0600;
            atomicfile::replace(path, text, options);
        }
    }
    struct stat st {};
    if (::stat(recipe.initializedMarker(u.paths).c_str(), &st) == 0) return true;
    // A directory a failed first start left is made again from nothing.
    std::error_code ec;
    fs::remove_all(u.paths.dataDirectory, ec);
    fs::create_directories(u.paths.dataDirectory, ec);
    ::chmod(u.paths.dataDirectory.c_str(), 0700);
    for (const CommandLine& c : recipe.initCommands(u.paths)) {
        writeLog(u, "vesk: making the data directory: " + c.program + "\n");
        spawn::Request request;
        request.program = c.program;
        request.arguments = c.arguments;
        request.output = spawn::Output::capture;
        request.limit = std::chrono::seconds(120);
        const auto result = spawn::run(request);
        writeLog(u, result.output);
        if (result.exitStatus != 0) {
            fs::remove_all(u.paths.dataDirectory, ec);
            failed(u, result.exitStatus, result.signal,
                   "making the data directory failed: " + reasonIn(result.output));
            return false;
        }
    }
    return true;
}

void Supervisor::startChild(Unit& u) {
    const std::string program = u.recipe ? u.recipe->server : u.program->program;
    if (::access(program.c_str(), X_OK) != 0) {
        failed(u, std::nullopt, std::nullopt,
               u.recipe ? recipes::packageMissing(*u.recipe)
                        : program + " is missing: reinstall the vesk package");
        return;
    }
    auto holder = u.port != 0 ? procfs::tcpPortHolder(static_cast<int>(u.port)) : std::nullopt;
    // A Node.js server is node's, started by its package manager.
    const bool own =
        holder && holder->pid != 0 &&
        (procfs::runsProgram(holder->pid, program) ||
         (u.name.rfind(kNodePrefix, 0) == 0 && procfs::runsProgram(holder->pid, "/usr/bin/node")));
    if (own) {
        // The developer's own server on its port: what a supervisor that
        // was killed left. It is ended and started again under this one.
        endLeftover(holder->pid, u.recipe ? u.recipe->stopSignal() : SIGTERM);
        holder = procfs::tcpPortHolder(static_cast<int>(u.port));
    }
    if (holder) {
        failed(u, std::nullopt, std::nullopt, portHeld(u.port, *holder));
        return;
    }
    std::error_code ec;
    if (!u.paths.configPath.empty()) {
        fs::create_directories(fs::path(u.paths.configPath).parent_path(), ec);
    }
    fs::create_directories(fs::path(u.paths.logPath).parent_path(), ec);
    if (u.workingDirectory.empty()) {
        fs::create_directories(u.paths.dataDirectory, ec);
        if (!u.recipe) ::chmod(u.paths.dataDirectory.c_str(), 0700);
    }
    u.log = Fd(::open(u.paths.logPath.c_str(),
                      O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (u.recipe && !prepareService(u)) return;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        failed(u, std::nullopt, std::nullopt, std::strerror(errno));
        return;
    }
    Fd readEnd(pipeFds[0]);
    const Fd writeEnd(pipeFds[1]);
    // The child's end blocks: a server that floods waits for its reader.
    ::fcntl(writeEnd.get(), F_SETFL, 0);
    const CommandLine c = u.recipe ? u.recipe->serverCommand(u.paths) : *u.program;
    spawn::Start request;
    request.program = c.program;
    request.arguments = c.arguments;
    request.directory = u.workingDirectory.empty() ? u.paths.dataDirectory : u.workingDirectory;
    if (!c.environment.empty()) {
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry(*e);
            const bool replaced =
                std::any_of(c.environment.begin(), c.environment.end(), [&](const std::string& v) {
                    const auto name = v.substr(0, v.find('=') + 1);
                    return entry.substr(0, name.size()) == name;
                });
            if (!replaced) environment.emplace_back(entry);
        }
        environment.insert(environment.end(), c.environment.begin(), c.environment.end());
        request.environment = std::move(environment);
    }
    request.output = writeEnd.get();
    request.error = writeEnd.get();
    request.ownGroup = true;
    const auto started = spawn::start(request);
    if (started.pid == 0 || !exits_.add(started.pid)) {
        failed(u, std::nullopt, std::nullopt,
               "cannot run " + c.program + ": " + std::strerror(started.error));
        return;
    }
    u.pid = started.pid;
    u.startedAt = Clock::now();
    u.readyBy = Date{seconds(u.startedAt) + readyWithin()};
    u.output = std::move(readEnd);
    u.lastLine.clear();
    u.partial.clear();
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = u.output.get();
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, u.output.get(), &event);
    std::cerr << "vesk supervise: " << u.name << " runs (pid " << u.pid << ")\n";
    // Asked once, while the server starts.
    if (u.recipe && u.version.empty()) {
        spawn::Request ask;
        ask.program = u.recipe->server;
        ask.arguments = u.recipe->versionCommand().arguments;
        ask.output = spawn::Output::capture;
        ask.limit = std::chrono::seconds(5);
        u.version = u.recipe->versionFrom(spawn::run(ask).output).value_or("");
    }
}

void Supervisor::stop(Unit& u) {
    if (!u.running()) return;
    u.stopping = true;
    u.killAt = Date{seconds(Clock::now()) + u.stopWithin};
    // The server alone is asked; what it started ends with it.
    ::kill(static_cast<pid_t>(u.pid), u.recipe ? u.recipe->stopSignal() : SIGTERM);
    changed_ = true;
}

void Supervisor::failed(Unit& u, std::optional<int> code, std::optional<int> signal,
                        const std::string& reason) {
    const auto decision =
        u.watch.exited(code, signal, reason.empty() ? std::nullopt : std::optional(reason));
    const double now = seconds(Clock::now());
    u.restartAt.reset();
    if (decision.action == supervision::Decision::Action::restartAt) {
        u.restartAt = Date{now + (seconds(decision.when) - now) * timeScale()};
    }
    std::cerr << "vesk supervise: " << u.name << " ended"
              << (code ? " with status " + std::to_string(*code) : "")
              << (signal ? " by signal " + std::to_string(*signal) : "")
              << (reason.empty() ? "" : ": " + reason)
              << (decision.action == supervision::Decision::Action::restartAt
                      ? "; started again in " +
                            std::to_string(std::lround(seconds(decision.when) - now)) + " s"
                      : "; left stopped (degraded): vesk service start or vesk start tries again")
              << "\n";
    changed_ = true;
}

void Supervisor::ended(const ExitWatch::Exit& exit) {
    for (auto& [name, u] : units_) {
        if (u.pid != exit.pid) continue;
        if (u.output) readOutput(u);
        // What it left behind (a server that forked) ends with it.
        if (u.child()) ::kill(static_cast<pid_t>(-u.pid), SIGKILL);
        if (u.output) {
            ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, u.output.get(), nullptr);
            u.output = Fd();
        }
        if (!u.partial.empty()) writeLog(u, "\n");
        u.pid = 0;
        u.readyBy.reset();
        u.killAt.reset();
        u.usage.reset();
        u.lastSample.reset();
        u.alerts.clear();
        changed_ = true;
        // Ending (a stop of the unit, a shutdown that ends the core servers
        // too), nothing that ends is a crash.
        const bool asked = u.stopping || quitting_ || !has(wanted(), name);
        u.stopping = false;
        if (asked) {
            if (u.startAgain) {
                u.startAgain = false;
                start(u);
            } else {
                u.watch.stopped();
            }
            return;
        }
        const std::string reason =
            u.endReason.value_or(u.child() ? u.lastLine : lastLineOfFile(coreLog(env_, name)));
        failed(u, exit.exitCode, exit.signal, reason);
        return;
    }
}

void Supervisor::writeLog(Unit& u, std::string_view bytes) {
    if (!u.log || bytes.empty()) return;
    struct stat st {};
    if (::fstat(u.log.get(), &st) == 0 && st.st_size > kLogLimit) {
        ::rename(u.paths.logPath.c_str(), (u.paths.logPath + ".1").c_str());
        u.log = Fd(::open(u.paths.logPath.c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!u.log) return;
    }
    while (!bytes.empty()) {
        const ssize_t n = ::write(u.log.get(), bytes.data(), bytes.size());
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Supervisor::readOutput(Unit& u) {
    char buffer[8192];
    std::size_t taken = 0;
    while (taken < kReadSlice) {
        const ssize_t n = ::read(u.output.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        taken += static_cast<std::size_t>(n);
        const std::string_view bytes(buffer, static_cast<std::size_t>(n));
        writeLog(u, bytes);
        if (u.worker) countJobs(u, bytes);
        // The last whole line, for a crash's reason; of a line not ended yet
        // the first 300 bytes are kept.
        const auto nl = bytes.rfind('\n');
        if (nl == std::string_view::npos) {
            u.partial.append(bytes.substr(0, 300 - std::min<std::size_t>(u.partial.size(), 300)));
            continue;
        }
        const auto previous = bytes.rfind('\n', nl == 0 ? 0 : nl - 1);
        std::string line = previous == std::string_view::npos || nl == 0
                               ? u.partial + std::string(bytes.substr(0, nl))
                               : std::string(bytes.substr(previous + 1, nl - previous - 1));
        line = lastLineOf(line);
        if (!line.empty()) u.lastLine = line;
        u.partial.assign(bytes.substr(nl + 1, 300));
    }
}

void Supervisor::timers() {
    const double now = seconds(Clock::now());
    for (auto& [name, u] : units_) {
        if (u.restartAt && seconds(*u.restartAt) <= now && !u.running()) {
            u.restartAt.reset();
            start(u);
        }
        if (u.running() && u.readyBy) {
            // A worker listens nowhere: a second up is its being ready.
            if (u.port == 0 && u.child()
                    ? now - seconds(u.startedAt) >= 1
                    : acceptsConnections(u.child() ? u.address() : coreAddress(env_, name))) {
                u.readyBy.reset();
                u.answering = true;
                u.watch.answering();
                changed_ = true;
                if (name.rfind(kVitePrefix, 0) == 0) viteAnswers(name.substr(kVitePrefix.size()));
            } else if (seconds(*u.readyBy) <= now) {
                u.readyBy.reset();
                u.endReason = "it did not accept connections within " +
                              std::to_string(std::lround(readyWithin())) + " s";
                ::kill(static_cast<pid_t>(u.child() ? -u.pid : u.pid), SIGKILL);
            }
        }
        if (u.running() && u.killAt && seconds(*u.killAt) <= now) {
            u.killAt.reset();
            ::kill(static_cast<pid_t>(-u.pid), SIGKILL);
        }
        if (u.watch.tick()) changed_ = true;
    }
    if (seconds(nextSample_) <= now) {
        sample();
        nextSample_ = Date{now + kSamplePeriod};
        changed_ = true;
    }
}

void Supervisor::sample() {
    const Date now = Clock::now();
    for (auto& [name, u] : units_) {
        if (!u.running()) continue;
        const auto usage = procfs::usageOfTree(u.pid);
        if (!usage) continue;
        if (u.lastSample) {
            u.usage =
                resources::between(*u.lastSample, *usage, seconds(now) - seconds(u.lastSampleAt));
            u.history.append({now, u.usage->cpuPercent, u.usage->memoryMB});
            u.alerts.clear();
            for (const auto& alert : resources::alertsFor(name, u.history)) {
                u.alerts.push_back(resources::describe(alert));
            }
        }
        u.lastSample = usage;
        u.lastSampleAt = now;
    }
}

void Supervisor::report() {
    if (!changed_) return;
    changed_ = false;
    supervision::SupervisorReport r;
    r.pid = ::getpid();
    r.updatedAt = Clock::now();
    for (auto& [name, u] : units_) {
        supervision::SupervisedServer s;
        s.name = name;
        s.health = u.watch.health();
        if (u.running()) {
            s.pid = u.pid;
            s.startedAt = u.startedAt;
            s.status = u.answering ? ServiceStatus::running : ServiceStatus::installing;
        } else {
            s.status = s.health.status == HealthStatus::degraded ? ServiceStatus::error
                                                                 : ServiceStatus::stopped;
        }
        s.usage = u.usage;
        s.averageCPU = u.history.averageCPU();
        s.averageMemoryMB = u.history.averageMemory();
        s.alerts = u.alerts;
        r.servers.push_back(std::move(s));
    }
    supervisorReport().update({}, [&](supervision::SupervisorReport& stored) { stored = r; });
    // The workers' records say what runs and what their output counted.
    const bool anyWorker = std::any_of(units_.begin(), units_.end(),
                                       [](const auto& entry) { return entry.second.worker; });
    if (anyWorker) {
        workerRecords().update({}, [&](std::vector<QueueWorker>& records) {
            for (auto& w : records) {
                const auto it = units_.find(workerUnitName(w.id));
                if (it == units_.end() || !it->second.worker) continue;
                const Unit& u = it->second;
                w.jobsProcessed = u.jobsProcessed;
                w.jobsFailed = u.jobsFailed;
                w.pid = u.running() ? std::optional<std::int32_t>(static_cast<std::int32_t>(u.pid))
                                    : std::nullopt;
                w.startedAt = u.running() ? std::optional<Date>(u.startedAt) : std::nullopt;
                const auto status = u.watch.health().status;
                w.status = u.running() ? WorkerStatus::running
                           : status == HealthStatus::degraded || u.restartAt
                               ? WorkerStatus::crashed
                               : WorkerStatus::stopped;
            }
        });
    }
    // The services' own records follow their state.
    serviceRecords().update({}, [&](std::vector<Service>& records) {
        for (const auto& s : r.servers) {
            const Unit& u = units_.at(s.name);
            if (!u.recipe) continue;
            auto it = std::find_if(records.begin(), records.end(),
                                   [&](const Service& x) { return x.type == u.recipe->type; });
            if (it == records.end()) {
                records.emplace_back(UUID::random(), u.recipe->type, std::nullopt, "", s.status,
                                     u.port, u.paths.dataDirectory, u.paths.configPath,
                                     u.paths.logPath);
                it = records.end() - 1;
            }
            it->status = s.status;
            if (!u.version.empty()) it->version = u.version;
        }
    });
}

int Supervisor::timeout() const {
    const double now = seconds(Clock::now());
    double next = seconds(nextSample_);
    for (const auto& [name, u] : units_) {
        if (u.restartAt) next = std::min(next, seconds(*u.restartAt));
        if (u.readyBy) next = std::min(next, now + 0.2);
        if (u.killAt) next = std::min(next, seconds(*u.killAt));
        if (const auto tick = u.watch.nextTick()) next = std::min(next, seconds(*tick));
    }
    return static_cast<int>(std::clamp((next - now) * 1000, 0.0, 60'000.0)) + 1;
}

int Supervisor::run() {
    epoll_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    signals_ = Fd(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!epoll_ || !signals_) throw Failure{"cannot make the supervisor's event loop"};
    for (const int fd : {signals_.get(), exits_.fd()}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
    }
    load();
    // The sites' blocks as they are now (parked folders grow while it is down).
    if (env_.installed()) {
        try {
            applyConfiguration(false);
        } catch (const Failure& f) {
            std::cerr << "vesk supervise: " << f.message << "\n";
        }
    }
    nextSample_ = Clock::now();
    reconcile(true);
    Date quitBy;
    for (;;) {
        report();
        if (quitting_) {
            const bool any = std::any_of(units_.begin(), units_.end(), [](const auto& entry) {
                return entry.second.child() && entry.second.running();
            });
            if (!any || seconds(Clock::now()) > seconds(quitBy)) break;
        }
        std::array<epoll_event, 16> events{};
        const int n =
            ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), timeout());
        bool askedAgain = false;
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == signals_.get()) {
                signalfd_siginfo info{};
                while (::read(signals_.get(), &info, sizeof info) == sizeof info) {
                    if (info.ssi_signo == SIGHUP) {
                        askedAgain = true;
                    } else if (!quitting_) {
                        quitting_ = true;
                        quitBy = Date{seconds(Clock::now()) + kStopWithin};
                        for (auto& [name, u] : units_) {
                            u.startAgain = false;
                            if (u.child()) stop(u);
                        }
                    }
                }
            } else if (fd == exits_.fd()) {
                for (const auto& exit : exits_.wait(0)) ended(exit);
            } else {
                for (auto& [name, u] : units_) {
                    if (u.output && u.output.get() == fd) readOutput(u);
                }
            }
        }
        if (quitting_) continue;
        if (askedAgain) {
            // The core servers' pids are read again: a restart by hand has new ones.
            for (auto& [name, u] : units_) {
                if (!u.child() && !u.running() && corePid(env_, name)) u.watch.started();
            }
            reconcile(true);
        }
        timers();
    }
    for (auto& [name, u] : units_) {
        if (u.child() && u.running()) ::kill(static_cast<pid_t>(-u.pid), SIGKILL);
    }
    report();
    return 0;
}

/// Where launchctl writes the boot unit (the launch daemon com.vesk.servers).
constexpr const char* kServersUnit = "/etc/systemd/system/com.vesk.servers.service";

std::string lockPath() {
    return supervisorDir() + "/supervisor.lock";
}

}  // namespace

std::string supervisorDir() {
    return VeskPaths::baseDir() + "/state";
}

RecordFile<supervision::SupervisorReport> supervisorReport() {
    return RecordFile<supervision::SupervisorReport>(supervisorDir() + "/supervisor.json", false);
}

RecordFile<supervision::Wanted> supervisorWanted() {
    return RecordFile<supervision::Wanted>(supervisorDir() + "/wanted.json", false);
}

RecordFile<std::vector<QueueWorker>> workerRecords() {
    return RecordFile<std::vector<QueueWorker>>(VeskPaths::configDir() + "/workers.json");
}

std::string workerUnitName(const UUID& id) {
    return std::string(kWorkerPrefix) + id.uuidString().substr(0, 8);
}

std::string workerPHP(const std::string& version) {
    return "/usr/bin/php" + version;
}

RecordFile<std::vector<Service>> serviceRecords() {
    return RecordFile<std::vector<Service>>(VeskPaths::servicesConfigPath());
}

void changeWanted(const std::function<void(supervision::Wanted&)>& change) {
    std::error_code ec;
    fs::create_directories(supervisorDir(), ec);
    supervisorWanted().update({}, change);
}

std::optional<long> supervisorPid() {
    const Fd fd(::open(lockPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return std::nullopt;
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return std::nullopt;
    return procfs::pidInFile(supervisorDir() + "/supervisor.pid");
}

bool notifySupervisor() {
    const auto pid = supervisorPid();
    return pid && ::kill(static_cast<pid_t>(*pid), SIGHUP) == 0;
}

void endSupervisor() {
    const auto pid = supervisorPid();
    if (!pid || ::kill(static_cast<pid_t>(*pid), SIGTERM) != 0) return;
    for (int i = 0; i < 400 && supervisorPid(); ++i) ::usleep(100'000);
}

void ensureSupervisor() {
    if (notifySupervisor()) return;
    // The boot unit's supervisor may be starting (just installed, or
    // restarted): it is the one that runs, not a second one.
    struct stat unit {};
    if (::stat(kServersUnit, &unit) == 0) {
        for (int i = 0; i < 50 && !supervisorPid(); ++i) ::usleep(100'000);
        if (notifySupervisor()) return;
    }
    std::error_code ec;
    fs::create_directories(supervisorDir(), ec);
    fs::create_directories(VeskPaths::logDir(), ec);
    const std::string log = VeskPaths::logDir() + "/supervisor.log";
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = ::fork();
    if (child < 0)
        throw Failure{std::string("cannot start the supervisor: ") + std::strerror(errno)};
    if (child == 0) {
        // Its own session, reparented to init: it outlives this command.
        ::setsid();
        if (::fork() != 0) std::_Exit(0);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (in >= 0) ::dup2(in, STDIN_FILENO);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        char self[] = "vesk";
        char verb[] = "supervise";
        char* argv[] = {self, verb, nullptr};
        ::execv("/proc/self/exe", argv);
        std::_Exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    for (int i = 0; i < 100 && !supervisorPid(); ++i) ::usleep(20'000);
}

int supervise(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const bool boot = args.has("--boot");
    std::error_code ec;
    fs::create_directories(supervisorDir(), ec);
    const Fd lock(::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) throw Failure{"cannot open " + lockPath()};
    // One supervisor a developer. The boot unit's takes over from one a
    // command started; any other waits for the one that runs to end.
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        const auto running = procfs::pidInFile(supervisorDir() + "/supervisor.pid");
        if (boot && running &&
            procfs::runsProgram(*running, fs::read_symlink("/proc/self/exe", ec).string())) {
            std::cerr << "vesk supervise: taking over from the supervisor a command started (pid "
                      << *running << ")\n";
            ::kill(static_cast<pid_t>(*running), SIGTERM);
        } else {
            std::cerr << "vesk supervise: another supervisor runs; this one waits for it\n";
        }
        while (::flock(lock.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    // A boot starts every server, whatever was stopped before it.
    // The queue workers the developer stopped stay stopped.
    if (boot) {
        changeWanted([](supervision::Wanted& w) {
            std::erase_if(w.stoppedCore,
                          [](const std::string& n) { return n.rfind(kWorkerPrefix, 0) != 0; });
        });
    }
    atomicfile::replace(supervisorDir() + "/supervisor.pid", std::to_string(::getpid()) + "\n");
    std::cerr << "vesk supervise: supervising (pid " << ::getpid() << ")\n";
    Supervisor supervisor;
    return supervisor.run();
}

}  // namespace vesk::cli

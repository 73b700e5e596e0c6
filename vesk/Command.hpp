// The vesk command: what every command shares (its arguments, the
// developer's stores, the output conventions). Each command is a short
// function in a file of its own, over the library.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vesk/app/DiagnosticResult.hpp"
#include "vesk/foundation/AppConfig.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/helper/HelperProtocol.hpp"
#include "vesk/services/NodeApp.hpp"
#include "vesk/services/QueueWorker.hpp"
#include "vesk/services/Service.hpp"
#include "vesk/services/ServiceRecipe.hpp"
#include "vesk/services/Supervision.hpp"
#include "vesk/sites/Certificate.hpp"
#include "vesk/sites/Exposure.hpp"
#include "vesk/sites/ServerConfig.hpp"
#include "vesk/sites/ServingSettings.hpp"
#include "vesk/sites/Site.hpp"
#include "vesk/system/EnvironmentLayout.hpp"
#include "vesk/system/ProcFS.hpp"
#include "vesk/system/RecordFile.hpp"

namespace vesk::cli {

/// A command line after the command's name: its words and its --flags.
struct Arguments {
    std::vector<std::string> words;
    std::set<std::string> flags;
    [[nodiscard]] bool has(const std::string& flag) const { return flags.count(flag) != 0; }
    /// The value of a flag given as "--flag VALUE" or "--flag=VALUE".
    [[nodiscard]] std::optional<std::string> value(const std::string& flag) const {
        for (const auto& f : flags) {
            if (f.size() > flag.size() && f.compare(0, flag.size(), flag) == 0 &&
                f[flag.size()] == '=') {
                return f.substr(flag.size() + 1);
            }
        }
        return std::nullopt;
    }
    /// The word at `index`, if given.
    [[nodiscard]] std::optional<std::string> word(std::size_t index) const {
        if (index < words.size()) return words[index];
        return std::nullopt;
    }
};

/// A record as `--json` prints it for scripts: exactly as the library
/// encodes it, with dates as ISO 8601 UTC text (what jq and every other
/// tool reads as a date).
template <class T>
std::string scriptJSON(const T& value, bool pretty = false) {
    CodingOptions options;
    options.dates = DateStrategy::iso8601;
    if (pretty) options.indent = 2;
    return encodeJSON(value, options);
}

/// A size as people read it: bytes, KB or MB.
std::string sizeText(std::int64_t bytes);

/// A failure the user can act on: one line on standard error, exit 1.
struct Failure {
    std::string message;
};
/// A command line the command does not take: its usage, exit 2.
struct UsageError {};

/// The developer's settings and site records, each in its own file.
RecordFile<AppConfig> settings();
RecordFile<std::vector<Site>> siteRecords();
/// The settings a developer starts with on this machine: the defaults, with
/// the newest installed PHP version when the default one is not installed.
AppConfig newSettings();
/// The settings as stored, or those.
AppConfig currentSettings();
/// Every served site (parked and linked).
std::vector<Site> servedSites();

/// An existing directory as an absolute path without "." or ".." parts or
/// links; the current directory when none is given.
std::string directory(const std::optional<std::string>& given);
/// The same, for a directory that will be served: fails when the web
/// server's configuration could not carry its path.
std::string servableDirectory(const std::optional<std::string>& given);

/// The served site named (its name or full domain), or the one served from
/// the current directory; a Failure when there is none.
Site siteFor(const std::optional<std::string>& name);
/// Links `name` to the directory `dir` (a record of its own, or the one the
/// name has, moved there).
void recordLinkedSite(const std::string& name, const std::string& dir);
/// Changes a served site's record; a parked site gets a record of its own
/// for the change.
void updateSite(const Site& site, const std::function<void(Site&)>& change);

/// The PHP versions installed on this machine (a PHP-FPM program for each),
/// ascending.
std::vector<std::string> installedPHPVersions();
/// Fails naming the installed versions unless `version` is one of them.
void requireInstalledPHP(const std::string& version);

/// What a program printed (both streams, at most 64 KiB) and its exit status
/// (-1 when it could not run, was killed or took longer than `limit`).
struct Ran {
    int status = 0;
    std::string output;
};
Ran run(const std::string& program, const std::vector<std::string>& arguments,
        std::chrono::milliseconds limit = std::chrono::seconds(30));

/// The developer's serving settings (PHP's directives, limits), kept in a
/// file of theirs that vesk makes once and never overwrites.
RecordFile<ServingSettings> servingRecord();
/// The directory of the developer's own nginx directives (all/, sites/NAME/).
std::string snippetsDir();

/// Whether other machines may reach the sites (`vesk lan`).
RecordFile<Exposure> exposureRecord();

/// Where this program finds the environment: the production layout, which
/// the command's test build lets its tests move (VESK_BASE, VESK_HELPER_SOCKET,
/// VESK_RESOURCES).
const EnvironmentLayout& environmentLayout();
/// Whether a test has moved the environment (never in the shipped command).
bool movedEnvironment();

/// What the supervisor's waits are multiplied by: 1, which only the
/// command's test build lets its tests lower (VESK_TEST_TIME_SCALE).
double timeScale();
/// How long a started server may take to accept connections: 60 s, which
/// only the test build lets its tests shorten (VESK_TEST_READY_SECONDS).
double readyWithin();
/// A program of the package's (in /usr/libexec/vesk; the build tree's in
/// the test build).
std::string packageProgram(const std::string& name);

/// The mail catcher's name among the supervised servers; it runs with the
/// core servers, as the developer.
inline constexpr std::string_view kMailCatcher = "mail";
/// A queue worker's name among the supervised servers: this, then the
/// first 8 characters of its id.
inline constexpr std::string_view kWorkerPrefix = "worker ";
/// A Node.js server's unit is "node <full domain>".
inline constexpr std::string_view kNodePrefix = "node ";
/// A Vite dev server's unit is "vite <full domain>".
inline constexpr std::string_view kVitePrefix = "vite ";
std::string workerUnitName(const UUID& id);
/// The developer's queue workers (config/workers.json), which the
/// supervisor keeps running (but those stopped in wanted.json).
RecordFile<std::vector<QueueWorker>> workerRecords();
/// The PHP CLI of a version (Debian's php<version>-cli).
std::string workerPHP(const std::string& version);

/// Where the local authority lives: root's, so that no program of the
/// developer's, the sites' PHP among them, can read its key.
std::string authorityDir();

/// The certificates made for the developer's sites and the authority.
RecordFile<std::vector<Certificate>> certificateRecords();

/// The environment the servers run in (environmentLayout()), with the
/// servers' workers running as the current user.
struct Servers {
    ServerConfig::Layout layout;

    /// Whether `sudo vesk install` has set the environment up for this user.
    [[nodiscard]] bool installed() const;
    /// Why not, in a line that says what to do: not set up at all, or
    /// another developer's.
    [[nodiscard]] std::string notInstalledReason() const;
    /// The PHP versions whose PHP-FPM the environment holds, ascending.
    [[nodiscard]] std::vector<std::string> phpVersions() const;
    /// Every pool those versions may run: each version's own, and its
    /// pools with Xdebug ("8.2-debug", "8.2-profile", "8.2-trace").
    [[nodiscard]] std::vector<std::string> phpPools() const;
    /// The running server's pid, read from its pid file and confirmed by the
    /// kernel (procfs::serverInPidFile); none when it does not run.
    [[nodiscard]] std::optional<long> nginxPid() const;
    [[nodiscard]] std::optional<long> phpPid(const std::string& version) const;
    [[nodiscard]] std::optional<long> dnsmasqPid() const;
};
/// The environment for the user running the command.
Servers servers();
/// The environment for `user` (root's install and uninstall).
Servers serversFor(const std::string& user, const std::string& group);
/// What the environment's blocks serve each site as (ServerConfig::Served),
/// written whenever the blocks are.
std::string servedIndexPath();

/// Ends what a server's dead master left (workers of the developer's that
/// still hold its sockets: `server` is "nginx" or "php VERSION"), so that it
/// can start again; says what it ended.
void endStrayWorkers(const Servers& env, const std::string& server);

/// Calls an operation of the helper; a refusal or an unreachable helper is
/// a Failure that says what to do.
void callHelper(HelperOperation operation, const std::vector<std::string>& texts);

/// Writes the servers' configuration for every served site, checks it with
/// `nginx -t` and, when nginx runs, has the helper reload it and start the
/// PHP pools the sites need. A configuration nginx refuses is not applied:
/// the Failure carries nginx's own message. Nothing happens (but a note)
/// before the environment is installed.
void applyConfiguration(bool reloadRunning = true);

/// What holds one of Vesk's ports (80, 443, 53) when it is not Vesk's own
/// server, with the way to free it; none when it is free or Vesk's.
std::optional<std::string> portTaken(int port);

/// The PHP versions the served sites use (the default among them).
std::vector<std::string> phpVersionsInUse(const AppConfig& config, const std::vector<Site>& sites);

/// The core servers the supervisor keeps: "dnsmasq", "php VERSION" for each
/// pool the sites need, "nginx".
std::vector<std::string> coreServers(const Servers& env);
/// The running core server's pid, none when it does not run.
std::optional<long> corePid(const Servers& env, const std::string& name);
/// Starts one core server through the helper; a Failure says why it could not.
void startCoreServer(const Servers& env, const std::string& name);
/// Where it answers ("127.0.0.1:80", or a Unix socket's path).
std::string coreAddress(const Servers& env, const std::string& name);
/// Its log, whose last line is the reason of a crash; empty for none.
std::string coreLog(const Servers& env, const std::string& name);
/// Prints the last `lines` lines of each file and with `follow` what is
/// added, until interrupted.
void followLogs(const std::vector<std::string>& paths, std::size_t lines, bool follow);

/// Whether something accepts a connection at `address` ("127.0.0.1:PORT" or
/// a Unix socket's path) within a fifth of a second.
bool acceptsConnections(const std::string& address);
/// A port held by something else, in the library's words (VeskError).
std::string portHeld(std::int64_t port, const procfs::PortHolder& holder);
/// doctor's checks of the supervisor and the services kept running.
std::vector<DiagnosticResult> supervisionChecks();
/// The developer's Node.js servers (config/nodeapps.json).
RecordFile<std::vector<NodeApp>> nodeRecords();
/// A Node.js server's log.
std::string nodeLog(const std::string& domain);

/// The empty directory a proxied site is served from.
std::string proxyDirectory(const std::string& name);
/// Records the proxied site `name` forwarding to `target` (its linked site
/// and its target); a Failure when the name is another site's already.
void addProxy(const std::string& name, const ProxyTarget& target, bool anyHost);

/// The developer's Vite dev servers (config/vite.json).
RecordFile<std::vector<ViteConfig>> viteRecords();
/// A Vite dev server's log.
std::string viteLog(const std::string& domain);
/// What is done once the site's Vite answers: Laravel's public/hot names
/// the site, so its pages ask their own origin for the modules.
void viteAnswers(const std::string& domain);

/// The proxied sites' targets (config/proxies.json).
RecordFile<std::vector<SiteProxy>> proxyRecords();
/// Where the site forwards, when it is a proxied site (a linked one with a
/// record whose target is this machine's, or allowed elsewhere).
std::optional<ProxyTarget> proxyTargetOf(const std::vector<SiteProxy>& proxies, const Site& site);

/// The developer's Xdebug switch and settings.
RecordFile<XdebugSettings> xdebugRecord();
/// Where Xdebug's pools write profiles and traces, in the developer's Vesk tree.
std::string xdebugOutputDir();
/// Whether Debian's Xdebug is installed for the PHP version.
bool xdebugInstalled(const Servers& env, const std::string& version);
/// The pools with Xdebug the sites need while it is on, one for each
/// version they use that has it ("8.2-debug").
std::vector<std::string> xdebugPools(const Servers& env, const AppConfig& config,
                                     const std::vector<Site>& sites);
/// doctor's checks of the Node.js servers: node there, the version each
/// project asks for.
std::vector<DiagnosticResult> nodeChecks();
/// doctor's checks of Xdebug's pools while it is on.
std::vector<DiagnosticResult> xdebugChecks();
/// The mail catcher's checks for vesk doctor: it answers, its port is its
/// own, nothing waits in the spool.
std::vector<DiagnosticResult> mailChecks();

/// The supervisor's files: its report, what the developer asked of it, its
/// lock and its log, under the developer's Vesk tree.
std::string supervisorDir();
RecordFile<supervision::SupervisorReport> supervisorReport();
RecordFile<supervision::Wanted> supervisorWanted();
/// The service instances (config/services.json).
RecordFile<std::vector<Service>> serviceRecords();
/// The running supervisor's pid (it holds its lock), none when none runs.
std::optional<long> supervisorPid();
/// Starts the supervisor in the background unless one runs, then has it
/// read what is wanted again.
void ensureSupervisor();
/// Ends a running supervisor (it stops the services first) and waits for it.
void endSupervisor();
/// Has a running supervisor read what is wanted again; false when none runs.
bool notifySupervisor();
/// Changes what is wanted of the supervisor, under its lock.
void changeWanted(const std::function<void(supervision::Wanted&)>& change);

/// The command's functions.
int park(const Arguments& args);
int unpark(const Arguments& args);
int parked(const Arguments& args);
int link(const Arguments& args);
int unlink(const Arguments& args);
int links(const Arguments& args);
int sites(const Arguments& args);
int use(const Arguments& args);
int isolate(const Arguments& args);
int unisolate(const Arguments& args);
int doctor(const Arguments& args);
int install(const Arguments& args);
int uninstall(const Arguments& args);
int secure(const Arguments& args);
int unsecure(const Arguments& args);
int trust(const Arguments& args);
int tld(const Arguments& args);
/// Root's part of vesk secure, run through sudo: `--authority-issue --tld TLD
/// DOMAIN [ALIAS...]` signs a certificate with the authority (made when
/// there is none) and prints it and its key.
int authorityIssue(const std::vector<std::string>& words);
int start(const Arguments& args);
int stop(const Arguments& args);
int restart(const Arguments& args);
int status(const Arguments& args);
int logs(const Arguments& args);
int open(const Arguments& args);
int profile(const Arguments& args);
int stats(const Arguments& args);
int dumps(const Arguments& args);
int lan(const Arguments& args);
int env(const Arguments& args);
int service(const Arguments& args);
int db(const Arguments& args);
/// vesk mail list|show|open|attachments|read|delete|clear, -f.
int mail(const Arguments& args);
/// vesk worker add|list|start|stop|restart|remove|logs.
int worker(const Arguments& args);
int xdebug(const Arguments& args);
int proxy(const Arguments& args);
int unproxy(const Arguments& args);
int proxies(const Arguments& args);
int node(const Arguments& args);
int vite(const Arguments& args);
int docker(const Arguments& args);
/// The supervisor itself, in the foreground (the boot unit runs it).
int supervise(const Arguments& args);

}  // namespace vesk::cli

#include "HelperService.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>

#include "CallerCheck.hpp"
#include "HelperTools.hpp"
#include "Log.hpp"
#include "PHPIni.hpp"
#include "SafeFS.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/foundation/Version.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::helper {

namespace {

const std::string kResolverText = "nameserver 127.0.0.1\nport 53\n";

/// A top-level domain, daemon label or PHP version becomes one path
/// component; anything that could name another place is refused.
bool isSafeComponent(const std::string& s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos &&
           s.find('\0') == std::string::npos;
}

bool isAddressLiteral(const std::string& ip) {
    unsigned char buf[sizeof(in6_addr)];
    return ip.find('\0') == std::string::npos && (::inet_pton(AF_INET, ip.c_str(), buf) == 1 ||
                                                  ::inet_pton(AF_INET6, ip.c_str(), buf) == 1);
}

/// A pid file's text: trimmed, then an optional sign and digits only, in
/// the signed 32-bit range.
std::optional<long> parsePid(const std::optional<std::string>& text) {
    if (!text || !Unicode::isValidUTF8(*text)) return std::nullopt;
    const std::string t(Unicode::trimmed(*text));
    std::size_t i = 0;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) i = 1;
    if (i >= t.size()) return std::nullopt;
    for (std::size_t k = i; k < t.size(); ++k) {
        if (t[k] < '0' || t[k] > '9') return std::nullopt;
    }
    // Leading zeros do not count towards the length: 00000000000042 is 42.
    std::size_t first = i;
    while (first + 1 < t.size() && t[first] == '0') ++first;
    if (t.size() - first > 10) return std::nullopt;
    long long v = std::strtoll(t.c_str() + first, nullptr, 10);
    if (t[0] == '-') v = -v;
    if (v < INT_MIN || v > INT_MAX) return std::nullopt;
    return static_cast<long>(v);
}

/// Only the read, write and execute bits of a requested mode are applied:
/// root never makes a set-user-id, set-group-id or sticky file for a caller.
mode_t permissionBits(std::uint16_t requested) {
    return static_cast<mode_t>(requested) & 0777;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string status(const std::string& what, int code) {
    return what + " (exit " + std::to_string(code) + ")";
}

/// Replies (true, absent) for status 0, otherwise (false, failure + " (exit N)").
void replyStatus(const StatusReply& reply, int code, const std::string& failure) {
    if (code != 0) {
        reply(false, status(failure, code));
    } else {
        reply(true, std::nullopt);
    }
}

/// Runs file work and replies (true, absent), or (false, its error's description).
template <class Work>
void replyAfter(const StatusReply& reply, Work&& work) {
    try {
        work();
    } catch (const std::exception& e) {
        reply(false, std::string(e.what()));
        return;
    }
    reply(true, std::nullopt);
}

std::optional<std::string> consoleUserName() {
    const auto uid = CallerCheck::consoleUser();
    if (!uid) return std::nullopt;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(*uid, &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr) {
        return std::nullopt;
    }
    return std::string(result->pw_name);
}

}  // namespace

HelperService::HelperService(const EnvironmentLayout& layout, Caller caller,
                             std::function<void()> scheduleExit)
    : layout_(layout), caller_(std::move(caller)), scheduleExit_(std::move(scheduleExit)) {}

// ---------------------------------------------------------------------------
// Shared steps

std::optional<std::string> HelperService::dnsmasqExecutable() const {
    for (const auto& candidate : layout_.dnsmasqCandidates) {
        if (fileExists(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<long> HelperService::pidFromFile(const std::string& pidFile) const {
    return parsePid(SafeFS(layout_).readSmallFile(pidFile));
}

bool HelperService::runsProgram(long pid, const std::optional<std::string>& program) const {
    // The run directory belongs to the user: its pid files are the user's
    // word. Root signals only a process that runs the program the operation
    // is about, never process 1 or itself.
    if (pid <= 1 || pid == ::getpid() || !program) return false;
    // The program itself must be a plain file at its own path: no link
    // anywhere on the way could make another program count as it.
    char resolved[PATH_MAX];
    struct stat st {};
    if (::realpath(program->c_str(), resolved) == nullptr || *program != resolved ||
        ::lstat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    return procfs::runsProgram(pid, *program);
}

std::optional<int> HelperService::openSource(const std::string& path) const {
    int error = 0;
    Fd fd = openAsUser(path, caller_.uid, caller_.gid, caller_.groups, error);
    if (!fd) {
        if (error == ENOENT || error == ENOTDIR) return std::nullopt;
        throw FileError(error, path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw FileError(errno, path);
    if (!S_ISREG(st.st_mode)) throw FileError(path, "not a regular file");
    return fd.release();
}

void HelperService::replaceCLILink() const {
    SafeFS(layout_).replaceLink(layout_.cliLink, layout_.binDir() + "/vesk");
}

// ---------------------------------------------------------------------------
// Environment installation, CLI link and uninstall

void HelperService::installEnvironment(const std::string& bundleResourcesPath, StatusReply reply) {
    const SafeFS fs(layout_);
    try {
        for (const char* sub : {"/bin", "/etc", "/log", "/run", "/tmp"}) {
            fs.createDirIfNeeded(layout_.veskBase + sub, 0755);
        }
        for (const char* name : {"nginx", "dnsmasq"}) {
            if (auto src = openSource(bundleResourcesPath + "/bin/" + name)) {
                const Fd owned(*src);
                fs.replaceWithCopy(owned.get(), layout_.binDir() + "/" + name, 0755);
            }
        }
        fs.createDirIfNeeded(layout_.resolverDir, 0755);
        fs.writeAtomically(layout_.resolverDir + "/test", kResolverText);
        fs.writeAtomically(layout_.versionFile, VeskVersion::current);
        if (auto src = openSource(bundleResourcesPath + "/bin/vesk")) {
            const Fd owned(*src);
            fs.replaceWithCopy(owned.get(), layout_.binDir() + "/vesk", 0755);
            fs.createDirIfNeeded(layout_.usrLocalBin, 0755);
            replaceCLILink();
            logLine("CLI installed at " + layout_.cliLink);
        }
    } catch (const std::exception& e) {
        reply(false, "Installation failed: " + std::string(e.what()));
        return;
    }
    const std::string user = consoleUserName().value_or("root");
    const int rc = runShell(layout_.chown, {"-R", user + ":", layout_.veskBase});
    if (rc != 0) logLine("chown warning (exit " + std::to_string(rc) + ")");
    // The resolver file just written is routed like every other one.
    routeThroughResolved();
    reply(true, std::nullopt);
}

void HelperService::getInstalledVersion(VersionReply reply) {
    const auto text = SafeFS(layout_).readSmallFile(layout_.versionFile);
    if (!text || !Unicode::isValidUTF8(*text)) {
        reply(std::nullopt);
        return;
    }
    reply(std::string(Unicode::trimmed(*text)));
}

void HelperService::installCLI(const std::string& bundleResourcesPath, StatusReply reply) {
    const SafeFS fs(layout_);
    const std::string source = bundleResourcesPath + "/bin/vesk";
    try {
        fs.createDirIfNeeded(layout_.binDir(), 0755);
        const auto src = openSource(source);
        if (!src) {
            reply(false, "CLI binary not found at " + source);
            return;
        }
        const Fd owned(*src);
        fs.replaceWithCopy(owned.get(), layout_.binDir() + "/vesk", 0755);
        fs.createDirIfNeeded(layout_.usrLocalBin, 0755);
        replaceCLILink();
    } catch (const std::exception& e) {
        reply(false, "CLI installation failed: " + std::string(e.what()));
        return;
    }
    logLine("CLI installed at " + layout_.cliLink + " -> " + layout_.binDir() + "/vesk");
    reply(true, std::nullopt);
}

void HelperService::removeCLI(StatusReply reply) {
    const SafeFS fs(layout_);
    try {
        if (fs.exists(layout_.cliLink, false)) fs.remove(layout_.cliLink);
        // The copy's existence is tested through a link: a dangling link
        // there is left alone.
        const std::string copy = layout_.binDir() + "/vesk";
        if (fs.exists(copy, true)) fs.remove(copy);
    } catch (const std::exception& e) {
        reply(false, "CLI removal failed: " + std::string(e.what()));
        return;
    }
    logLine("CLI removed");
    reply(true, std::nullopt);
}

void HelperService::uninstallHelper(StatusReply reply) {
    reply(true, std::nullopt);
    if (scheduleExit_) scheduleExit_();
}

// ---------------------------------------------------------------------------
// DNS

void HelperService::writeResolver(const std::string& tld, const std::string& ip,
                                  StatusReply reply) {
    if (!isSafeComponent(tld)) {
        reply(false, "Invalid top-level domain: " + tld);
        return;
    }
    if (!isAddressLiteral(ip)) {
        reply(false, "Invalid address: " + ip);
        return;
    }
    const SafeFS fs(layout_);
    bool written = false;
    replyAfter(reply, [&] {
        fs.createDirIfNeeded(layout_.resolverDir, 0755);
        fs.writeAtomically(layout_.resolverDir + "/" + tld, "nameserver " + ip + "\nport 53\n");
        written = true;
    });
    if (written) routeThroughResolved();
}

void HelperService::removeResolver(const std::string& tld, StatusReply reply) {
    if (!isSafeComponent(tld)) {
        reply(false, "Invalid top-level domain: " + tld);
        return;
    }
    const SafeFS fs(layout_);
    const std::string path = layout_.resolverDir + "/" + tld;
    replyAfter(reply, [&] {
        if (fs.exists(path)) fs.remove(path);
    });
    routeThroughResolved();
}

// Where systemd-resolved runs, it answers every name itself, and programs
// that ask it directly (dig @127.0.0.53, node's resolver) never read the
// resolver files: the package's vesk-dns-route.service routes the domains of
// the resolver files to their servers through resolved's own per-link
// routing, on a link that is never a default route, so no other name is
// asked of them. It is told of every change; the resolver file stays the
// operation, and the routing never fails it.
void HelperService::routeThroughResolved() const {
    if (!SafeFS(layout_).exists(layout_.resolvedRuntimeDir)) return;
    runShell(layout_.systemctl, {"try-restart", "vesk-dns-route.service"},
             std::chrono::seconds(30));
}

void HelperService::startDnsmasq(const std::string& configPath, StatusReply reply) {
    const auto executable = dnsmasqExecutable();
    if (!executable) {
        reply(false, std::string("dnsmasq binary not found"));
        return;
    }
    const SafeFS fs(layout_);
    try {
        fs.createDirIfNeeded(layout_.runDir(), 0755);
    } catch (const std::exception&) {
        // dnsmasq reports its own failure through its exit status
    }
    const std::string pidFile = layout_.dnsmasqPidFile();
    if (const auto pid = pidFromFile(pidFile)) {
        if (runsProgram(*pid, executable)) ::kill(static_cast<pid_t>(*pid), SIGTERM);
        ::usleep(100000);
    }
    // dnsmasq writes its pid file as root: a link planted in its place goes first.
    try {
        const Location at = fs.locate(pidFile);
        struct stat st {};
        if (::fstatat(at.parent.get(), at.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(st.st_mode)) {
            fs.remove(pidFile);
        }
    } catch (const std::exception&) {
    }
    replyStatus(reply,
                runShell(*executable, {"--conf-file=" + configPath, "--pid-file=" + pidFile}),
                "dnsmasq start failed");
}

void HelperService::stopDnsmasq(StatusReply reply) {
    const std::string pidFile = layout_.dnsmasqPidFile();
    if (const auto pid = pidFromFile(pidFile)) {
        if (runsProgram(*pid, dnsmasqExecutable())) ::kill(static_cast<pid_t>(*pid), SIGTERM);
        try {
            SafeFS(layout_).remove(pidFile);
        } catch (const std::exception&) {
        }
        reply(true, std::nullopt);
        return;
    }
    // Without a pid file, only processes running the environment's own copy
    // are stopped: NetworkManager's, libvirt's or a user's dnsmasq are other
    // programs' and keep the machine's names resolving.
    if (signalProcessesOf(layout_.binDir() + "/dnsmasq", SIGTERM) == 0) {
        reply(true, std::string("No dnsmasq process found"));
        return;
    }
    reply(true, std::nullopt);
}

std::size_t HelperService::signalProcessesOf(const std::string& program, int signal) const {
    std::size_t signalled = 0;
    for (const long pid : procfs::all()) {
        if (runsProgram(pid, program) && ::kill(static_cast<pid_t>(pid), signal) == 0) ++signalled;
    }
    return signalled;
}

// ---------------------------------------------------------------------------
// Web server and PHP-FPM

void HelperService::startNginx(const std::string& configPath, StatusReply reply) {
    replyStatus(reply, runShell(layout_.nginx(), {"-c", configPath}), "nginx start failed");
}

void HelperService::stopNginx(StatusReply reply) {
    replyStatus(reply, runShell(layout_.nginx(), {"-s", "stop"}), "nginx stop failed");
}

void HelperService::reloadNginx(StatusReply reply) {
    replyStatus(reply, runShell(layout_.nginx(), {"-s", "reload"}), "nginx reload failed");
}

void HelperService::startPHPFPM(const std::string& version, const std::string& configPath,
                                StatusReply reply) {
    // "8.2", or "8.2-debug" for that version's master with Xdebug.
    const auto pool = isSafeComponent(version) ? PHPPool::parse(version) : std::nullopt;
    if (!pool) {
        reply(false, "Invalid PHP version: " + version);
        return;
    }
    const std::string executable = layout_.phpFpm(pool->version);
    if (!fileExists(executable)) {
        reply(false, "PHP " + version + " not found at " + executable);
        return;
    }
    std::vector<std::string> variables;
    try {
        // Debian's ini files but Xdebug's, whatever conf.d holds.
        if (const auto scan = makeScanDirectory(layout_, pool->version)) {
            variables.push_back("PHP_INI_SCAN_DIR=" + *scan);
        }
    } catch (const std::exception& e) {
        reply(false, "php-fpm " + version + " start failed: " + e.what());
        return;
    }
    std::vector<std::string> args{"-y", configPath, "-D"};
    const auto xdebug = xdebugOptions(*pool);
    args.insert(args.end(), xdebug.begin(), xdebug.end());
    replyStatus(reply, runShell(executable, args, variables),
                "php-fpm " + version + " start failed");
}

void HelperService::stopPHPFPM(const std::string& version, StatusReply reply) {
    const auto pool = isSafeComponent(version) ? PHPPool::parse(version) : std::nullopt;
    if (!pool) {
        reply(false, "Invalid PHP version: " + version);
        return;
    }
    const std::string executable = layout_.phpFpm(pool->version);
    const auto pid = pidFromFile(layout_.phpPidFile(version));
    if (!pid) {
        reply(false, "No PID file for php-fpm " + version);
        return;
    }
    if (runsProgram(*pid, executable)) ::kill(static_cast<pid_t>(*pid), SIGTERM);
    reply(true, std::nullopt);
}

// ---------------------------------------------------------------------------
// Launch daemons and file operations

void HelperService::installDaemon(const std::string& label, const std::string& plistContent,
                                  StatusReply reply) {
    if (!isSafeComponent(label)) {
        reply(false, "Invalid label: " + label);
        return;
    }
    const std::string path = layout_.daemonDir + "/" + label + ".plist";
    const SafeFS fs(layout_);
    try {
        fs.writeAtomically(path, plistContent, 0644);
    } catch (const std::exception& e) {
        reply(false, std::string(e.what()));
        return;
    }
    replyStatus(reply,
                runShell(layout_.launchctl, {"bootstrap", "system", path}, layout_.launchctlLimit),
                "launchctl bootstrap failed");
}

void HelperService::removeDaemon(const std::string& label, StatusReply reply) {
    if (!isSafeComponent(label)) {
        reply(false, "Invalid label: " + label);
        return;
    }
    runShell(layout_.launchctl, {"bootout", "system/" + label}, layout_.launchctlLimit);
    const std::string path = layout_.daemonDir + "/" + label + ".plist";
    const SafeFS fs(layout_);
    replyAfter(reply, [&] {
        if (fs.exists(path)) fs.remove(path);
    });
}

void HelperService::writeFile(const std::string& path, const std::vector<std::uint8_t>& content,
                              std::uint16_t permissions, StatusReply reply) {
    const StandardPath target = standardPath(layout_, path);
    if (!target.allowed) {
        reply(false, "Path not allowed: " + path);
        return;
    }
    const SafeFS fs(layout_);
    replyAfter(reply, [&] { fs.writeInPlace(target, content, permissionBits(permissions)); });
}

void HelperService::removeFile(const std::string& path, StatusReply reply) {
    const StandardPath target = standardPath(layout_, path);
    if (!target.allowed) {
        reply(false, "Path not allowed: " + path);
        return;
    }
    const SafeFS fs(layout_);
    replyAfter(reply, [&] {
        if (fs.exists(target)) fs.remove(target);
    });
}

void HelperService::createDirectory(const std::string& path, std::uint16_t permissions,
                                    StatusReply reply) {
    const StandardPath target = standardPath(layout_, path);
    if (!target.allowed) {
        reply(false, "Path not allowed: " + path);
        return;
    }
    const SafeFS fs(layout_);
    replyAfter(reply, [&] { fs.createDirIfNeeded(target, permissionBits(permissions)); });
}

}  // namespace vesk::helper

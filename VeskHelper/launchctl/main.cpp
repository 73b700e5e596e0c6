// launchctl: launch daemons as systemd units.
//
//   launchctl bootstrap system <path>   load the job <path> describes
//   launchctl bootout system/<label>    unload it
//
// The helper runs it as root with a property list it was given, so it trusts
// nothing in that list: see LaunchDaemonUnit.hpp. It reads no environment and
// runs systemctl by absolute path with a fixed environment. It ends within
// kBudget whatever happens: the list is parsed by a child with memory and CPU
// limits, and every child it waits for is killed at the deadline.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LaunchDaemonUnit.hpp"
#include "SystemdUnits.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Spawn.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define VESK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_UNDER_ASAN 1
#endif
#endif
#ifndef VESK_UNDER_ASAN
#define VESK_UNDER_ASAN 0
#endif

#if VESK_UNDER_ASAN
// The helper runs launchctl under its system-call filter, which has no
// ptrace: LeakSanitizer cannot stop the world there, and would turn every
// run into a failure. Its code is leak-checked through its tests instead.
extern "C" const char* __lsan_default_options() {  // NOLINT(bugprone-reserved-identifier)
    return "detect_leaks=0";
}
#endif

namespace {

using vesk::launchctl::kUnitMarker;

constexpr const char* kUnitDir = "/etc/systemd/system";
constexpr const char* kSystemctl = "/usr/bin/systemctl";
// Where units of the system live; a label naming one of them is not ours.
constexpr const char* kSystemUnitDirs[] = {"/etc/systemd/system", "/run/systemd/system",
                                           "/usr/local/lib/systemd/system", "/lib/systemd/system",
                                           "/usr/lib/systemd/system"};
constexpr std::size_t kMaxFile = std::size_t{1} << 20;

using Clock = std::chrono::steady_clock;
// The whole run, which the helper's own limit for launchctl exceeds.
constexpr auto kBudget = std::chrono::seconds(60);
// The parsing child: its share of the budget, its address space and CPU.
constexpr auto kParseTime = std::chrono::seconds(10);
[[maybe_unused]] constexpr rlim_t kParseMemory = rlim_t{256} << 20;
constexpr rlim_t kParseCpuSeconds = 5;
const Clock::time_point started = Clock::now();

Clock::time_point deadline(Clock::duration share = kBudget) {
    return std::min(started + kBudget, Clock::now() + share);
}

/// Waits for `child` until `until`, then kills it; its wait status, or -1
/// when it had to be killed or could not be waited for.
int waitUntil(pid_t child, Clock::time_point until) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    bool killed = false;
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            const int rc = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (rc < 0 && errno == EINTR) continue;
            if (rc == 0) {
                ::kill(child, SIGKILL);
                killed = true;
            }
            break;
        }
        ::close(pidfd);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return killed ? -1 : status;
}

void say(const std::string& line) {
    const std::string text = "launchctl: " + line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
}

int usage() {
    const std::string_view text =
        "usage: launchctl bootstrap system <path> | launchctl bootout system/<label>\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    return 2;
}

/// Reads a regular file reached through no final link, up to `limit` bytes.
bool readFile(const std::string& path, std::size_t limit, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::size_t>(st.st_size) <= limit;
    out.clear();
    char buf[16384];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > limit) ok = false;
    }
    ::close(fd);
    return ok;
}

/// Runs systemctl with `args`; its exit status, or -1.
int systemctl(std::vector<std::string> args, bool quiet = false) {
    vesk::spawn::Request request;
    request.program = kSystemctl;
    request.arguments = std::move(args);
    request.environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"};
    request.output = quiet ? vesk::spawn::Output::discard : vesk::spawn::Output::inherit;
    request.limit =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline() - Clock::now());
    const vesk::spawn::Result r = vesk::spawn::run(request);
    return r.timedOut ? -1 : r.exitStatus.value_or(-1);
}

/// Whether the unit file at `path` was written by launchctl.
bool isOurs(const std::string& path) {
    std::string text;
    return readFile(path, kMaxFile, text) && text.rfind(kUnitMarker, 0) == 0;
}

/// Whether `unit` is the system's (or an administrator's), not a launch daemon's.
bool belongsToTheSystem(const std::string& unit) {
    for (const char* dir : kSystemUnitDirs) {
        const std::string path = std::string(dir) + "/" + unit;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (std::string_view(dir) != kUnitDir || !isOurs(path)) return true;
    }
    return false;
}

/// Writes `text` to `path` through a new file renamed over it.
bool writeAtomically(const std::string& path, const std::string& text) {
    vesk::atomicfile::Options options;
    options.mode = 0644;
    return vesk::atomicfile::replace(path, text, options) == 0;
}

/// What the property list says, as a unit: read in a child process that has
/// given up root, so that the parser of hostile bytes can at worst end
/// itself. Only its verdict crosses back: a refusal line, or the unit text
/// and whether the job starts at load.
struct Verdict {
    std::optional<vesk::launchctl::LaunchDaemon> daemon;
    std::string refusal;
};

Verdict readApart(const std::string& bytes, const std::string& expected) {
    Verdict v;
    v.refusal = "the property list could not be read";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return v;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return v;
    }
    if (child == 0) {
        ::close(fds[0]);
        constexpr uid_t kNobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            if (::geteuid() == 0) ::_exit(70);
        }
        const rlimit cpu{kParseCpuSeconds, kParseCpuSeconds};
        if (::setrlimit(RLIMIT_CPU, &cpu) != 0) ::_exit(72);
#if !VESK_UNDER_ASAN
        // (AddressSanitizer reserves terabytes of address space for its
        // shadow, which no address-space limit lets it have: sanitizer builds
        // rely on the CPU limit and the deadline alone.)
        const rlimit memory{kParseMemory, kParseMemory};
        if (::setrlimit(RLIMIT_AS, &memory) != 0) ::_exit(72);
#endif
        const auto r = vesk::launchctl::readLaunchDaemon(bytes, expected);
        std::string out = r.daemon ? "D" + vesk::encodeJSON(*r.daemon) : "E" + r.error;
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ::_exit(71);
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    const Clock::time_point until = deadline(kParseTime);
    std::string out;
    char buf[16384];
    pollfd p{fds[0], POLLIN, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) break;
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out.size() < 4 * kMaxFile) out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    const int status = waitUntil(child, until);
    if (status < 0 || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)) {
        v.refusal = "the property list could not be read within its time and memory";
        return v;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) return v;
    if (out[0] == 'E') {
        v.refusal = out.substr(1);
    } else if (out[0] == 'D') {
        // The child is trusted no more than the list: what it read is
        // checked again by the same rules before anything is written.
        try {
            v.daemon =
                vesk::decodeJSON<vesk::launchctl::LaunchDaemon>(std::string_view(out).substr(1));
        } catch (const vesk::DecodingError&) {
            v.daemon.reset();
        }
        if (v.daemon) {
            if (std::string why = vesk::launchctl::checkLaunchDaemon(*v.daemon, expected);
                !why.empty()) {
                v.daemon.reset();
                v.refusal = std::move(why);
            }
        }
    }
    return v;
}

/// Takes a unit away: stopped, disabled, its file removed, systemd told.
void unload(const std::string& unit, const std::string& path) {
    systemctl({"stop", unit}, true);
    systemctl({"disable", unit}, true);
    ::unlink(path.c_str());
    systemctl({"daemon-reload"}, true);
}

/// After a failure: the unit is stopped and disabled only while systemd has
/// it from the very file launchctl wrote; that file goes in any case.
void undo(vesk::launchctl::SystemdBus& bus, const std::string& unit, const std::string& path) {
    const auto origin = bus.origin(unit);
    if (origin && origin->fragmentPath == path && isOurs(path) &&
        vesk::launchctl::notOurs(*origin, path).empty()) {
        unload(unit, path);
        return;
    }
    if (isOurs(path)) ::unlink(path.c_str());
    systemctl({"daemon-reload"}, true);
}

int bootstrap(const std::string& plistPath) {
    const std::size_t slash = plistPath.rfind('/');
    const std::string file = plistPath.substr(slash == std::string::npos ? 0 : slash + 1);
    if (file.size() <= 6 || file.compare(file.size() - 6, 6, ".plist") != 0) {
        say(vesk::launchctl::printable(plistPath) + ": the file's name does not end in .plist");
        return 1;
    }
    const std::string expected = file.substr(0, file.size() - 6);
    std::string bytes;
    if (!readFile(plistPath, kMaxFile, bytes)) {
        say(vesk::launchctl::printable(plistPath) + ": cannot be read");
        return 1;
    }
    const Verdict read = readApart(bytes, expected);
    if (!read.daemon) {
        say(read.refusal);
        return 1;
    }
    const vesk::launchctl::LaunchDaemon& daemon = *read.daemon;
    const std::string unit = expected + ".service";
    const std::string path = std::string(kUnitDir) + "/" + unit;
    if (belongsToTheSystem(unit)) {
        say(unit + " belongs to the system, not to a launch daemon");
        return 1;
    }
    // systemd knows units from more places than files: generators, transient
    // units, drop-ins. Whatever it has under this name must be ours, or nothing.
    vesk::launchctl::SystemdBus bus;
    const auto before = bus.origin(unit);
    if (!before) {
        say("the service manager cannot be asked about " + unit + " (" +
            vesk::launchctl::SystemdBus::lastError() + ")");
        return 1;
    }
    if (const std::string why = vesk::launchctl::notOurs(*before, path); !why.empty()) {
        say(unit + " belongs to the system: " + why);
        return 1;
    }
    if (!writeAtomically(path, vesk::launchctl::unitText(daemon))) {
        say(path + ": " + std::strerror(errno));
        return 1;
    }
    if (systemctl({"daemon-reload"}) != 0) {
        say(expected + " could not be loaded");
        undo(bus, unit, path);
        return 1;
    }
    // What systemd read must be what the list said, before anything runs.
    const auto after = bus.origin(unit);
    const auto loaded = bus.service(unit);
    std::string why;
    if (!after || !loaded) {
        why = "the service manager cannot be asked about " + unit + " (" +
              vesk::launchctl::SystemdBus::lastError() + ")";
    } else if (after->loadState != "loaded" || after->fragmentPath != path) {
        why = unit + " did not load from " + path;
    } else if (const std::string other = vesk::launchctl::notOurs(*after, path); !other.empty()) {
        why = unit + " belongs to the system: " + other;
    } else {
        why = vesk::launchctl::readBackMismatch(daemon, *loaded);
        if (!why.empty()) why = expected + ": " + why;
    }
    if (!why.empty()) {
        say(why);
        undo(bus, unit, path);
        return 1;
    }
    bool started = true;
    if (daemon.startsAtLoad()) {
        started = systemctl({"enable", "--quiet", unit}) == 0 && systemctl({"restart", unit}) == 0;
    } else {
        systemctl({"disable", "--quiet", unit}, true);
        systemctl({"stop", unit}, true);
    }
    if (!started) {
        say(expected + " could not be loaded");
        undo(bus, unit, path);
        return 1;
    }
    return 0;
}

int bootout(const std::string& target) {
    const std::string label = target.substr(std::string_view("system/").size());
    if (!vesk::launchctl::isSafeLabel(label)) {
        say("label " + vesk::launchctl::printable(label) + " is not a safe unit name");
        return 1;
    }
    const std::string unit = label + ".service";
    const std::string path = std::string(kUnitDir) + "/" + unit;
    if (!isOurs(path)) {
        say("no launch daemon " + label);
        return 3;
    }
    unload(unit, path);
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "bootstrap" && args[1] == "system") {
        return bootstrap(args[2]);
    }
    if (args.size() == 2 && args[0] == "bootout" && args[1].rfind("system/", 0) == 0) {
        return bootout(args[1]);
    }
    return usage();
}

#include "HelperTools.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

#include "Log.hpp"
#include "SafeFS.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace vesk::helper {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// `path` equals `base` or lies below it, compared by whole components.
bool within(const std::string& path, const std::string& base) {
    if (path.size() < base.size() || path.compare(0, base.size(), base) != 0) return false;
    return path.size() == base.size() || path[base.size()] == '/';
}

}  // namespace

std::string helperHome() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return "/root";
}

std::string standardizePath(const std::string& path, const std::string& home) {
    std::string p = path;
    if (p == "~" || p.rfind("~/", 0) == 0) p = home + p.substr(1);
    if (p.empty()) return p;
    const bool absolute = p.front() == '/';
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= p.size()) {
        const std::size_t j = std::min(p.find('/', i), p.size());
        const std::string part = p.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." && absolute) {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out = absolute ? "/" : "";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) out += '/';
        out += parts[k];
    }
    if (absolute && out.rfind("/private/", 0) == 0) {
        const std::string rest = out.substr(8);
        if (exists(rest)) out = rest;
    }
    return out;
}

namespace {

// The allow-list on a path that is already standard.
bool allowedStandard(const Layout& layout, const std::string& p) {
    if (p.empty() || p.front() != '/') return false;
    if (within(p, layout.veskBase)) return true;
    if (p == layout.cliLink) return true;
    if (within(p, layout.resolverDir)) return true;
    const std::string prefix = layout.daemonPrefix();
    return p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0 &&
           p.find('/', prefix.size()) == std::string::npos;
}

}  // namespace

StandardPath standardPath(const Layout& layout, const std::string& path) {
    StandardPath sp;
    sp.given = path;
    if (path.empty() || path.find('\0') != std::string::npos) return sp;
    sp.text = standardizePath(path, helperHome());
    sp.allowed = allowedStandard(layout, sp.text);
    return sp;
}

bool isAllowedPath(const Layout& layout, const std::string& path) {
    return standardPath(layout, path).allowed;
}

namespace {

int spawnAndWait(const std::string& executable, const std::vector<std::string>& args,
                 std::optional<std::chrono::milliseconds> limit) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Children start with default signal dispositions and an empty mask,
    // whatever the helper itself ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (limit) {
        flags |= POSIX_SPAWN_SETPGROUP;  // a group of its own, killed whole at the limit
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, flags);
    pid_t child = 0;
    int rc = EINVAL;
    if (!executable.empty() && executable.front() == '/') {
        rc = posix_spawn(&child, executable.c_str(), &actions, &attr, argv.data(), environ);
    } else {
        rc = ENOENT;  // only absolute paths are run: no search path
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        logLine("Failed to run " + executable + ": " + std::strerror(rc));
        return -1;
    }
    if (limit) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
        if (pidfd >= 0) {
            const auto until = std::chrono::steady_clock::now() + *limit;
            pollfd p{pidfd, POLLIN, 0};
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    until - std::chrono::steady_clock::now());
                const int ready =
                    ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
                if (ready < 0 && errno == EINTR) continue;
                // Killed before it is reaped, so the group's id is still its own.
                if (ready == 0) ::kill(-child, SIGKILL);
                break;
            }
            ::close(pidfd);
        }
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return WTERMSIG(status);
    return -1;
}

}  // namespace

int runShell(const std::string& executable, const std::vector<std::string>& args) {
    return spawnAndWait(executable, args, std::nullopt);
}

int runShell(const std::string& executable, const std::vector<std::string>& args,
             std::chrono::milliseconds limit) {
    return spawnAndWait(executable, args, limit);
}

void createDirIfNeeded(const Layout& layout, const std::string& path, std::uint16_t permissions) {
    SafeFS(layout).createDirIfNeeded(path, permissions);
}

}  // namespace vesk::helper

#include "vesk/system/Spawn.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace vesk::spawn {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1'000'000'000));
}

/// Reads the pipe to its end (or the deadline) into `out`, keeping at most
/// `limit` bytes; whether the deadline came first.
bool drain(int fd, std::string& out, std::size_t limit, std::optional<Clock::time_point> until) {
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, until ? millisecondsLeft(*until) : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return true;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (out.size() < limit) {
            out.append(buffer, std::min(static_cast<std::size_t>(n), limit - out.size()));
        }
    }
}

/// Waits for the child to end (or the deadline); whether the deadline came first.
bool awaitEnd(pid_t child, Clock::time_point until) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    if (pidfd < 0) return false;
    bool late = false;
    for (;;) {
        pollfd p{pidfd, POLLIN, 0};
        const int ready = ::poll(&p, 1, millisecondsLeft(until));
        if (ready < 0 && errno == EINTR) continue;
        late = ready == 0;
        break;
    }
    ::close(pidfd);
    return late;
}

/// posix_spawn with the children's defaults: the signals' default
/// dispositions and an empty mask, whatever the caller ignores.
int launch(pid_t& child, const std::string& program, const std::vector<std::string>& arguments,
           const std::optional<std::vector<std::string>>& environment,
           posix_spawn_file_actions_t& actions, bool ownGroup) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    const auto pointer = [](const std::string& text) { return const_cast<char*>(text.c_str()); };
    std::transform(arguments.begin(), arguments.end(), std::back_inserter(argv), pointer);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (environment) {
        std::transform(environment->begin(), environment->end(), std::back_inserter(envp), pointer);
        envp.push_back(nullptr);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, flags);
    const int rc = ::posix_spawn(&child, program.c_str(), &actions, &attr, argv.data(),
                                 environment ? envp.data() : environ);
    posix_spawnattr_destroy(&attr);
    return rc;
}

/// Standard descriptor `target` from `fd`, or /dev/null for -1.
void bind(posix_spawn_file_actions_t& actions, int fd, int target) {
    if (fd < 0) {
        posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                         target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, fd, target);
    }
}

}  // namespace

Started start(const Start& request) {
    Started started;
    if (request.program.empty() || request.program.front() != '/') {
        started.error = ENOENT;
        return started;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    bind(actions, request.input, STDIN_FILENO);
    bind(actions, request.output, STDOUT_FILENO);
    bind(actions, request.error, STDERR_FILENO);
    if (request.directory) {
        posix_spawn_file_actions_addchdir_np(&actions, request.directory->c_str());
    }
    pid_t child = 0;
    const int rc = launch(child, request.program, request.arguments, request.environment, actions,
                          request.ownGroup);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        started.error = rc;
    } else {
        started.pid = child;
    }
    return started;
}

Result run(const Request& request) {
    Result result;
    if (request.program.empty() || request.program.front() != '/') {
        result.spawnError = ENOENT;
        return result;
    }
    int pipeFds[2] = {-1, -1};
    if (request.output == Output::capture && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.spawnError = errno;
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (request.output == Output::discard) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    } else if (request.output == Output::capture) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    }
    pid_t child = 0;
    const int rc = launch(child, request.program, request.arguments, request.environment, actions,
                          request.ownGroup);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    if (rc != 0) {
        if (pipeFds[0] >= 0) ::close(pipeFds[0]);
        result.spawnError = rc;
        return result;
    }
    std::optional<Clock::time_point> until;
    if (request.limit) until.emplace(Clock::now() + *request.limit);
    bool late = false;
    if (pipeFds[0] >= 0) {
        late = drain(pipeFds[0], result.output, request.captureLimit, until);
        ::close(pipeFds[0]);
    }
    if (!late && until) late = awaitEnd(child, *until);
    if (late) {
        // Killed before it is reaped, so its id (and its group's) is still its own.
        ::kill(request.ownGroup ? -child : child, SIGKILL);
        result.timedOut = true;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace vesk::spawn

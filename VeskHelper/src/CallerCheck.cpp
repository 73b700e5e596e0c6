#include "CallerCheck.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "CodeSignature.hpp"

namespace vesk::helper {

namespace {

// Executables larger than this are not read for verification.
constexpr off_t kMaxExecutableSize = off_t{256} << 20;

std::optional<std::string> readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > (1U << 16)) break;
    }
    ::close(fd);
    return out;
}

std::string procPath(pid_t pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

}  // namespace

std::optional<ExecutableIdentity> identityOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return ExecutableIdentity{st.st_dev,          st.st_ino,
                              st.st_size,         static_cast<long long>(st.st_mtim.tv_sec),
                              st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec),
                              st.st_ctim.tv_nsec};
}

std::optional<unsigned long long> processStartTime(pid_t pid) {
    const auto stat = readSmallFile(procPath(pid, "stat"));
    if (!stat) return std::nullopt;
    // The command name may hold spaces and parentheses: fields follow the last ')'.
    const auto close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::string_view rest(*stat);
    rest.remove_prefix(close + 1);
    // Field 3 (state) is the first after ')'; the start time is field 22.
    int field = 2;
    std::size_t i = 0;
    while (i < rest.size() && field < 22) {
        while (i < rest.size() && rest[i] == ' ') ++i;
        ++field;
        if (field == 22) break;
        while (i < rest.size() && rest[i] != ' ') ++i;
    }
    if (field != 22 || i >= rest.size()) return std::nullopt;
    const std::string token(rest.substr(i, rest.find(' ', i) - i));
    char* end = nullptr;
    const unsigned long long v = std::strtoull(token.c_str(), &end, 10);
    if (end == token.c_str() || *end != '\0') return std::nullopt;
    return v;
}

std::optional<ProcessStatus> statusOf(pid_t pid) {
    const auto status = readSmallFile(procPath(pid, "status"));
    if (!status) return std::nullopt;
    const auto tracerAt = status->find("\nTracerPid:");
    const auto gidAt = status->find("\nGid:");
    const auto groupsAt = status->find("\nGroups:");
    if (tracerAt == std::string::npos || gidAt == std::string::npos ||
        groupsAt == std::string::npos) {
        return std::nullopt;
    }
    ProcessStatus out;
    const char* p = status->c_str() + tracerAt + 11;
    char* end = nullptr;
    out.tracer = std::strtol(p, &end, 10);
    if (end == p) return std::nullopt;
    // Gid: real effective saved filesystem
    p = status->c_str() + gidAt + 5;
    std::strtoul(p, &end, 10);
    out.gid = static_cast<gid_t>(std::strtoul(end, &end, 10));
    p = status->c_str() + groupsAt + 8;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p < '0' || *p > '9') break;
        out.groups.push_back(static_cast<gid_t>(std::strtoul(p, &end, 10)));
        p = end;
    }
    return out;
}

CallerCheck::CallerCheck(std::string trustRootPEM, std::string teamIdentifier,
                         EnvironmentLayout layout)
    : trustRootPEM_(std::move(trustRootPEM)),
      teamIdentifier_(std::move(teamIdentifier)),
      layout_(std::move(layout)) {}

std::optional<uid_t> CallerCheck::consoleUser() {
    char* session = nullptr;
    uid_t uid = 0;
    const int r = sd_seat_get_active("seat0", &session, &uid);
    std::free(session);
    if (r < 0) return std::nullopt;
    return uid;
}

bool CallerCheck::userMayCall(uid_t uid) const {
    if (uid == 0) return true;
    struct stat st {};
    if (::lstat(layout_.veskBase.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid != 0) {
        // The environment was handed to this user at installation.
        return st.st_uid == uid;
    }
    const auto console = consoleUser();
    return console && *console == uid;
}

std::optional<CallerCheck::Verdict> CallerCheck::cached(uid_t uid,
                                                        const ExecutableIdentity& identity) {
    const std::lock_guard lock(cacheMutex_);
    const auto user = users_.find(uid);
    if (user == users_.end()) return std::nullopt;
    UserVerdicts& mine = user->second;
    mine.lastUse = ++useClock_;
    const auto it = mine.index.find(identity);
    if (it == mine.index.end()) return std::nullopt;
    mine.recent.splice(mine.recent.begin(), mine.recent, it->second);
    return it->second->second;
}

void CallerCheck::remember(uid_t uid, const ExecutableIdentity& identity, const Verdict& verdict) {
    const std::lock_guard lock(cacheMutex_);
    UserVerdicts& mine = userEntry(uid);
    if (const auto it = mine.index.find(identity); it != mine.index.end()) {
        it->second->second = verdict;
        mine.recent.splice(mine.recent.begin(), mine.recent, it->second);
        return;
    }
    mine.recent.emplace_front(identity, verdict);
    mine.index.emplace(identity, mine.recent.begin());
    if (mine.recent.size() > kVerdictsPerUser) {
        mine.index.erase(mine.recent.back().first);
        mine.recent.pop_back();
    }
}

std::shared_ptr<std::mutex> CallerCheck::verifierOf(uid_t uid) {
    const std::lock_guard lock(cacheMutex_);
    return userEntry(uid).verifier;
}

CallerCheck::UserVerdicts& CallerCheck::userEntry(uid_t uid) {
    auto user = users_.find(uid);
    if (user == users_.end()) {
        // Only users allowed to call get here, so there are few; past the
        // bound the one idle longest is forgotten (a verifier still in use
        // lives on in its holder).
        if (users_.size() >= kUsersKept) {
            auto idle = users_.begin();
            for (auto it = users_.begin(); it != users_.end(); ++it) {
                if (it->second.lastUse < idle->second.lastUse) idle = it;
            }
            users_.erase(idle);
        }
        user = users_.emplace(uid, UserVerdicts{}).first;
    }
    user->second.lastUse = ++useClock_;
    return user->second;
}

CallerCheck::Verdict CallerCheck::verify(int fd, const ExecutableIdentity& identity) const {
    if (identity.size <= 0 || identity.size > kMaxExecutableSize) return std::nullopt;
    // Read, not mapped: a caller that truncates its own executable meanwhile
    // must not be able to crash the helper with SIGBUS. The buffer is mapped
    // memory of its own, so it goes back to the system as soon as the
    // verdict is in.
    const auto size = static_cast<std::size_t>(identity.size);
    void* buffer =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED) return std::nullopt;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    // Read in pieces against a deadline: a slow file gives no verdict rather
    // than holding the verifier.
    const auto deadline = std::chrono::steady_clock::now() + kVerifyTimeLimit;
    constexpr std::size_t kPiece = std::size_t{4} << 20;
    while (done < size && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n =
            ::pread(fd, bytes + done, std::min(kPiece, size - done), static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    Verdict team;
    if (done == size) {
        if (const auto verdict =
                codesign::verify(std::span<const std::uint8_t>(bytes, size), trustRootPEM_)) {
            team = verdict->teamIdentifier;
        }
    }
    ::munmap(buffer, size);
    return team;
}

std::optional<std::string> CallerCheck::teamOf(int fd, const ExecutableIdentity& identity,
                                               uid_t uid) {
    if (auto verdict = cached(uid, identity)) return *verdict;
    // One verification per user at a time, so one user's memory for it is
    // bounded and their flood waits behind itself alone.
    const std::shared_ptr<std::mutex> verifier = verifierOf(uid);
    const std::lock_guard slot(*verifier);
    // The same file may have been verified for this user meanwhile.
    if (auto verdict = cached(uid, identity)) return *verdict;
    Verdict team = verify(fd, identity);
    // The file may have changed while it was read; only keep a stable verdict.
    if (identityOf(fd) == identity) remember(uid, identity, team);
    return team;
}

std::optional<CheckedProcess> CallerCheck::check(pid_t pid, uid_t uid) {
    // The cheap things first, before a byte of any executable is read: who
    // the user is, where the process lives, whether it is traced.
    if (pid <= 0 || !userMayCall(uid) || !inOwnNamespaces(pid)) return std::nullopt;
    const auto started = processStartTime(pid);
    if (!started) return std::nullopt;
    if (const auto before = statusOf(pid); !before || before->tracer != 0) return std::nullopt;
    const int fd = ::open(procPath(pid, "exe").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    const auto identity = identityOf(fd);
    std::optional<std::string> team;
    if (identity) team = teamOf(fd, *identity, uid);
    ::close(fd);
    if (!identity || !team || *team != teamIdentifier_) return std::nullopt;
    // The pid must still name the same, untraced process.
    const auto after = statusOf(pid);
    if (processStartTime(pid) != started || !after || after->tracer != 0) return std::nullopt;
    CheckedProcess checked{pid, uid, after->gid, after->groups, *started, *identity};
    if (!stillSame(checked, pid, uid)) return std::nullopt;
    if (!userMayCall(uid)) return std::nullopt;
    return checked;
}

bool CallerCheck::inOwnNamespaces(pid_t pid, bool pidNamespaceToo) {
    // A namespace link reads "user:[<inode>]"; all live on the one nsfs
    // device, so the text names the namespace. Reading it is cheaper than
    // following it.
    const auto of = [](const std::string& path) -> std::optional<std::string> {
        char buf[64];
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
        return std::string(buf, static_cast<std::size_t>(n));
    };
    // The helper's own never change.
    static const auto ownUser = of("/proc/self/ns/user");
    static const auto ownPid = of("/proc/self/ns/pid");
    const auto same = [&](const std::optional<std::string>& own, const char* leaf) {
        return own && of(procPath(pid, leaf)) == own;
    };
    return same(ownUser, "ns/user") && (!pidNamespaceToo || same(ownPid, "ns/pid"));
}

bool CallerCheck::stillSame(const CheckedProcess& checked, pid_t pid, uid_t uid) {
    if (pid != checked.pid || uid != checked.uid) return false;
    struct stat st {};
    if (::stat(procPath(pid, "exe").c_str(), &st) != 0) return false;
    const ExecutableIdentity now{st.st_dev,          st.st_ino,
                                 st.st_size,         static_cast<long long>(st.st_mtim.tv_sec),
                                 st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec),
                                 st.st_ctim.tv_nsec};
    // A process keeps its pid namespace for life; its user namespace it can
    // leave, and a message from outside ours carries credentials it chose.
    return now == checked.executable && inOwnNamespaces(pid, false);
}

}  // namespace vesk::helper

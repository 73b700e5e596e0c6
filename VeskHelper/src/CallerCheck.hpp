// Who may call the helper: a process whose executable carries a valid code
// signature of the maker's team, that is not being traced, run by root, by
// the owner of the installed environment, or by the user at the console.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "vesk/system/EnvironmentLayout.hpp"

namespace vesk::helper {

/// What identifies an executable file for the signature cache. The change
/// time is in it because no user can set it back: bytes written in place
/// always give a new identity, whatever the modification time says.
struct ExecutableIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtimeSeconds = 0;
    long nanoseconds = 0;
    long long ctimeSeconds = 0;
    long ctimeNanoseconds = 0;
    friend auto operator<=>(const ExecutableIdentity&,
                            const ExecutableIdentity&) = default;  // NOLINT(modernize-use-nullptr)
};

/// A process as it was when it passed the check.
struct CheckedProcess {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;              ///< effective group
    std::vector<gid_t> groups;  ///< supplementary groups
    unsigned long long startTime = 0;
    ExecutableIdentity executable;
};

class CallerCheck {
  public:
    CallerCheck(std::string trustRootPEM, std::string teamIdentifier, EnvironmentLayout layout);

    /// The full check of a peer the kernel named at accept. Never throws.
    std::optional<CheckedProcess> check(pid_t pid, uid_t uid);

    /// True when a later message, sent by (pid, uid) as the kernel reports,
    /// still comes from the checked process running the checked executable,
    /// in the helper's own user namespace.
    static bool stillSame(const CheckedProcess& checked, pid_t pid, uid_t uid);

    /// True when the process lives in the helper's own pid and user
    /// namespaces: only there are the pids and uids the kernel reports ones
    /// that no caller could have chosen.
    static bool inOwnNamespaces(pid_t pid, bool pidNamespaceToo = true);

    /// Longest time one executable may take to read and verify.
    static constexpr auto kVerifyTimeLimit = std::chrono::seconds(5);

    /// The uid of the active session on seat0, if any (systemd-logind).
    static std::optional<uid_t> consoleUser();

    /// The signature verdict for an executable that `uid` runs: its team, or
    /// none when invalid. Each user has verdicts and a verifier of their own:
    /// one user's files never evict another's verdicts, and one user's
    /// checks (one at a time) never wait behind another's.
    std::optional<std::string> teamOf(int executableFd, const ExecutableIdentity& identity,
                                      uid_t uid);

    /// Verdicts kept per user, the least recently used going first.
    static constexpr std::size_t kVerdictsPerUser = 128;
    /// Users whose verdicts are kept; the one idle longest goes first.
    static constexpr std::size_t kUsersKept = 32;

  private:
    bool userMayCall(uid_t uid) const;

    using Verdict = std::optional<std::string>;
    struct UserVerdicts {
        std::list<std::pair<ExecutableIdentity, Verdict>> recent;  // most recent first
        std::map<ExecutableIdentity, decltype(recent)::iterator> index;
        std::shared_ptr<std::mutex> verifier = std::make_shared<std::mutex>();
        unsigned long long lastUse = 0;
    };
    std::optional<Verdict> cached(uid_t uid, const ExecutableIdentity& identity);
    void remember(uid_t uid, const ExecutableIdentity& identity, const Verdict& verdict);
    std::shared_ptr<std::mutex> verifierOf(uid_t uid);
    UserVerdicts& userEntry(uid_t uid);  // with cacheMutex_ held
    Verdict verify(int fd, const ExecutableIdentity& identity) const;

    std::string trustRootPEM_;
    std::string teamIdentifier_;
    EnvironmentLayout layout_;
    std::mutex cacheMutex_;  // guards users_ and useClock_; never held while verifying
    std::map<uid_t, UserVerdicts> users_;
    unsigned long long useClock_ = 0;
};

/// Identity of the file behind a descriptor.
std::optional<ExecutableIdentity> identityOf(int fd);
/// Start time of a process (clock ticks since boot), from /proc/<pid>/stat.
std::optional<unsigned long long> processStartTime(pid_t pid);
/// What the caller check reads of /proc/<pid>/status.
struct ProcessStatus {
    long tracer = 0;            ///< TracerPid: 0 when not traced
    gid_t gid = 0;              ///< effective group
    std::vector<gid_t> groups;  ///< supplementary groups
};
std::optional<ProcessStatus> statusOf(pid_t pid);

}  // namespace vesk::helper

// Every fixed location the helper works with. The default is the production
// layout; tests build one inside a temporary directory, and nothing else
// differs between a test and production.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vesk::helper {

struct Layout {
    std::string veskBase;     ///< "/usr/local/vesk"
    std::string versionFile;  ///< "/usr/local/vesk/.version"
    std::string resolverDir;  ///< "/etc/resolver"
    std::string daemonDir;    ///< "/Library/LaunchDaemons"
    std::string usrLocalBin;  ///< "/usr/local/bin"
    std::string cliLink;      ///< "/usr/local/bin/vesk"
    std::string socketDir;    ///< "/run/vesk"
    std::string socketPath;   ///< "/run/vesk/com.vesk.helper"
    std::string launchctl;    ///< "/usr/libexec/vesk/launchctl"
    /// How long a launchctl run may take before it and its children are
    /// killed: longer than launchctl's own budget (60 s), so only a stuck
    /// translator ever meets it.
    std::chrono::milliseconds launchctlLimit{90'000};
    std::string chown;      ///< "/usr/bin/chown"
    std::string systemctl;  ///< "/usr/bin/systemctl"
    /// Where systemd-resolved keeps its state while it runs.
    std::string resolvedRuntimeDir;              ///< "/run/systemd/resolve"
    std::vector<std::string> dnsmasqCandidates;  ///< tested in order
    /// The kernel's switch that stops users linking files they cannot write.
    std::string protectedHardlinks = "/proc/sys/fs/protected_hardlinks";

    /// The production locations.
    static Layout production();
    /// The same tree below `root` (programs outside the tree keep their paths,
    /// except the environment's own dnsmasq copy).
    static Layout rootedAt(const std::string& root);

    [[nodiscard]] std::string runDir() const { return veskBase + "/run"; }
    [[nodiscard]] std::string binDir() const { return veskBase + "/bin"; }
    [[nodiscard]] std::string nginx() const { return veskBase + "/bin/nginx"; }
    [[nodiscard]] std::string dnsmasqPidFile() const { return veskBase + "/run/dnsmasq.pid"; }
    [[nodiscard]] std::string daemonPrefix() const { return daemonDir + "/com.vesk."; }
};

}  // namespace vesk::helper

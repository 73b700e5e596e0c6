// Every fixed location of the environment, in one value: the helper, the
// command and the servers' configuration all take their paths from it. The
// default is the production layout; tests build one below a temporary
// directory, and nothing else differs between a test and production.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

struct EnvironmentLayout {
    std::string veskBase = "/usr/local/vesk";
    std::string versionFile = "/usr/local/vesk/.version";
    std::string resolverDir = "/etc/resolver";
    std::string daemonDir = "/Library/LaunchDaemons";
    std::string usrLocalBin = "/usr/local/bin";
    std::string cliLink = "/usr/local/bin/vesk";
    std::string socketDir = "/run/vesk";
    std::string socketPath = "/run/vesk/com.vesk.helper";
    /// The project's own launchctl (launch daemons as systemd units); it is
    /// not on users' search path, and stays there in tests (they run no
    /// daemons).
    std::string launchctl = "/usr/libexec/vesk/launchctl";
    /// How long a launchctl run may take before it and its children are
    /// killed: longer than launchctl's own budget (60 s), so only a stuck
    /// translator ever meets it.
    std::chrono::milliseconds launchctlLimit{90'000};
    std::string chown = "/usr/bin/chown";
    std::string systemctl = "/usr/bin/systemctl";
    /// Where systemd-resolved keeps its state while it runs.
    std::string resolvedRuntimeDir = "/run/systemd/resolve";
    /// dnsmasq's places, tested in order: the environment's own copy first.
    std::vector<std::string> dnsmasqCandidates = {
        "/usr/local/vesk/bin/dnsmasq", "/opt/homebrew/sbin/dnsmasq", "/usr/local/sbin/dnsmasq",
        "/opt/homebrew/bin/dnsmasq", "/usr/local/bin/dnsmasq"};
    /// The kernel's switch that stops users linking files they cannot write.
    std::string protectedHardlinks = "/proc/sys/fs/protected_hardlinks";
    /// The local authority: root's, so that no program of the developer's,
    /// the sites' PHP among them, can read its key.
    std::string authorityDir = "/var/lib/vesk/authority";
    /// Debian's PHP configuration: <version>/fpm/conf.d holds the ini files
    /// its PHP-FPM reads.
    std::string debianPHPDir = "/etc/php";
    /// Root's copies of those directories for the environment's pools, one
    /// per version, without Xdebug's file: a pool loads Xdebug only when it
    /// is the one for Xdebug.
    std::string phpScanRoot = "/var/lib/vesk/php";
    /// What the package hands `sudo vesk install`: the environment's nginx,
    /// Debian's dnsmasq and the command.
    std::string resourcesDir = "/usr/lib/vesk/resources";

    /// The production locations.
    static EnvironmentLayout production() { return {}; }
    /// The same tree below `root` (programs outside the tree keep their
    /// paths, except the environment's own dnsmasq copy).
    static EnvironmentLayout rootedAt(const std::string& root);
    /// The production layout with the environment itself at `base`.
    static EnvironmentLayout withBase(const std::string& base);

    [[nodiscard]] std::string binDir() const { return veskBase + "/bin"; }
    [[nodiscard]] std::string etcDir() const { return veskBase + "/etc"; }
    [[nodiscard]] std::string runDir() const { return veskBase + "/run"; }
    [[nodiscard]] std::string logDir() const { return veskBase + "/log"; }
    [[nodiscard]] std::string sitesDir() const { return veskBase + "/etc/nginx/sites"; }
    /// What the blocks in `sitesDir` serve, written with them.
    [[nodiscard]] std::string servedIndex() const { return veskBase + "/etc/served.json"; }
    [[nodiscard]] std::string nginx() const { return veskBase + "/bin/nginx"; }
    [[nodiscard]] std::string nginxConf() const { return etcDir() + "/nginx.conf"; }
    [[nodiscard]] std::string nginxPidFile() const { return runDir() + "/nginx.pid"; }
    [[nodiscard]] std::string dnsmasqConf() const { return etcDir() + "/dnsmasq.conf"; }
    [[nodiscard]] std::string dnsmasqPidFile() const { return runDir() + "/dnsmasq.pid"; }
    [[nodiscard]] std::string phpDir() const { return veskBase + "/php"; }
    /// A PHP version's PHP-FPM, its pool's configuration, socket and pid
    /// file. The version is inserted as given: callers check it first.
    [[nodiscard]] std::string phpFpm(std::string_view version) const {
        return phpDir() + "/" + std::string(version) + "/sbin/php-fpm";
    }
    [[nodiscard]] std::string phpConf(std::string_view version) const {
        return etcDir() + "/php-fpm-" + std::string(version) + ".conf";
    }
    [[nodiscard]] std::string phpSocket(std::string_view version) const {
        return runDir() + "/php-fpm-" + std::string(version) + ".sock";
    }
    [[nodiscard]] std::string phpPidFile(std::string_view version) const {
        return runDir() + "/php-fpm-" + std::string(version) + ".pid";
    }
    [[nodiscard]] std::string daemonPrefix() const { return daemonDir + "/com.vesk."; }
};

}  // namespace vesk

#include "vesk/system/EnvironmentLayout.hpp"

namespace vesk {

EnvironmentLayout EnvironmentLayout::rootedAt(const std::string& root) {
    EnvironmentLayout l = withBase(root + "/usr/local/vesk");
    l.versionFile = l.veskBase + "/.version";
    l.resolverDir = root + "/etc/resolver";
    l.daemonDir = root + "/Library/LaunchDaemons";
    l.usrLocalBin = root + "/usr/local/bin";
    l.cliLink = l.usrLocalBin + "/vesk";
    l.socketDir = root + "/run/vesk";
    l.socketPath = l.socketDir + "/com.vesk.helper";
    l.resolvedRuntimeDir = root + "/run/systemd/resolve";
    l.authorityDir = root + "/var/lib/vesk/authority";
    l.debianPHPDir = root + "/etc/php";
    l.phpScanRoot = root + "/var/lib/vesk/php";
    return l;
}

EnvironmentLayout EnvironmentLayout::withBase(const std::string& base) {
    EnvironmentLayout l;
    l.veskBase = base;
    l.versionFile = base + "/.version";
    l.dnsmasqCandidates.front() = base + "/bin/dnsmasq";
    return l;
}

}  // namespace vesk

#include "Layout.hpp"

namespace vesk::helper {

namespace {

// The project's own launchctl (launch daemons as systemd units); it is not on
// users' search path. Outside the tree in tests too: tests run no daemons.
constexpr const char* kLaunchctl = "/usr/libexec/vesk/launchctl";

Layout make(const std::string& root) {
    Layout l;
    l.veskBase = root + "/usr/local/vesk";
    l.versionFile = l.veskBase + "/.version";
    l.resolverDir = root + "/etc/resolver";
    l.daemonDir = root + "/Library/LaunchDaemons";
    l.usrLocalBin = root + "/usr/local/bin";
    l.cliLink = l.usrLocalBin + "/vesk";
    l.socketDir = root + "/run/vesk";
    l.socketPath = l.socketDir + "/com.vesk.helper";
    l.launchctl = kLaunchctl;
    l.chown = "/usr/bin/chown";
    l.systemctl = "/usr/bin/systemctl";
    l.resolvedRuntimeDir = root + "/run/systemd/resolve";
    l.dnsmasqCandidates = {l.veskBase + "/bin/dnsmasq", "/opt/homebrew/sbin/dnsmasq",
                           "/usr/local/sbin/dnsmasq", "/opt/homebrew/bin/dnsmasq",
                           "/usr/local/bin/dnsmasq"};
    return l;
}

}  // namespace

Layout Layout::production() {
    return make("");
}
Layout Layout::rootedAt(const std::string& root) {
    return make(root);
}

}  // namespace vesk::helper

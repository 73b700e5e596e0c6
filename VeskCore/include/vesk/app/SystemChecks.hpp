// What `vesk doctor` checks of the machine, as results with a one-line fix
// each. The checks read texts the caller hands over (the hosts line, a
// resolver file, what listens on a port), so they are the same on every
// machine and in tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/app/DiagnosticResult.hpp"
#include "vesk/sites/Site.hpp"

namespace vesk::SystemChecks {

/// The hosts line of nsswitch.conf (the file's text): the module named, and
/// before `resolve`, which answers every name itself.
DiagnosticResult hostsLine(std::string_view nsswitchText);

/// The resolver file of `tld` (its text, none when missing).
DiagnosticResult resolverFile(std::string_view tld, const std::optional<std::string>& text);

/// A port the environment's servers need. `listening`: whether anything
/// listens there; `vesks`: whether that is the environment's own server;
/// `holder`: the service that holds it otherwise, when known.
DiagnosticResult port(int number, std::string_view use, bool listening, bool vesks,
                      const std::optional<std::string>& holder);

/// Every PHP version the sites want is installed.
DiagnosticResult phpVersions(const std::vector<Site>& sites, const std::string& defaultPHP,
                             const std::vector<std::string>& installed);

/// The sites' directories the web server (running as the developer) cannot
/// read: `unreadable` names them.
DiagnosticResult siteDirectories(const std::vector<std::string>& unreadable);

/// Which services hold ports on Debian when they run.
const std::vector<std::pair<std::string, std::vector<int>>>& knownHolders();

}  // namespace vesk::SystemChecks

// Fixed locations of the per-user data tree and of the temporary run directory.
// Every per-user path is computed anew on each call from the home directory.
#pragma once

#include <string>
#include <string_view>

namespace vesk::VeskPaths {

/// Home directory + "/Library/Application Support/Vesk". The home directory is
/// $HOME when it is set and absolute, otherwise the password entry of the
/// effective user.
/// $HOME when set and absolute, else the user's password entry.
std::string homeDirectory();
std::string baseDir();
std::string configDir();
std::string sitesConfigPath();
std::string groupsConfigPath();
std::string servicesConfigPath();
std::string settingsPath();
std::string nginxDir();
std::string nginxVhostDir();
std::string phpDir();
std::string dnsmasqDir();
std::string sslDir();
std::string caDir();
std::string certsDir();
std::string servicesDataDir();
std::string binDir();
std::string phpVersionsDir();
std::string serviceVersionsDir();
std::string nodeVersionsDir();
std::string pythonVersionsDir();
std::string flutterVersionsDir();
std::string goVersionsDir();
std::string profilesDir();
std::string logDir();

inline constexpr std::string_view tmpDir = "/tmp/vesk";
inline constexpr std::string_view debugSocketPath = "/tmp/vesk/vesk-debug.sock";
inline constexpr std::string_view nginxPidPath = "/tmp/vesk/nginx.pid";
inline constexpr std::string_view dnsmasqPidPath = "/tmp/vesk/dnsmasq.pid";

/// The arguments are inserted unchanged: no escaping, no validation.
std::string phpFpmPidPath(std::string_view version);
std::string phpVersionDir(std::string_view version);
std::string serviceDataDir(std::string_view name);

}  // namespace vesk::VeskPaths

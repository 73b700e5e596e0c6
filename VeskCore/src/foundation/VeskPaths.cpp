#include "vesk/foundation/VeskPaths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace vesk::VeskPaths {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        std::string h(home);
        while (h.size() > 1 && h.back() == '/') h.pop_back();
        return h;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(static_cast<std::size_t>(size > 0 ? size : 16384));
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr) {
        std::string h(result->pw_dir);
        while (h.size() > 1 && h.back() == '/') h.pop_back();
        return h;
    }
    return "/";
}

namespace {

std::string under(std::string_view rest) {
    return baseDir() + std::string(rest);
}

}  // namespace

std::string baseDir() {
    std::string home = homeDirectory();
    if (home == "/") home.clear();
    return home + "/Library/Application Support/Vesk";
}

std::string configDir() {
    return under("/config");
}
std::string sitesConfigPath() {
    return under("/config/sites.json");
}
std::string groupsConfigPath() {
    return under("/config/groups.json");
}
std::string servicesConfigPath() {
    return under("/config/services.json");
}
std::string settingsPath() {
    return under("/config/settings.json");
}
std::string nginxDir() {
    return under("/nginx");
}
std::string nginxVhostDir() {
    return under("/nginx/vhosts");
}
std::string phpDir() {
    return under("/php");
}
std::string dnsmasqDir() {
    return under("/dnsmasq");
}
std::string sslDir() {
    return under("/ssl");
}
std::string caDir() {
    return under("/ssl/ca");
}
std::string certsDir() {
    return under("/ssl/certs");
}
std::string servicesDataDir() {
    return under("/data");
}
std::string binDir() {
    return under("/bin");
}
std::string phpVersionsDir() {
    return under("/php-versions");
}
std::string serviceVersionsDir() {
    return under("/service-versions");
}
std::string nodeVersionsDir() {
    return under("/node-versions");
}
std::string pythonVersionsDir() {
    return under("/python-versions");
}
std::string flutterVersionsDir() {
    return under("/flutter-versions");
}
std::string goVersionsDir() {
    return under("/go-versions");
}
std::string profilesDir() {
    return under("/profiles");
}
std::string logDir() {
    return under("/log");
}

std::string phpFpmPidPath(std::string_view version) {
    return std::string(tmpDir) + "/php-fpm-" + std::string(version) + ".pid";
}
std::string phpVersionDir(std::string_view version) {
    return under("/php-versions/") + std::string(version);
}
std::string serviceDataDir(std::string_view name) {
    return under("/data/") + std::string(name);
}

}  // namespace vesk::VeskPaths

// Writes the servers' configuration the vesk command writes, for every
// directory of one parked folder, into a test's own environment:
//   vesk-render-config BASE loopback|lan PARKED_DIR
// BASE/etc/nginx.conf and BASE/etc/nginx/sites/: a block per directory (its
// shape read from the disk; the one named "vault" secured with a
// certificate of an authority in BASE/authority), the parked folders'
// catch-all and the default TLS server. nginx's workers run as root.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "vesk/sites/Certificate.hpp"
#include "vesk/sites/ServedSites.hpp"
#include "vesk/sites/ServerConfig.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc != 4 || (std::string(argv[2]) != "loopback" && std::string(argv[2]) != "lan")) {
        std::cerr << "usage: vesk-render-config BASE loopback|lan PARKED_DIR\n";
        return 2;
    }
    vesk::ServerConfig::Layout layout;
    layout.veskBase = argv[1];
    layout.user = "root";
    layout.group = "root";
    layout.lan = std::string(argv[2]) == "lan";
    const std::string parked = argv[3];
    const std::string sites = layout.sitesDir();
    fs::create_directories(sites);
    for (const auto& entry : fs::directory_iterator(sites)) fs::remove(entry.path());
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(parked)) {
        const std::string name = entry.path().filename().string();
        // As vesk sites lists them: only names that are a site's name.
        if (entry.is_directory() && vesk::ServedSites::siteName(name) == name) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    try {
        const auto now = vesk::Date::now();
        const auto authority =
            vesk::Certificates::authority(layout.veskBase + "/authority", now, {"test"});
        for (std::size_t i = 0; i < names.size(); ++i) {
            vesk::Site site;
            site.name = site.domain = names[i];
            site.path = parked + "/" + names[i];
            site.tld = "test";
            site.isParked = true;
            std::optional<vesk::ServerConfig::TLSFiles> tls;
            if (names[i] == "vault") {
                const auto issued = vesk::Certificates::issue(authority, site.fullDomain(), {},
                                                              layout.veskBase + "/certs", now);
                tls = vesk::ServerConfig::TLSFiles{issued.certificatePath, issued.keyPath};
            }
            const auto block = vesk::ServerConfig::nginxSite(
                site, "8.2", layout, vesk::ServerConfig::detectProject(site.path), tls);
            if (!block) {
                std::cerr << "vesk-render-config: " << site.path << " cannot be served\n";
                return 1;
            }
            std::ofstream(sites + "/" + site.fullDomain() + ".conf") << *block;
        }
    } catch (const std::exception& e) {
        std::cerr << "vesk-render-config: " << e.what() << "\n";
        return 1;
    }
    if (const auto fallback =
            vesk::ServerConfig::nginxParkedFallback({parked}, "test", "8.2", layout)) {
        std::ofstream(sites + "/~parked.conf") << *fallback;
    }
    std::ofstream(sites + "/~default-tls.conf") << vesk::ServerConfig::nginxDefaultTLS(layout);
    std::ofstream(layout.etcDir() + "/nginx.conf") << vesk::ServerConfig::nginxMain(layout);
    return 0;
}

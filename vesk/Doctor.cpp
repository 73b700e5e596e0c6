// vesk doctor [--json]: what stands between the developer's sites and their
// browser, each with a one-line fix.
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <tuple>

#include "Command.hpp"
#include "vesk/app/SystemChecks.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/Unicode.hpp"
#include "vesk/sites/ServingTransaction.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::cli {

namespace {

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

/// The local ports something listens on (TCP listening sockets and bound UDP
/// sockets), from the kernel's tables.
std::set<int> listeningPorts() {
    std::set<int> ports;
    for (const auto& socket : procfs::listening()) {
        // Vesk's dnsmasq takes 53 on 127.0.0.1 alone: a resolver on another
        // address (systemd-resolved's 127.0.0.53, NetworkManager's
        // 127.0.1.1) is no obstacle.
        if (socket.port == 53 && socket.address != "0100007F" &&
            socket.address.find_first_not_of('0') != std::string::npos) {
            continue;
        }
        ports.insert(socket.port);
    }
    return ports;
}

/// Whether what listens on `port` is the environment's own server, whose
/// master is `master` (its pid file, confirmed by its command line): the
/// sockets on the port are held by it or its workers. The developer may
/// read only their own processes' descriptors: when no holder can be read
/// and the master has no worker of theirs either (dnsmasq, which drops to
/// the developer from root), the running master stands for them.
bool serverHolds(std::optional<long> master, int port) {
    if (!master) return false;
    std::set<std::string> inodes;
    for (const auto& socket : procfs::listening()) {
        if (socket.port == port) inodes.insert(socket.inode);
    }
    const auto holders = procfs::holding(inodes);
    if (!holders.empty()) {
        return std::any_of(holders.begin(), holders.end(), [&](long pid) {
            const auto stat = procfs::stat(pid);
            return pid == *master || (stat && stat->parent == *master);
        });
    }
    const auto workers = procfs::childrenOf(*master);
    return std::none_of(workers.begin(), workers.end(), [](long pid) {
        return ::access(("/proc/" + std::to_string(pid) + "/fd").c_str(), R_OK | X_OK) == 0;
    });
}

/// Whether a system service is active, asked of systemctl without root.
bool serviceActive(const std::string& unit) {
    const std::string command = "/usr/bin/systemctl is-active --quiet " + unit + " 2>/dev/null";
    return std::system(command.c_str()) == 0;  // NOLINT(cert-env33-c): a fixed command line
}

bool helperAnswers() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = "/run/vesk/com.vesk.helper";
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

/// Whether dnsmasq answers a name under `tld` on 127.0.0.1:53 with an
/// address, within a second.
bool dnsmasqAnswers(const std::string& tld) {
    unsigned char query[512];
    const std::string name = "vesk-doctor." + tld;
    const int length = ::res_mkquery(ns_o_query, name.c_str(), ns_c_in, ns_t_a, nullptr, 0, nullptr,
                                     query, sizeof query);
    if (length <= 0) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned char answer[1024];
    int received = -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
        ::send(fd, query, static_cast<std::size_t>(length), 0) == length) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) == 1) {
            received = static_cast<int>(::recv(fd, answer, sizeof answer, 0));
        }
    }
    ::close(fd);
    ns_msg message;
    return received > 0 && ::ns_initparse(answer, received, &message) == 0 &&
           ns_msg_getflag(message, ns_f_rcode) == ns_r_noerror &&
           ns_msg_count(message, ns_s_an) > 0 &&
           std::memcmp(answer, query, 2) == 0;  // the answer to this question
}

/// The check of one of Vesk's ports against what listens now.
DiagnosticResult portResult(int number, const std::set<int>& ports) {
    const bool web = number != 53;
    const Servers env = servers();
    const bool ours =
        ports.count(number) != 0 && serverHolds(web ? env.nginxPid() : env.dnsmasqPid(), number);
    std::optional<std::string> holder;
    if (ports.count(number) != 0 && !ours) {
        for (const auto& [unit, held] : SystemChecks::knownHolders()) {
            if (std::find(held.begin(), held.end(), number) != held.end() && serviceActive(unit)) {
                holder = unit;
                break;
            }
        }
    }
    return SystemChecks::port(number, web ? "Vesk's nginx" : "Vesk's dnsmasq",
                              ports.count(number) != 0, ours, holder);
}

}  // namespace

std::optional<std::string> portTaken(int port) {
    const DiagnosticResult r = portResult(port, listeningPorts());
    if (r.severity != DiagnosticSeverity::error) return std::nullopt;
    return r.suggestion.value_or(r.label);
}

int doctor(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const AppConfig config = currentSettings();
    const std::vector<Site> sites = servedSites();
    std::vector<DiagnosticResult> results;

    const std::set<int> ports = listeningPorts();
    for (const int number : {80, 443, 53}) results.push_back(portResult(number, ports));
    results.push_back(SystemChecks::resolverFile(config.defaultTLD,
                                                 readFile("/etc/resolver/" + config.defaultTLD)));
    results.push_back(SystemChecks::hostsLine(readFile("/etc/nsswitch.conf").value_or("")));
    results.push_back(
        SystemChecks::phpVersions(sites, config.defaultPHPVersion, installedPHPVersions()));
    std::vector<std::string> unreadable;
    std::vector<const Site*> moved;
    for (const Site& s : sites) {
        struct stat st {};
        if (s.isLinked && ::stat(s.path.c_str(), &st) != 0 && errno == ENOENT) {
            moved.push_back(&s);
        } else if (::access(s.path.c_str(), R_OK | X_OK) != 0) {
            unreadable.push_back(s.path);
        }
    }
    results.push_back(SystemChecks::siteDirectories(unreadable));
    // A linked project moved or renamed: its record still names the old place.
    const std::string movedLabel = "every linked site's directory is where it was linked";
    if (moved.empty()) {
        results.push_back({movedLabel, DiagnosticSeverity::passed, std::nullopt});
    } else {
        const Site& s = *moved.front();
        results.push_back(
            {movedLabel, DiagnosticSeverity::error,
             s.path + " is gone (moved or renamed?): vesk unlink " + s.domain +
                 " && vesk link in its new place" +
                 (moved.size() > 1 ? " (and " + std::to_string(moved.size() - 1) + " more)" : "")});
    }
    const Servers env = servers();
    results.push_back(
        env.layout.lan
            ? DiagnosticResult{"the sites answer other machines on the network (vesk lan on)",
                               DiagnosticSeverity::warning,
                               std::string("anyone on this network can read the projects and "
                                           "run their PHP: vesk lan off when you are done")}
            : DiagnosticResult{"the sites answer this machine only", DiagnosticSeverity::passed,
                               std::nullopt});
    if (env.installed()) {
        const serving::Verdict check = serving::check(env.layout, env.layout.sitesDir());
        results.push_back(
            check.status == 0
                ? DiagnosticResult{"nginx accepts the sites' configuration",
                                   DiagnosticSeverity::passed, std::nullopt}
                : DiagnosticResult{"nginx accepts the sites' configuration",
                                   DiagnosticSeverity::error,
                                   std::string(Unicode::trimmed(check.output)) +
                                       "\n      vesk restart writes every site's block again"});
        const bool answers = dnsmasqAnswers(config.defaultTLD);
        results.push_back(
            answers
                ? DiagnosticResult{"dnsmasq answers names under ." + config.defaultTLD,
                                   DiagnosticSeverity::passed, std::nullopt}
                : DiagnosticResult{
                      "dnsmasq answers names under ." + config.defaultTLD,
                      DiagnosticSeverity::error,
                      std::string(env.dnsmasqPid() ? "it runs but does not answer: vesk restart "
                                                     "dnsmasq; vesk logs dnsmasq says why"
                                                   : "it does not run: vesk start dnsmasq")});
    }
    results.push_back(
        helperAnswers()
            ? DiagnosticResult{"the privileged helper answers", DiagnosticSeverity::passed,
                               std::nullopt}
            : DiagnosticResult{"the privileged helper answers", DiagnosticSeverity::error,
                               std::string("its socket does not listen: sudo systemctl "
                                           "reset-failed vesk-helper.socket && sudo systemctl "
                                           "start vesk-helper.socket")});

    for (auto& r : supervisionChecks()) results.push_back(std::move(r));
    if (servers().installed()) {
        for (auto& r : mailChecks()) results.push_back(std::move(r));
        for (auto& r : xdebugChecks()) results.push_back(std::move(r));
        for (auto& r : nodeChecks()) results.push_back(std::move(r));
    }

    bool failed = false;
    for (const auto& r : results) failed = failed || r.severity == DiagnosticSeverity::error;
    if (args.has("--json")) {
        std::cout << scriptJSON(results, true) << "\n";
        return failed ? 1 : 0;
    }
    for (const auto& r : results) {
        const char* mark = r.severity == DiagnosticSeverity::passed    ? "ok  "
                           : r.severity == DiagnosticSeverity::warning ? "warn"
                                                                       : "FAIL";
        std::cout << mark << "  " << r.label;
        if (r.suggestion) std::cout << "\n      " << *r.suggestion;
        std::cout << "\n";
    }
    return failed ? 1 : 0;
}

}  // namespace vesk::cli

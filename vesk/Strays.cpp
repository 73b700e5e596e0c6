// The workers a server's master left behind when it died (kill -9, a crash):
// they run as the developer and still hold the server's sockets, so a new
// master could not take them. Found from the kernel's socket tables (the
// sockets, then the processes whose descriptors hold them), never by
// searching command lines.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <set>

#include "Command.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::cli {

namespace {

/// Inodes of the TCP sockets listening on `ports`, on any address.
std::set<std::string> listeningInodes(const std::vector<int>& ports) {
    std::set<std::string> inodes;
    for (const auto& socket : procfs::listening()) {
        if (socket.tcp && std::find(ports.begin(), ports.end(), socket.port) != ports.end()) {
            inodes.insert(socket.inode);
        }
    }
    return inodes;
}

/// This account's processes that hold one of `inodes` and whose master is
/// gone (reparented to init).
std::vector<long> orphansHolding(const std::set<std::string>& inodes) {
    std::vector<long> pids;
    for (const long pid : procfs::holding(inodes)) {
        const auto stat = procfs::stat(pid);
        if (pid != ::getpid() && stat && stat->parent == 1) pids.push_back(pid);
    }
    return pids;
}

/// Ends `pids` (TERM, then KILL after two seconds).
void endAll(const std::vector<long>& pids) {
    for (const long pid : pids) ::kill(static_cast<pid_t>(pid), SIGTERM);
    for (int i = 0; i < 40; ++i) {
        const bool left = std::any_of(pids.begin(), pids.end(), [](long pid) {
            return ::kill(static_cast<pid_t>(pid), 0) == 0;
        });
        if (!left) return;
        ::usleep(50'000);
    }
    for (const long pid : pids) ::kill(static_cast<pid_t>(pid), SIGKILL);
}

void report(const std::string& server, const std::vector<long>& pids) {
    std::cout << "Ended " << pids.size() << " " << server
              << " worker(s) whose master had died and that still held its sockets (pid";
    for (const long pid : pids) std::cout << " " << pid;
    std::cout << ")\n";
}

}  // namespace

void endStrayWorkers(const Servers& env, const std::string& server) {
    std::vector<long> pids;
    if (server == "nginx") {
        pids = orphansHolding(listeningInodes({80, 443}));
    } else {
        // "php VERSION": the pool's socket.
        pids = orphansHolding(procfs::unixSocketInodes(env.layout.phpSocket(server.substr(4))));
    }
    if (pids.empty()) return;
    endAll(pids);
    report(server, pids);
}

}  // namespace vesk::cli

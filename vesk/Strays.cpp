// The workers a server's master left behind when it died (kill -9, a crash):
// they run as the developer and still hold the server's sockets, so a new
// master could not take them. Found from the kernel's socket tables (the
// sockets, then the processes whose descriptors hold them), never by
// searching command lines.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "Command.hpp"

namespace vesk::cli {

namespace {

/// Inodes of the Unix sockets bound at `path` (/proc/net/unix).
std::set<std::string> unixSocketInodes(const std::string& path) {
    std::set<std::string> inodes;
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        std::istringstream f(line);
        std::string num, refs, protocol, flags, type, state, inode, bound;
        if (f >> num >> refs >> protocol >> flags >> type >> state >> inode >> bound &&
            bound == path) {
            inodes.insert(inode);
        }
    }
    return inodes;
}

/// Inodes of the TCP sockets listening on `ports`, on any address.
std::set<std::string> listeningInodes(const std::vector<int>& ports) {
    std::set<std::string> inodes;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(path);
        std::string line;
        std::getline(table, line);
        while (std::getline(table, line)) {
            std::istringstream f(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            if (!(f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                  timeout >> inode) ||
                state != "0A") {
                continue;
            }
            const auto colon = local.rfind(':');
            if (colon == std::string::npos) continue;
            const int port = static_cast<int>(std::stoul(local.substr(colon + 1), nullptr, 16));
            if (std::find(ports.begin(), ports.end(), port) != ports.end()) inodes.insert(inode);
        }
    }
    return inodes;
}

/// The parent of process `pid`, from /proc/PID/stat (its name may hold
/// anything, and ends at the last ')').
long parentOf(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    long ppid = -1;
    rest >> state >> ppid;
    return ppid;
}

/// This account's processes that hold one of `inodes` and whose master is
/// gone (reparented to init).
std::vector<long> orphansHolding(const std::set<std::string>& inodes) {
    std::vector<long> pids;
    if (inodes.empty()) return pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const long pid = std::stol(name);
        // Only a process's owner may read its descriptors: others' are skipped.
        const std::string fds = "/proc/" + name + "/fd";
        DIR* dir = ::opendir(fds.c_str());
        if (dir == nullptr) continue;
        bool holds = false;
        while (const dirent* fd = ::readdir(dir)) {
            char target[64];
            const std::string link = fds + "/" + fd->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string text(target, static_cast<std::size_t>(n));
            // "socket:[INODE]"
            if (text.rfind("socket:[", 0) == 0 && text.back() == ']' &&
                inodes.count(text.substr(8, text.size() - 9)) != 0) {
                holds = true;
                break;
            }
        }
        ::closedir(dir);
        if (holds && pid != ::getpid() && parentOf(pid) == 1) pids.push_back(pid);
    }
    ::closedir(proc);
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
        pids = orphansHolding(unixSocketInodes(env.layout.phpSocket(server.substr(4))));
    }
    if (pids.empty()) return;
    endAll(pids);
    report(server, pids);
}

}  // namespace vesk::cli

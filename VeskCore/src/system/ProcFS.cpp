#include "vesk/system/ProcFS.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <ctime>
#include <memory>
#include <sstream>

#include "vesk/system/Fd.hpp"

namespace vesk::procfs {

namespace {

struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, CloseDir>;

std::optional<long> pidOf(const char* name) {
    long pid = 0;
    const std::string_view text(name);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc{} || end != text.data() + text.size() || pid <= 0) return std::nullopt;
    return pid;
}

}  // namespace

std::string readText(const std::string& path, std::size_t limit) {
    std::string text;
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return text;
    char buffer[8192];
    while (text.size() < limit) {
        const ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, limit - text.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::optional<Stat> parseStat(const std::string& text) {
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    Stat s;
    s.name = text.substr(open + 1, close - open - 1);
    if (!(fields >> state >> s.parent)) return std::nullopt;
    // After the state and the parent (the fourth field): the user and
    // system times are the 14th and 15th, the start time the 22nd, the
    // resident pages the 24th.
    std::string skipped;
    for (int field = 5; field < 22; ++field) {
        if (field == 14 || field == 15) {
            if (!(fields >> (field == 14 ? s.userTicks : s.systemTicks))) return std::nullopt;
        } else if (!(fields >> skipped)) {
            return std::nullopt;
        }
    }
    if (!(fields >> s.startTicks)) return std::nullopt;
    long resident = 0;
    if (fields >> skipped >> resident && resident > 0) s.residentPages = resident;
    return s;
}

std::optional<Stat> stat(long pid) {
    return parseStat(readText("/proc/" + std::to_string(pid) + "/stat"));
}

std::vector<long> all() {
    std::vector<long> pids;
    const Dir proc(::opendir("/proc"));
    if (!proc) return pids;
    while (const dirent* entry = ::readdir(proc.get())) {
        if (const auto pid = pidOf(entry->d_name)) pids.push_back(*pid);
    }
    return pids;
}

std::vector<long> childrenOf(long parent) {
    std::vector<long> children;
    for (const long pid : all()) {
        const auto s = stat(pid);
        if (s && s->parent == parent) children.push_back(pid);
    }
    return children;
}

std::optional<long long> startedAt(long pid) {
    const auto s = stat(pid);
    if (!s) return std::nullopt;
    std::istringstream system(readText("/proc/stat"));
    long long boot = -1;
    for (std::string line; std::getline(system, line);) {
        if (line.rfind("btime ", 0) == 0) boot = std::atoll(line.c_str() + 6);
    }
    const long hz = ::sysconf(_SC_CLK_TCK);
    if (boot < 0 || hz <= 0) return std::nullopt;
    return boot + static_cast<long long>(s->startTicks / static_cast<unsigned long long>(hz));
}

std::vector<Listening> parseListening(const std::string& table, bool tcp) {
    std::vector<Listening> sockets;
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        // TCP listens in state 0A; a bound UDP socket is state 07.
        if (state != (tcp ? "0A" : "07")) continue;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos) continue;
        unsigned port = 0;
        const char* digits = local.c_str() + colon + 1;
        const char* end = local.c_str() + local.size();
        if (std::from_chars(digits, end, port, 16).ptr != end || port > 65535) continue;
        sockets.push_back({static_cast<int>(port), local.substr(0, colon), inode, tcp});
    }
    return sockets;
}

std::vector<Listening> listening() {
    std::vector<Listening> sockets;
    for (const auto& [table, tcp] : {std::pair{"/proc/net/tcp", true},
                                     {"/proc/net/tcp6", true},
                                     {"/proc/net/udp", false},
                                     {"/proc/net/udp6", false}}) {
        auto more = parseListening(readText(table), tcp);
        sockets.insert(sockets.end(), more.begin(), more.end());
    }
    return sockets;
}

std::set<std::string> unixSocketInodes(const std::string& path) {
    std::set<std::string> inodes;
    std::istringstream table(readText("/proc/net/unix"));
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

std::vector<long> holding(const std::set<std::string>& inodes) {
    std::vector<long> pids;
    if (inodes.empty()) return pids;
    for (const long pid : all()) {
        // Only a process's owner may read its descriptors: others' are skipped.
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        const Dir dir(::opendir(fds.c_str()));
        if (!dir) continue;
        while (const dirent* fd = ::readdir(dir.get())) {
            char target[64];
            const std::string link = fds + "/" + fd->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string_view text(target, static_cast<std::size_t>(n));
            // "socket:[INODE]"
            if (text.size() > 9 && text.substr(0, 8) == "socket:[" && text.back() == ']' &&
                inodes.count(std::string(text.substr(8, text.size() - 9))) != 0) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

std::optional<Usage> usageOfTree(long pid) {
    const auto top = stat(pid);
    if (!top) return std::nullopt;
    static const long ticks = ::sysconf(_SC_CLK_TCK);
    static const long page = ::sysconf(_SC_PAGESIZE);
    Usage usage;
    const auto add = [&](const Stat& s) {
        usage.cpuSeconds += static_cast<double>(s.userTicks + s.systemTicks) /
                            static_cast<double>(ticks > 0 ? ticks : 100);
        usage.residentBytes += static_cast<std::uint64_t>(s.residentPages) *
                               static_cast<std::uint64_t>(page > 0 ? page : 4096);
    };
    add(*top);
    // Its workers and theirs: the kernel's table read once.
    std::vector<std::pair<long, Stat>> table;
    for (const long p : all()) {
        if (auto s = stat(p)) table.emplace_back(p, std::move(*s));
    }
    std::vector<long> level{pid};
    for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
        std::vector<long> next;
        for (const auto& [p, s] : table) {
            if (std::find(level.begin(), level.end(), s.parent) == level.end()) continue;
            add(s);
            next.push_back(p);
        }
        level = std::move(next);
    }
    if (const auto started = startedAt(pid)) {
        usage.uptimeSeconds =
            std::max(0.0, static_cast<double>(::time(nullptr)) - static_cast<double>(*started));
    }
    return usage;
}

std::optional<long> pidInFile(const std::string& path) {
    const std::string text = readText(path, 64);
    long pid = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    while (first != last && (*first == ' ' || *first == '\t')) ++first;
    const auto [end, error] = std::from_chars(first, last, pid);
    if (error != std::errc{} || end == first || pid <= 1) return std::nullopt;
    if (end != last && *end != '\n' && *end != ' ' && *end != '\t') return std::nullopt;
    return pid;
}

std::optional<long> serverInPidFile(const std::string& pidFile, std::string_view program) {
    const auto pid = pidInFile(pidFile);
    if (!pid) return std::nullopt;
    const auto s = stat(*pid);
    if (!s || s->name != program) return std::nullopt;
    struct stat st {};
    const auto started = startedAt(*pid);
    if (::stat(pidFile.c_str(), &st) != 0 || !started) return std::nullopt;
    // A pid file is written after its process starts; the boot time the
    // start is counted from is whole seconds, hence the slack.
    constexpr long long kSlack = 2;
    if (*started > static_cast<long long>(st.st_mtim.tv_sec) + kSlack) return std::nullopt;
    return pid;
}

bool runsProgram(long pid, const std::string& executable) {
    char exe[PATH_MAX + 16];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), exe, sizeof exe);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof exe) return false;
    std::string running(exe, static_cast<std::size_t>(n));
    // A program replaced since it started (a second installation, an
    // update) is still the same program.
    constexpr std::string_view kDeleted = " (deleted)";
    if (running.size() > kDeleted.size() &&
        running.compare(running.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        running.resize(running.size() - kDeleted.size());
    }
    if (running == executable) return true;
    // A program known by a link (Debian's redis-server is redis-check-rdb).
    char real[PATH_MAX];
    return ::realpath(executable.c_str(), real) != nullptr && running == real;
}

std::optional<PortHolder> tcpPortHolder(int port) {
    // The cheap answer first: a port 127.0.0.1 can bind is held by no one.
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        const int on = 1;
        ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (free) return std::nullopt;
    }
    std::set<std::string> inodes;
    for (const auto& l : listening()) {
        if (l.tcp && l.port == port) inodes.insert(l.inode);
    }
    if (inodes.empty()) return std::nullopt;
    PortHolder holder;
    const auto pids = holding(inodes);
    if (!pids.empty()) {
        holder.pid = pids.front();
        if (const auto s = stat(holder.pid)) holder.name = s->name;
    }
    return holder;
}

}  // namespace vesk::procfs

// What the kernel says of processes and sockets, read in one place: a
// process's parent and start time (/proc/PID/stat), the sockets that listen
// (/proc/net/*), and which of this account's processes hold a socket
// (/proc/PID/fd), and whether a pid file names a server that runs. Nothing
// here searches command lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::procfs {

/// A file of the kernel's, or what could be read of it: a process may end
/// while its files are read (the read then fails with ESRCH), which is no
/// error; nothing when it cannot be opened. At most `limit` bytes are read.
std::string readText(const std::string& path, std::size_t limit = std::size_t{64} << 20);

/// The fields of /proc/PID/stat the command uses.
struct Stat {
    std::string name;  ///< the kernel's name for its program (at most 15 bytes)
    long parent = 0;
    unsigned long long userTicks = 0;    ///< processor time in user mode, clock ticks
    unsigned long long systemTicks = 0;  ///< processor time in the kernel, clock ticks
    unsigned long long startTicks = 0;   ///< clock ticks after boot
    long residentPages = 0;
};

/// `pid`'s stat, none when it is gone or the text is not a stat line (the
/// name, in parentheses, may hold anything; it ends at the last ')').
std::optional<Stat> stat(long pid);
/// The same, from the text of a stat line.
std::optional<Stat> parseStat(const std::string& text);

/// Every process's pid.
std::vector<long> all();
/// The processes whose parent is `parent`.
std::vector<long> childrenOf(long parent);
/// When `pid` started, in seconds since the epoch.
std::optional<long long> startedAt(long pid);

/// A listening TCP socket or a bound UDP one.
struct Listening {
    int port = 0;
    std::string address;  ///< as the kernel's table has it: hexadecimal, network order
    std::string inode;
    bool tcp = true;
};
/// Every listening TCP socket (state 0A) and bound UDP socket (state 07),
/// IPv4 and IPv6.
std::vector<Listening> listening();
/// The same, from the text of a table (/proc/net/tcp's layout).
std::vector<Listening> parseListening(const std::string& table, bool tcp);

/// Inodes of the Unix sockets bound at `path` (/proc/net/unix).
std::set<std::string> unixSocketInodes(const std::string& path);

/// The processes that hold one of `inodes`, among those whose descriptors
/// this account may read (its own).
std::vector<long> holding(const std::set<std::string>& inodes);

/// What listens on a TCP port.
struct PortHolder {
    long pid = 0;      ///< 0 when the process is another account's (not readable)
    std::string name;  ///< the kernel's name for its program, when known
};
/// Who holds TCP `port` against a server binding it on 127.0.0.1 (a
/// listener on it, IPv4 or IPv6); none when such a bind would succeed.
std::optional<PortHolder> tcpPortHolder(int port);

/// What a process and its descendants (a master and its workers) use.
struct Usage {
    double cpuSeconds = 0;  ///< processor time so far, user and kernel
    std::uint64_t residentBytes = 0;
    double uptimeSeconds = 0;  ///< since the top process started
};
/// The usage of `pid` and its descendants (four levels deep at most); none
/// when it is gone.
std::optional<Usage> usageOfTree(long pid);

/// The pid a pid file holds (a number above 1 on its first line); none for
/// anything else.
std::optional<long> pidInFile(const std::string& path);

/// The server a pid file names: its process runs, the kernel names its
/// program `program` (/proc/PID/stat), and it started before the pid file
/// was last written, so a pid used again since by another process does not
/// count.
std::optional<long> serverInPidFile(const std::string& pidFile, std::string_view program);

/// Whether `pid` runs the program at `executable` (by /proc/PID/exe, which
/// only the process's owner or root can read; a program replaced since it
/// started counts as itself).
bool runsProgram(long pid, const std::string& executable);

}  // namespace vesk::procfs

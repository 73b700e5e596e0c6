// What the kernel says of processes and sockets, read in one place: a
// process's parent and start time (/proc/PID/stat), the sockets that listen
// (/proc/net/*), and which of this account's processes hold a socket
// (/proc/PID/fd). Nothing here searches command lines.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vesk::cli::procfs {

/// A file of the kernel's, or what could be read of it: a process may end
/// while its files are read (the read then fails with ESRCH), which is no
/// error; nothing when it cannot be opened.
std::string readText(const std::string& path);

/// The fields of /proc/PID/stat the command uses.
struct Stat {
    long parent = 0;
    unsigned long long startTicks = 0;  ///< clock ticks after boot
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

}  // namespace vesk::cli::procfs

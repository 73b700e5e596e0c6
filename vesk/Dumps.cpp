// vesk dumps [--json]: listens on the debug socket and prints each dump the
// sites' code sends, as it arrives.
//
// Framing: one JSON object (a dump payload) per line; a connection may send
// any number of lines, and a last line without its line feed counts when the
// connection closes. The PHP client that ships with the package sends one
// line per vesk_dump() call.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "Command.hpp"
#include "vesk/debugging/DumpEntry.hpp"
#include "vesk/debugging/DumpPayload.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/VeskPaths.hpp"

namespace vesk::cli {

namespace {

/// The largest payload taken; a longer one is reported and its connection closed.
constexpr std::size_t kPayloadLimit = std::size_t{1} << 20;
/// Connections served at once; more wait in the socket's backlog.
constexpr std::size_t kConnections = 64;
/// A connection silent this long is closed.
constexpr int kIdleMilliseconds = 10'000;

struct Connection {
    int fd;
    std::string pending;
    int idle = 0;
};

/// Makes the socket's directory the developer's alone, refusing one that
/// is anyone else's or is no plain directory.
void prepareDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        throw Failure{"cannot make " + dir + ": " + std::strerror(errno)};
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw Failure{dir + " is not a directory; move it away"};
    }
    if (st.st_uid != ::geteuid()) {
        const passwd* owner = ::getpwuid(st.st_uid);
        throw Failure{dir + " belongs to another user, " +
                      (owner != nullptr ? std::string(owner->pw_name) : std::string("unknown")) +
                      " (uid " + std::to_string(st.st_uid) +
                      "): the sites' dumps are neither sent nor taken there. Ask them to remove "
                      "it, or sudo rm -r " +
                      dir + ", then vesk dumps again"};
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        throw Failure{"cannot make " + dir + " private: " + std::strerror(errno)};
    }
}

int listenOn(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw Failure{path + " is too long for a socket"};
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
            throw Failure{path + " is in the way and is not a socket of yours"};
        }
        // A socket someone still listens on is theirs to keep.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live =
            probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (live) throw Failure{"another vesk dumps listens on " + path};
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw Failure{std::string("cannot make a socket: ") + std::strerror(errno)};
    const mode_t old = ::umask(0177);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(old);
    if (!bound || ::listen(fd, 128) != 0) {
        const int e = errno;
        ::close(fd);
        throw Failure{"cannot listen on " + path + ": " + std::strerror(e)};
    }
    return fd;
}

/// Prints one payload line as an entry, or one line saying why it is none.
void deliver(std::string_view line, bool json, const AppConfig& config) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) return;
    DumpEntry entry;
    try {
        entry = decodeJSON<DumpPayload>(line).toDumpEntry();
    } catch (const std::exception& e) {
        std::cerr << "vesk: a dump that is not a dump payload was ignored (" << e.what() << ")"
                  << std::endl;
        return;
    }
    if (json) {
        std::cout << scriptJSON(entry) << std::endl;
        return;
    }
    std::cout << "── " << entry.timestamp.iso8601();
    if (entry.siteDomain) std::cout << "  " << *entry.siteDomain;
    std::cout << "  " << entry.file << ":" << entry.line;
    if (const auto link = fileURL(config.preferredEditor, entry.file, entry.line)) {
        std::cout << "  " << link->absoluteString();
    }
    std::cout << "\n" << entry.type << " " << entry.content << std::endl;
}

}  // namespace

int dumps(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const bool json = args.has("--json");
    const AppConfig config = currentSettings();
    const std::string path(VeskPaths::debugSocketPath);
    prepareDirectory(std::string(VeskPaths::tmpDir));
    const int listener = listenOn(path);
    ::signal(SIGPIPE, SIG_IGN);
    std::cerr << "Listening on " << path << " (Ctrl-C ends)" << std::endl;

    std::vector<Connection> connections;
    std::vector<pollfd> polled;
    char buffer[65536];
    for (;;) {
        polled.clear();
        polled.push_back({connections.size() < kConnections ? listener : -1, POLLIN, 0});
        for (const auto& c : connections) polled.push_back({c.fd, POLLIN, 0});
        constexpr int kTick = 1000;
        if (::poll(polled.data(), polled.size(), kTick) < 0 && errno != EINTR) {
            throw Failure{std::string("poll failed: ") + std::strerror(errno)};
        }
        if ((polled[0].revents & POLLIN) != 0) {
            while (connections.size() < kConnections) {
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                connections.push_back({fd, {}, 0});
            }
        }
        for (std::size_t i = 1; i < polled.size(); ++i) {
            Connection& c = connections[i - 1];
            if (polled[i].revents == 0) {
                c.idle += kTick;
                if (c.idle >= kIdleMilliseconds) {
                    ::close(c.fd);
                    c.fd = -1;
                }
                continue;
            }
            c.idle = 0;
            const ssize_t n = ::read(c.fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                deliver(c.pending, json, config);  // the last line, without its line feed
                ::close(c.fd);
                c.fd = -1;
                continue;
            }
            c.pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t nl; (nl = c.pending.find('\n', start)) != std::string::npos;
                 start = nl + 1) {
                deliver(std::string_view(c.pending).substr(start, nl - start), json, config);
            }
            c.pending.erase(0, start);
            if (c.pending.size() > kPayloadLimit) {
                std::cerr << "vesk: a dump larger than 1 MiB was refused" << std::endl;
                ::close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(connections, [](const Connection& c) { return c.fd < 0; });
    }
}

}  // namespace vesk::cli

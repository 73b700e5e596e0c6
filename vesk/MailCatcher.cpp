// vesk-mail-catcher: the SMTP server that keeps every mail the sites send
// and delivers none. It listens on 127.0.0.1 alone, serves many clients in
// one event loop (the library's SmtpSession each, over the developer's mail
// store), and bounds every client: its idle time, its whole session, what it
// may leave unread; past the client limit a newcomer is told to come back.
// It delivers what sendmail spooled while it was not running: when it
// starts, and whenever a message appears in the spool.
//
//   vesk-mail-catcher [--port N] [--store DIR] [--spool DIR] [--idle SECONDS]
//   vesk-mail-catcher --attachments ID DIR [--store DIR]
//
// The second form writes a caught mail's attachments into DIR (for vesk
// mail attachments, which loads no MIME library itself).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "vesk/debugging/MailSpool.hpp"
#include "vesk/debugging/MailStore.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/system/AtomicFile.hpp"
#include "vesk/system/Fd.hpp"

namespace {

using Clock = std::chrono::steady_clock;

/// Clients served at once; a newcomer past it is told to try later.
constexpr std::size_t kMaxClients = 512;
/// A whole session, however busy.
constexpr std::chrono::minutes kSessionLimit{10};
/// Replies a client leaves unread before it is dropped.
constexpr std::size_t kMaxUnread = std::size_t{1} << 20;
/// Bytes read from one client before the others get a turn.
constexpr std::size_t kReadSlice = 65536;
/// Spooled messages delivered before the clients get a turn.
constexpr std::size_t kSpoolSlice = 50;
/// How often the spool is looked at though nothing said it changed (a
/// message left there by a full disk).
constexpr std::chrono::seconds kSpoolPeriod{60};

struct Client {
    vesk::Fd socket;
    vesk::mail::StoreSink sink;
    vesk::smtp::Session session;
    std::string unsent;
    /// Whether the loop waits for it to be writable (as it was last told).
    bool waitsToWrite = false;
    Clock::time_point lastHeard;
    Clock::time_point started;

    Client(vesk::Fd s, vesk::mail::Store& store)
        : socket(std::move(s)),
          sink(store),
          session(sink, "vesk.mail.test"),
          lastHeard(Clock::now()),
          started(lastHeard) {}
};

class Catcher {
  public:
    Catcher(vesk::mail::Store& store, vesk::mail::Spool spool, std::chrono::seconds idle)
        : store_(store), spool_(std::move(spool)), idle_(idle) {}
    int run(int port);

  private:
    void accept();
    /// Sends what it can; false when the client is to be dropped.
    bool flush(Client& c);
    void readFrom(int fd);
    void drop(int fd);
    void expire();
    void watch(int fd, bool writable);
    /// Delivers what waits in the spool (a slice of it); whether more waits.
    bool deliverSpool();

    vesk::mail::Store& store_;
    vesk::mail::Spool spool_;
    std::chrono::seconds idle_;
    vesk::Fd inotify_;
    Clock::time_point spoolDue_;
    vesk::Fd epoll_;
    vesk::Fd listener_;
    vesk::Fd signals_;
    std::map<int, std::unique_ptr<Client>> clients_;
};

void Catcher::watch(int fd, bool writable) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | (writable ? EPOLLOUT : 0U);
    event.data.fd = fd;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) != 0) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
    }
}

void Catcher::accept() {
    for (;;) {
        vesk::Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;
        if (clients_.size() >= kMaxClients) {
            constexpr std::string_view busy = "421 4.3.2 Too many clients, try again later\r\n";
            (void)::send(fd.get(), busy.data(), busy.size(), MSG_NOSIGNAL);
            continue;
        }
        const int raw = fd.get();
        auto client = std::make_unique<Client>(std::move(fd), store_);
        client->unsent = client->session.greeting();
        client->waitsToWrite = true;
        clients_.emplace(raw, std::move(client));
        watch(raw, true);
    }
}

bool Catcher::flush(Client& c) {
    while (!c.unsent.empty()) {
        const ssize_t n = ::send(c.socket.get(), c.unsent.data(), c.unsent.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) return false;
        c.unsent.erase(0, static_cast<std::size_t>(n));
    }
    if (c.unsent.size() > kMaxUnread) return false;
    if (c.unsent.empty() && c.session.closed()) return false;
    if (c.waitsToWrite != !c.unsent.empty()) {
        c.waitsToWrite = !c.unsent.empty();
        watch(c.socket.get(), c.waitsToWrite);
    }
    return true;
}

void Catcher::readFrom(int fd) {
    const auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    Client& c = *it->second;
    std::array<char, 16384> buffer{};
    std::size_t taken = 0;
    while (taken < kReadSlice && !c.session.closed()) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            drop(fd);
            return;
        }
        taken += static_cast<std::size_t>(n);
        c.lastHeard = Clock::now();
        c.unsent += c.session.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        // Less than asked for: nothing more waits (no read to learn it).
        if (static_cast<std::size_t>(n) < buffer.size()) break;
    }
    if (!flush(c)) drop(fd);
}

void Catcher::drop(int fd) {
    const auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    it->second->session.disconnected();
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    clients_.erase(it);
}

void Catcher::expire() {
    const auto now = Clock::now();
    std::vector<int> gone;
    for (auto& [fd, c] : clients_) {
        // Bytes waiting to be read are no idleness: the catcher was busy.
        pollfd waiting{fd, POLLIN, 0};
        const bool idle = now - c->lastHeard > idle_ && ::poll(&waiting, 1, 0) == 0;
        if (idle || now - c->started > kSessionLimit) {
            constexpr std::string_view timeout = "421 4.4.2 Timeout, closing the connection\r\n";
            (void)::send(fd, timeout.data(), timeout.size(), MSG_NOSIGNAL);
            gone.push_back(fd);
        }
    }
    for (const int fd : gone) drop(fd);
}

bool Catcher::deliverSpool() {
    spoolDue_ = Clock::now() + kSpoolPeriod;
    std::size_t done = 0;
    for (const auto& path : spool_.waiting()) {
        if (done++ == kSpoolSlice) return true;
        const auto spooled = spool_.read(path);
        if (!spooled) {
            std::cerr << "vesk-mail-catcher: " << path << " is no spooled mail: moved aside\n";
            continue;
        }
        auto incoming = store_.begin();
        if (!incoming || !incoming->write(spooled->message) ||
            store_.keep(std::move(incoming), spooled->envelope).empty()) {
            // Kept where it is until the store can take it.
            std::cerr << "vesk-mail-catcher: cannot keep spooled mail now: it waits\n";
            return false;
        }
        spool_.done(*spooled);
    }
    return false;
}

int Catcher::run(int port) {
    epoll_ = vesk::Fd(::epoll_create1(EPOLL_CLOEXEC));
    listener_ = vesk::Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!epoll_ || !listener_ ||
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 128) != 0) {
        std::cerr << "vesk-mail-catcher: cannot listen on 127.0.0.1:" << port << ": "
                  << std::strerror(errno) << "\n";
        return 1;
    }
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    signals_ = vesk::Fd(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    spool_.make();
    inotify_ = vesk::Fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify_) {
        ::inotify_add_watch(inotify_.get(), spool_.directory().c_str(),
                            IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR);
    }
    bool spoolWaits = deliverSpool();
    auto expireDue = Clock::now();
    for (const int fd : {listener_.get(), signals_.get(), inotify_.get()}) {
        if (fd < 0) continue;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
    }
    std::cerr << "vesk-mail-catcher: listening on 127.0.0.1:" << port << ", keeping mail in "
              << store_.directory() << "\n";
    for (;;) {
        std::array<epoll_event, 64> events{};
        const int n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                   spoolWaits ? 0 : 1000);
        for (int i = 0; i < n; ++i) {
            const auto& e = events[static_cast<std::size_t>(i)];
            const int fd = e.data.fd;
            if (fd == signals_.get()) return 0;
            if (fd == inotify_.get()) {
                std::array<char, 4096> drained{};
                while (::read(fd, drained.data(), drained.size()) > 0) {
                }
                spoolWaits = true;
                continue;
            }
            if (fd == listener_.get()) {
                accept();
                continue;
            }
            if ((e.events & EPOLLIN) != 0U) {
                readFrom(fd);
            } else if ((e.events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0U) {
                drop(fd);
            } else if ((e.events & EPOLLOUT) != 0U) {
                const auto it = clients_.find(fd);
                if (it != clients_.end() && !flush(*it->second)) drop(fd);
            }
        }
        // Idleness is looked for once a second, not at every wake-up.
        if (Clock::now() >= expireDue) {
            expire();
            expireDue = Clock::now() + std::chrono::seconds(1);
        }
        if (spoolWaits || Clock::now() >= spoolDue_) spoolWaits = deliverSpool();
    }
}

/// A name from a mail, safe to make a file of in a directory: no
/// directory, no control character, no leading dot.
std::string safeName(const std::string& name, std::size_t index) {
    std::string out;
    for (const char ch : name.substr(
             name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1)) {
        const auto u = static_cast<unsigned char>(ch);
        out += u < 0x20 || u == 0x7F ? '_' : ch;
    }
    while (!out.empty() && (out.front() == '.' || out.front() == ' ')) out.erase(0, 1);
    if (out.size() > 200) out.resize(200);
    return out.empty() ? "attachment-" + std::to_string(index + 1) : out;
}

/// vesk mail attachments: each attachment of the mail into `dir`, never
/// over a file that is there; each path written is printed.
int writeAttachments(const std::string& storeDir, const std::string& id, const std::string& dir) {
    vesk::mail::Store store(storeDir, {}, vesk::mail::parseFile);
    const auto mail = store.find(id);
    const auto full = mail ? store.withAttachments(*mail) : std::nullopt;
    if (!full) {
        std::cerr << "vesk-mail-catcher: no mail " << id << "\n";
        return 1;
    }
    const vesk::Fd directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        std::cerr << "vesk-mail-catcher: cannot open " << dir << ": " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    int status = 0;
    for (std::size_t i = 0; i < full->attachments.size(); ++i) {
        const auto& a = full->attachments[i];
        const std::string base = safeName(a.filename, i);
        std::string name = base;
        vesk::Fd out;
        for (int n = 2; n < 1000; ++n) {
            out = vesk::Fd(::openat(directory.get(), name.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (out || errno != EEXIST) break;
            const auto dot = base.rfind('.');
            name = dot == std::string::npos || dot == 0
                       ? base + " (" + std::to_string(n) + ")"
                       : base.substr(0, dot) + " (" + std::to_string(n) + ")" + base.substr(dot);
        }
        const std::string bytes =
            a.data ? std::string(a.data->bytes.begin(), a.data->bytes.end()) : std::string();
        if (!out || vesk::atomicfile::writeAll(out.get(), bytes) != 0) {
            std::cerr << "vesk-mail-catcher: cannot write " << dir << "/" << name << ": "
                      << std::strerror(errno) << "\n";
            status = 1;
            continue;
        }
        std::cout << dir << "/" << name << "\n";
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int port = vesk::mail::kCatcherPort;
    std::string store = vesk::mail::storeDirectory();
    std::string spool = vesk::mail::spoolDirectory();
    std::optional<std::pair<std::string, std::string>> attachments;
    long idle = 60;
    bool bad = false;
    for (int i = 1; i < argc && !bad; ++i) {
        const std::string option = argv[i];
        if (option == "--attachments" && i + 2 < argc) {
            attachments = {argv[i + 1], argv[i + 2]};
            i += 2;
            continue;
        }
        if (i + 1 >= argc) {
            bad = true;
            break;
        }
        const char* value = argv[++i];
        char* end = nullptr;
        if (option == "--port") {
            port = static_cast<int>(std::strtol(value, &end, 10));
            bad = *end != '\0' || port <= 0 || port > 65535;
        } else if (option == "--store") {
            store = value;
        } else if (option == "--spool") {
            spool = value;
        } else if (option == "--idle") {
            idle = std::strtol(value, &end, 10);
            bad = *end != '\0' || idle <= 0 || idle > 3600;
        } else {
            bad = true;
        }
    }
    if (bad) {
        std::cerr << "usage: vesk-mail-catcher [--port N] [--store DIR] [--spool DIR] [--idle "
                     "SECONDS]\n       vesk-mail-catcher --attachments ID DIR [--store DIR]\n";
        return 2;
    }
    if (attachments) return writeAttachments(store, attachments->first, attachments->second);
    vesk::mail::Store mail(store, {}, vesk::mail::parseFile);
    if (const auto recovered = mail.recover()) {
        std::cerr << "vesk-mail-catcher: read again " << recovered << " mail(s) a crash left\n";
    }
    Catcher catcher(mail, vesk::mail::Spool(spool), std::chrono::seconds(idle));
    return catcher.run(port);
}

#include "HelperServer.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "HelperService.hpp"
#include "Log.hpp"
#include "Varlink.hpp"

namespace vesk::helper {

namespace {

constexpr std::size_t kThreadStack = std::size_t{512} * 1024;
constexpr std::size_t kReadChunk = std::size_t{16} * 1024;

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool sendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

struct ThreadStart {
    HelperServer* server;
    int fd;
    ucred peer;
    void (HelperServer::*serve)(int, ucred);
};

// Waits this long at most for a slot to receive a large message.
constexpr auto kBudgetWait = std::chrono::seconds(10);

}  // namespace

HelperServer::HelperServer(EnvironmentLayout layout, CallerCheck& check,
                           std::function<void()> scheduleExit)
    : layout_(std::move(layout)), delegate_(check), scheduleExit_(std::move(scheduleExit)) {}

HelperServer::~HelperServer() {
    stop();
    closeListener();
    if (wake_ >= 0) ::close(wake_);
}

bool HelperServer::adoptInherited() {
    // Only descriptors passed to this very process count (the manager names
    // the pid); they are taken out of the environment either way.
    const int n = sd_listen_fds(1);
    if (n == 0) return false;
    const int fd = SD_LISTEN_FDS_START;
    if (n != 1 || sd_is_socket_unix(fd, SOCK_STREAM, 1, layout_.socketPath.c_str(), 0) <= 0) {
        logLine("Refusing to start: the inherited socket is not " + layout_.socketPath);
        for (int i = 0; i < n; ++i) ::close(SD_LISTEN_FDS_START + i);
        errno = EBADF;
        fail(layout_.socketPath);
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    listenFd_ = fd;
    inherited_ = true;
    return true;
}

void HelperServer::listen() {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) fail("eventfd");
    if (adoptInherited()) {
        const int on = 1;
        if (::setsockopt(listenFd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
            fail("SO_PASSCRED");
        }
        return;
    }
    if (::mkdir(layout_.socketDir.c_str(), 0755) != 0 && errno != EEXIST) fail(layout_.socketDir);
    struct stat st {};
    if (::lstat(layout_.socketDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        fail(layout_.socketDir);
    }
    if (st.st_uid != ::geteuid() || ::chmod(layout_.socketDir.c_str(), 0755) != 0) {
        errno = EPERM;
        fail(layout_.socketDir);
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (layout_.socketPath.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        fail(layout_.socketPath);
    }
    std::memcpy(addr.sun_path, layout_.socketPath.c_str(), layout_.socketPath.size() + 1);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) fail("socket");
    // A stale socket from an earlier run is replaced; nothing else is.
    if (::lstat(layout_.socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ::unlink(layout_.socketPath.c_str());
    }
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fail(layout_.socketPath);
    }
    if (::chmod(layout_.socketPath.c_str(), 0666) != 0) fail(layout_.socketPath);
    // Accepted sockets inherit this at accept, so no message a client sends
    // right after connecting arrives without its sender's credentials.
    const int on = 1;
    if (::setsockopt(listenFd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) fail("SO_PASSCRED");
    if (::listen(listenFd_, 128) != 0) fail("listen");
}

void HelperServer::run() {
    while (!stopping_.load()) {
        // The wake descriptor ends the loop without touching the listening
        // socket, which the service manager may share.
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0 || stopping_.load()) break;
        if (fds[0].revents == 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping_.load()) break;
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE ||
                errno == ENOBUFS || errno == ENOMEM) {
                if (errno != EINTR && errno != ECONNABORTED) ::usleep(10000);
                continue;
            }
            break;
        }
        // Who is calling is known at once; a user checking many connections
        // at the same time is turned away before anything is read.
        ucred peer{};
        socklen_t len = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
            ::close(fd);
            continue;
        }
        {
            const std::lock_guard lock(mutex_);
            if (stopping_.load() || pending_ >= kMaxPending ||
                pendingByUser_[peer.uid] >= kMaxPendingPerUser) {
                ::close(fd);
                continue;
            }
            ++pending_;
            ++pendingByUser_[peer.uid];
            ++active_;
            open_.insert(fd);
        }
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kThreadStack);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        auto* start = new (std::nothrow) ThreadStart{this, fd, peer, &HelperServer::serve};
        pthread_t thread{};
        const int rc = start == nullptr
                           ? ENOMEM
                           : pthread_create(
                                 &thread, &attr,
                                 [](void* p) -> void* {
                                     std::unique_ptr<ThreadStart> s(static_cast<ThreadStart*>(p));
                                     (s->server->*(s->serve))(s->fd, s->peer);
                                     return nullptr;
                                 },
                                 start);
        pthread_attr_destroy(&attr);
        if (rc != 0) {
            delete start;
            release(fd, peer.uid, false);
        }
    }
    // New connections are refused from here on (an inherited socket stays
    // open in the service manager, which starts the helper again for them).
    closeListener();
}

void HelperServer::closeListener() {
    const int fd = listenFd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

bool HelperServer::takeServingSlot(uid_t uid) {
    const std::lock_guard lock(mutex_);
    --pending_;
    if (--pendingByUser_[uid] == 0) pendingByUser_.erase(uid);
    std::size_t& mine = servedByUser_[uid];
    if (served_ >= kMaxConnections || (uid != 0 && mine >= kMaxConnectionsPerUser)) {
        if (mine == 0) servedByUser_.erase(uid);
        ++pending_;  // release() gives back a pending slot
        ++pendingByUser_[uid];
        return false;
    }
    ++mine;
    ++served_;
    return true;
}

void HelperServer::release(int fd, uid_t uid, bool served) {
    const std::lock_guard lock(mutex_);
    auto& counts = served ? servedByUser_ : pendingByUser_;
    --(served ? served_ : pending_);
    if (--counts[uid] == 0) counts.erase(uid);
    open_.erase(fd);
    ::close(fd);
    --active_;
    drained_.notify_all();
}

bool HelperServer::acquireLargeSlot() {
    std::unique_lock lock(budgetMutex_);
    if (!budgetFreed_.wait_for(lock, kBudgetWait,
                               [&] { return largeSlots_ > 0 || stopping_.load(); }) ||
        largeSlots_ == 0) {
        return false;
    }
    --largeSlots_;
    return true;
}

void HelperServer::returnLargeSlot() {
    {
        const std::lock_guard lock(budgetMutex_);
        ++largeSlots_;
    }
    budgetFreed_.notify_one();
}

void HelperServer::stop() {
    if (stopping_.exchange(true)) {
        std::unique_lock lock(mutex_);
        drained_.wait(lock, [&] { return active_.load() == 0; });
        return;
    }
    budgetFreed_.notify_all();
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    }
    std::unique_lock lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    drained_.wait(lock, [&] { return active_.load() == 0; });
}

void HelperServer::serve(int fd, ucred peer) {
    bool served = false;
    try {
        const int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0) {
            if (auto caller = delegate_.shouldAcceptNewConnection(peer.pid, peer.uid)) {
                served = takeServingSlot(peer.uid);
                if (served) serveChecked(fd, *caller);
                logLine("Connection invalidated (pid: " + std::to_string(peer.pid) + ")");
            }
        } else {
            logLine("Rejected connection from unauthorized process (pid: " +
                    std::to_string(peer.pid) + ")");
        }
    } catch (...) {
        // Out of memory, or anything else: this connection ends, the helper
        // serves on.
    }
    release(fd, peer.uid, served);
}

void HelperServer::serveChecked(int fd, const CheckedProcess& caller) {
    HelperService service(layout_, Caller{caller.pid, caller.uid, caller.gid, caller.groups},
                          scheduleExit_);
    std::string buffer;
    std::size_t scanned = 0;
    bool large = false;  // holds a slot for a large message
    struct ReturnSlot {
        HelperServer* server;
        bool* held;
        ~ReturnSlot() {
            if (*held) server->returnLargeSlot();
        }
    } const returnOnExit{this, &large};
    std::vector<char> chunk(kReadChunk);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        iovec iov{chunk.data(), chunk.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        // Every read carries the sender's credentials as the kernel saw them;
        // Linux never merges data of two senders into one read.
        const ucred* sender = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
                sender = reinterpret_cast<const ucred*>(CMSG_DATA(c));
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                // Descriptors are not part of the protocol: drop them.
                const auto* fds = reinterpret_cast<const int*>(CMSG_DATA(c));
                const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t i = 0; i < count; ++i) ::close(fds[i]);
            }
        }
        if (sender == nullptr || (msg.msg_flags & MSG_CTRUNC) != 0 ||
            !CallerCheck::stillSame(caller, sender->pid, sender->uid)) {
            return;
        }
        // Growing past the small size takes one of the few large slots.
        const std::size_t after = buffer.size() + static_cast<std::size_t>(n);
        if (after > kSmallMessage && !large) {
            if (!acquireLargeSlot()) return;
            large = true;
        }
        buffer.append(chunk.data(), static_cast<std::size_t>(n));
        for (;;) {
            const auto end = buffer.find('\0', scanned);
            if (end == std::string::npos) {
                scanned = buffer.size();
                if (buffer.size() > varlink::kMaxMessageSize) return;
                break;
            }
            std::optional<std::string> reply;
            const std::string_view message(buffer.data(), end);
            if (message.size() > kSmallMessage) {
                const std::lock_guard one(largeMessage_);
                reply = varlink::handle(message, service);
            } else {
                reply = varlink::handle(message, service);
            }
            if (!reply) return;
            if (!reply->empty()) {
                reply->push_back('\0');
                if (!sendAll(fd, *reply)) return;
            }
            buffer.erase(0, end + 1);
            scanned = 0;
            // A large message's memory goes back as soon as it is answered.
            if (large && buffer.size() <= kSmallMessage) {
                std::string(buffer).swap(buffer);
                returnLargeSlot();
                large = false;
            }
        }
    }
}

}  // namespace vesk::helper

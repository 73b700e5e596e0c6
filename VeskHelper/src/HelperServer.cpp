#include "HelperServer.hpp"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

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
    void (HelperServer::*serve)(int);
};

}  // namespace

HelperServer::HelperServer(Layout layout, CallerCheck& check, std::function<void()> scheduleExit)
    : layout_(std::move(layout)), delegate_(check), scheduleExit_(std::move(scheduleExit)) {}

HelperServer::~HelperServer() {
    stop();
}

void HelperServer::listen() {
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
        {
            const std::lock_guard lock(mutex_);
            if (stopping_.load() || active_.load() >= kMaxConnections) {
                ::close(fd);
                continue;
            }
            ++active_;
            open_.insert(fd);
        }
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kThreadStack);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        auto* start = new ThreadStart{this, fd, &HelperServer::serve};
        pthread_t thread{};
        const int rc = pthread_create(
            &thread, &attr,
            [](void* p) -> void* {
                std::unique_ptr<ThreadStart> s(static_cast<ThreadStart*>(p));
                (s->server->*(s->serve))(s->fd);
                return nullptr;
            },
            start);
        pthread_attr_destroy(&attr);
        if (rc != 0) {
            delete start;
            const std::lock_guard lock(mutex_);
            open_.erase(fd);
            ::close(fd);
            --active_;
            drained_.notify_all();
        }
    }
}

void HelperServer::stop() {
    if (stopping_.exchange(true)) {
        std::unique_lock lock(mutex_);
        drained_.wait(lock, [&] { return active_.load() == 0; });
        return;
    }
    if (listenFd_ >= 0) {
        ::shutdown(listenFd_, SHUT_RDWR);
        ::close(listenFd_);
        listenFd_ = -1;
    }
    std::unique_lock lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    drained_.wait(lock, [&] { return active_.load() == 0; });
}

void HelperServer::serve(int fd) {
    ucred peer{};
    socklen_t len = sizeof peer;
    const int on = 1;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0) {
        if (auto caller = delegate_.shouldAcceptNewConnection(peer.pid, peer.uid)) {
            serveChecked(fd, *caller);
            logLine("Connection invalidated (pid: " + std::to_string(peer.pid) + ")");
        }
    } else {
        logLine("Rejected connection from unauthorized process (pid: " + std::to_string(peer.pid) +
                ")");
    }
    const std::lock_guard lock(mutex_);
    open_.erase(fd);
    ::close(fd);
    --active_;
    drained_.notify_all();
}

void HelperServer::serveChecked(int fd, const CheckedProcess& caller) {
    HelperService service(layout_, Caller{caller.pid, caller.uid, caller.gid, caller.groups},
                          scheduleExit_);
    std::string buffer;
    std::size_t scanned = 0;
    char chunk[kReadChunk];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        iovec iov{chunk, sizeof chunk};
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
        buffer.append(chunk, static_cast<std::size_t>(n));
        for (;;) {
            const auto end = buffer.find('\0', scanned);
            if (end == std::string::npos) {
                scanned = buffer.size();
                if (buffer.size() > varlink::kMaxMessageSize) return;
                break;
            }
            const auto reply = varlink::handle(std::string_view(buffer.data(), end), service);
            if (!reply) return;
            std::string out = *reply;
            out.push_back('\0');
            if (!sendAll(fd, out)) return;
            buffer.erase(0, end + 1);
            scanned = 0;
        }
    }
}

}  // namespace vesk::helper

// Asking a resolver file's name servers: A and AAAA at once over UDP, on the
// file's port, each server in turn within the file's timeout; a truncated
// answer is asked again over TCP.
#include "NameLookup.hpp"

#include <arpa/nameser.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace vesk::nss {

namespace {

constexpr std::size_t kQuerySize = 512;
constexpr std::size_t kUdpSize = 1232;
constexpr std::size_t kMaxQueries = 2;
// Datagrams read per wait at most: a flood of junk cannot hold a lookup.
constexpr int kMaxDatagrams = 64;

long nowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/// One question in flight.
struct Query {
    unsigned char bytes[kQuerySize];
    std::size_t length = 0;
    bool answered = false;
    Answer answer;
};

/// Waits for `events` on `fd` until `deadline`; false on timeout or error.
bool waitFor(int fd, short events, long deadline) {
    for (;;) {
        const long left = deadline - nowMs();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0) return (p.revents & events) != 0;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

/// Sends (`data` const) or receives all of `length` bytes by the deadline.
template <typename Byte>
bool transferAll(int fd, Byte* data, std::size_t length, long deadline) {
    constexpr bool sending = std::is_const_v<Byte>;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = sending ? ::send(fd, data + done, length - done, MSG_NOSIGNAL)
                                  : ::recv(fd, const_cast<unsigned char*>(data) + done,
                                           length - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(fd, sending ? POLLOUT : POLLIN, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

int socketTo(const sockaddr_storage& server, socklen_t length, int type, long deadline) {
    const int fd = ::socket(server.ss_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), length) == 0) return fd;
    if (errno == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) return fd;
    }
    ::close(fd);
    return -1;
}

/// Asks one query over TCP (after a truncated answer).
void askOverTcp(const sockaddr_storage& server, socklen_t length, Query& q, long deadline) {
    const int fd = socketTo(server, length, SOCK_STREAM, deadline);
    if (fd < 0) return;
    unsigned char prefix[2] = {static_cast<unsigned char>(q.length >> 8),
                               static_cast<unsigned char>(q.length & 0xff)};
    unsigned char* buffer = nullptr;
    const unsigned char* const query = q.bytes;
    const unsigned char* const header = prefix;
    if (transferAll(fd, header, 2, deadline) && transferAll(fd, query, q.length, deadline) &&
        transferAll(fd, prefix, 2, deadline)) {
        const std::size_t size = (static_cast<std::size_t>(prefix[0]) << 8) | prefix[1];
        buffer = static_cast<unsigned char*>(::malloc(size > 0 ? size : 1));
        Answer answer;
        if (buffer != nullptr && transferAll(fd, buffer, size, deadline) &&
            parseAnswer(buffer, size, q.bytes, q.length, answer) &&
            answer.kind != Answer::Kind::truncated) {
            q.answer = answer;
            q.answered = true;
        }
    }
    ::free(buffer);
    ::close(fd);
}

/// Whether a query has its answer: addresses, no data or no such name.
bool settled(const Query& q) {
    return q.answered && q.answer.kind != Answer::Kind::serverFailed &&
           q.answer.kind != Answer::Kind::truncated;
}

/// Asks one server the queries not settled yet; true when all are settled.
bool askServer(const sockaddr_storage& server, socklen_t length, Query* queries, std::size_t count,
               long deadline) {
    const int fd = socketTo(server, length, SOCK_DGRAM, deadline);
    if (fd < 0) return false;
    // Every open question in one system call.
    mmsghdr messages[kMaxQueries] = {};
    iovec parts[kMaxQueries] = {};
    std::size_t open = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (settled(queries[i])) continue;
        queries[i].answered = false;
        parts[open] = {queries[i].bytes, queries[i].length};
        messages[open].msg_hdr.msg_iov = &parts[open];
        messages[open].msg_hdr.msg_iovlen = 1;
        ++open;
    }
    std::size_t sent = 0;
    while (sent < open) {
        const int n =
            ::sendmmsg(fd, messages + sent, static_cast<unsigned>(open - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && waitFor(fd, POLLOUT, deadline)) {
            continue;
        } else {
            ::close(fd);
            return false;
        }
    }
    // Whatever has arrived is taken in one call (both answers, usually).
    int datagrams = 0;
    while (open > 0 && datagrams < kMaxDatagrams && waitFor(fd, POLLIN, deadline)) {
        unsigned char buffers[kMaxQueries][kUdpSize];
        iovec slots[kMaxQueries];
        mmsghdr received[kMaxQueries] = {};
        for (std::size_t i = 0; i < kMaxQueries; ++i) {
            slots[i].iov_base = &buffers[i][0];
            slots[i].iov_len = kUdpSize;
            received[i].msg_hdr.msg_iov = &slots[i];
            received[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(fd, received, kMaxQueries, MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            break;  // refused: nothing listens there
        }
        datagrams += got;
        for (int d = 0; d < got; ++d) {
            const std::size_t n = received[d].msg_len;
            for (std::size_t i = 0; i < count; ++i) {
                Query& q = queries[i];
                if (q.answered) continue;
                Answer answer;
                if (!parseAnswer(buffers[d], n, q.bytes, q.length, answer)) continue;
                q.answer = answer;
                q.answered = true;
                --open;
                break;
            }
        }
    }
    ::close(fd);
    bool all = true;
    for (std::size_t i = 0; i < count; ++i) {
        if (queries[i].answered && queries[i].answer.kind == Answer::Kind::truncated) {
            queries[i].answered = false;
            askOverTcp(server, length, queries[i], deadline);
        }
        all = all && settled(queries[i]);
    }
    return all;
}

}  // namespace

void lookup(const char* dir, const char* name, int family, Result& out) {
    out.status = Status::unavailable;
    out.count = 0;
    ResolverFile file;
    if (!findResolverFile(dir, name, file)) return;
    out.status = Status::tryAgain;

    Query queries[kMaxQueries];
    std::size_t count = 0;
    const int types[2] = {ns_t_a, ns_t_aaaa};
    for (const int type : types) {
        if ((type == ns_t_a && family == AF_INET6) || (type == ns_t_aaaa && family == AF_INET)) {
            continue;
        }
        const int n = buildQuery(name, type, queries[count].bytes, kQuerySize);
        if (n <= 0) {
            out.status = Status::notFound;  // not a name a query can carry
            return;
        }
        queries[count++].length = static_cast<std::size_t>(n);
    }

    // The whole lookup ends by the file's timeout; each server gets an equal
    // share of what is left when its turn comes.
    const long deadline = nowMs() + static_cast<long>(file.timeout) * 1000;
    // A server that fails one question (some refuse AAAA) leaves it to the next.
    bool all = false;
    for (std::size_t s = 0; s < file.serverCount && !all; ++s) {
        const long left = deadline - nowMs();
        if (left <= 0) break;
        const long share = left / static_cast<long>(file.serverCount - s);
        all = askServer(file.servers[s], file.serverLengths[s], queries, count, nowMs() + share);
    }

    // Addresses of any family asked are the answer; otherwise no such name or
    // no address is "not found", and a question nobody answered is "try again".
    for (std::size_t i = 0; i < count; ++i) {
        if (!settled(queries[i])) continue;
        const Answer& a = queries[i].answer;
        for (std::size_t j = 0; j < a.count && out.count < kMaxAddresses * 2; ++j) {
            out.addresses[out.count++] = a.addresses[j];
        }
        if (a.count > 0 && (out.ttl == 0 || a.ttl < out.ttl)) out.ttl = a.ttl;
        if (a.count > 0 && out.canonical[0] == '\0') {
            std::memcpy(out.canonical, a.canonical, sizeof out.canonical);
        }
    }
    out.status = out.count > 0 ? Status::success : all ? Status::notFound : Status::tryAgain;
}

}  // namespace vesk::nss

// Resolver files: finding the one for a name, and reading it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "NameLookup.hpp"

namespace vesk::nss {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

/// The next whitespace-separated word of [p, end), or an empty one.
struct Word {
    const char* begin;
    std::size_t length;
};
Word nextWord(const char*& p, const char* end) {
    while (p < end && isSpace(*p)) ++p;
    const char* b = p;
    while (p < end && !isSpace(*p)) ++p;
    return {b, static_cast<std::size_t>(p - b)};
}

bool equals(Word w, const char* text) {
    const std::size_t n = std::strlen(text);
    return w.length == n && std::memcmp(w.begin, text, n) == 0;
}

/// A decimal number in [low, high]; false otherwise.
bool number(Word w, long low, long high, long& out) {
    if (w.length == 0 || w.length > 9) return false;
    long v = 0;
    for (std::size_t i = 0; i < w.length; ++i) {
        if (w.begin[i] < '0' || w.begin[i] > '9') return false;
        v = v * 10 + (w.begin[i] - '0');
    }
    if (v < low || v > high) return false;
    out = v;
    return true;
}

bool address(Word w, sockaddr_storage& out, socklen_t& length) {
    char text[INET6_ADDRSTRLEN];
    if (w.length == 0 || w.length >= sizeof text) return false;
    std::memcpy(text, w.begin, w.length);
    text[w.length] = '\0';
    std::memset(&out, 0, sizeof out);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

/// Whether a directory or file may steer lookups: root's, and writable by
/// no one else.
bool rootsAlone(const struct stat& st) {
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

/// The last resolver file this thread read, by identity: a lookup through an
/// unchanged file costs one lstat instead of reading it again. Per thread, so
/// nothing is shared and nothing needs a lock.
struct CachedFile {
    bool valid;
    char path[512];
    struct stat identity;
    ResolverFile file;
};
thread_local CachedFile tCache{};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec &&
           a.st_mode == b.st_mode && a.st_uid == b.st_uid;
}

/// Reads and closes `fd`; `st` becomes the identity of what was read.
bool readResolverFile(int fd, ResolverFile& out, struct stat& st) {
    char text[kMaxFileSize];
    std::size_t length = 0;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && rootsAlone(st) &&
              static_cast<std::size_t>(st.st_size) <= kMaxFileSize;
    while (ok && length < sizeof text) {
        const ssize_t n = ::read(fd, text + length, sizeof text - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        length += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!ok) return false;
    return parseResolverFile(text, length, out);
}

}  // namespace

bool parseResolverFile(const char* text, std::size_t length, ResolverFile& out) {
    out = ResolverFile{};
    if (std::memchr(text, '\0', length) != nullptr) return false;
    const char* p = text;
    const char* const end = text + length;
    while (p < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (lineEnd == nullptr) lineEnd = end;
        const char* q = p;
        const Word keyword = nextWord(q, lineEnd);
        const Word value = nextWord(q, lineEnd);
        long n = 0;
        if (equals(keyword, "nameserver")) {
            sockaddr_storage server{};
            socklen_t serverLength = 0;
            if (!address(value, server, serverLength)) return false;
            if (out.serverCount < kMaxServers) {
                out.servers[out.serverCount] = server;
                out.serverLengths[out.serverCount++] = serverLength;
            }
        } else if (equals(keyword, "port")) {
            if (!number(value, 1, 65535, n)) return false;
            out.port = static_cast<std::uint16_t>(n);
        } else if (equals(keyword, "timeout")) {
            if (!number(value, 1, 999999, n)) return false;
            out.timeout = n > kMaxTimeout ? kMaxTimeout : static_cast<int>(n);
        } else if (equals(keyword, "search_order")) {
            if (!number(value, 0, 999999999, n)) return false;
            out.searchOrder = static_cast<int>(n);
        } else if (equals(keyword, "domain")) {
            if (value.length == 0 || value.length > 253) return false;
        }
        p = lineEnd + (lineEnd < end ? 1 : 0);
    }
    if (out.serverCount == 0) return false;
    for (std::size_t i = 0; i < out.serverCount; ++i) {
        auto& s = out.servers[i];
        if (s.ss_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&s)->sin_port = htons(out.port);
        } else {
            reinterpret_cast<sockaddr_in6*>(&s)->sin6_port = htons(out.port);
        }
    }
    return true;
}

bool findResolverFile(const char* dir, const char* name, ResolverFile& out) {
    // The name in lower case, without its final dot, checked label by label:
    // anything that could not be a file's name in the directory is not ours.
    char lower[256];
    std::size_t n = std::strlen(name);
    if (n > 0 && name[n - 1] == '.') --n;
    if (n == 0 || n > 253) return false;
    std::size_t label = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c <= 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (++label > 63) {
            return false;
        }
        lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
    }
    if (label == 0) return false;
    lower[n] = '\0';

    // Longest suffix first: the whole name, then after each dot. A name with
    // no file costs one failed lstat per label; the directory is checked only
    // when a file is read.
    char path[512];
    const std::size_t dirLength = std::strlen(dir);
    if (dirLength + 1 + n + 1 > sizeof path) return false;
    std::memcpy(path, dir, dirLength);
    path[dirLength] = '/';
    bool dirChecked = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0 && lower[i - 1] != '.') continue;
        std::memcpy(path + dirLength + 1, lower + i, n - i + 1);
        struct stat st {};
        if (::lstat(path, &st) != 0) continue;
        // The file this thread read last, unchanged: it was root's alone
        // then and still is, whatever became of the directory since.
        if (tCache.valid && sameFile(st, tCache.identity) &&
            std::strcmp(path, tCache.path) == 0) {
            out = tCache.file;
            return true;
        }
        if (!dirChecked) {
            struct stat d {};
            if (::lstat(dir, &d) != 0 || !S_ISDIR(d.st_mode) || !rootsAlone(d)) return false;
            dirChecked = true;
        }
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) continue;
        if (readResolverFile(fd, out, st)) {
            tCache.valid = true;
            tCache.identity = st;
            std::memcpy(tCache.path, path, sizeof tCache.path);
            tCache.file = out;
            return true;
        }
    }
    return false;
}

}  // namespace vesk::nss

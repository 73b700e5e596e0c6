// The glibc name-service entry points of libnss_vesk.so.2 (hosts database).
// Enabled by a hosts line such as "hosts: files vesk [NOTFOUND=return] dns":
// names with no resolver file are UNAVAIL (the next source has them), names
// a resolver domain's server does not know are NOTFOUND, and a server that
// does not answer in time is TRYAGAIN.
#include <errno.h>
#include <netdb.h>
#include <nss.h>

#include <cstring>

#include "NameLookup.hpp"

#define VESK_NSS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using vesk::nss::Result;
using vesk::nss::Status;

enum nss_status fail(const Result& r, int* errnop, int* herrnop) {
    switch (r.status) {
        case Status::notFound:
            *errnop = ENOENT;
            *herrnop = HOST_NOT_FOUND;
            return NSS_STATUS_NOTFOUND;
        case Status::tryAgain:
            *errnop = EAGAIN;
            *herrnop = TRY_AGAIN;
            return NSS_STATUS_TRYAGAIN;
        default:
            *errnop = ENOENT;
            *herrnop = NO_RECOVERY;
            return NSS_STATUS_UNAVAIL;
    }
}

enum nss_status bufferTooSmall(int* errnop, int* herrnop) {
    *errnop = ERANGE;
    *herrnop = NETDB_INTERNAL;
    return NSS_STATUS_TRYAGAIN;
}

/// Takes `size` bytes aligned to `align` from the caller's buffer.
void* take(char*& buffer, std::size_t& left, std::size_t size, std::size_t align) {
    const auto address = reinterpret_cast<std::uintptr_t>(buffer);
    const std::size_t pad = (align - address % align) % align;
    if (left < pad || left - pad < size) return nullptr;
    void* p = buffer + pad;
    buffer += pad + size;
    left -= pad + size;
    return p;
}

char* copyName(const char* name, char*& buffer, std::size_t& left) {
    const std::size_t n = std::strlen(name) + 1;
    auto* p = static_cast<char*>(take(buffer, left, n, 1));
    if (p != nullptr) std::memcpy(p, name, n);
    return p;
}

const char* canonicalOf(const Result& r, const char* name) {
    return r.canonical[0] != '\0' ? r.canonical : name;
}

}  // namespace

namespace vesk::nss {

enum nss_status hostsByName4(const char* dir, const char* name, struct gaih_addrtuple** pat,
                             char* buffer, size_t buflen, int* errnop, int* herrnop,
                             int32_t* ttlp) {
    Result r;
    lookup(dir, name, AF_UNSPEC, r);
    if (r.status != Status::success) return fail(r, errnop, herrnop);
    std::size_t left = buflen;
    char* canonical = copyName(canonicalOf(r, name), buffer, left);
    if (canonical == nullptr) return bufferTooSmall(errnop, herrnop);
    gaih_addrtuple** tail = pat;
    for (std::size_t i = 0; i < r.count; ++i) {
        if (*tail == nullptr) {
            *tail = static_cast<gaih_addrtuple*>(
                take(buffer, left, sizeof(gaih_addrtuple), alignof(gaih_addrtuple)));
            if (*tail == nullptr) return bufferTooSmall(errnop, herrnop);
            (*tail)->next = nullptr;
        }
        gaih_addrtuple* t = *tail;
        t->name = i == 0 ? canonical : nullptr;
        t->family = r.addresses[i].family;
        std::memset(t->addr, 0, sizeof t->addr);
        std::memcpy(t->addr, r.addresses[i].bytes, t->family == AF_INET ? 4 : 16);
        t->scopeid = 0;
        tail = &t->next;
    }
    if (ttlp != nullptr) *ttlp = r.ttl;
    return NSS_STATUS_SUCCESS;
}

enum nss_status hostsByName3(const char* dir, const char* name, int af, struct hostent* host,
                             char* buffer, size_t buflen, int* errnop, int* herrnop, int32_t* ttlp,
                             char** canonp) {
    if (af != AF_INET && af != AF_INET6) {
        *errnop = EAFNOSUPPORT;
        *herrnop = NO_RECOVERY;
        return NSS_STATUS_UNAVAIL;
    }
    Result r;
    lookup(dir, name, af, r);
    if (r.status != Status::success) return fail(r, errnop, herrnop);
    const std::size_t size = af == AF_INET ? 4 : 16;
    std::size_t left = buflen;
    char* hostName = copyName(canonicalOf(r, name), buffer, left);
    auto** aliases = static_cast<char**>(take(buffer, left, sizeof(char*), alignof(char*)));
    auto** list =
        static_cast<char**>(take(buffer, left, (r.count + 1) * sizeof(char*), alignof(char*)));
    auto* bytes = static_cast<char*>(take(buffer, left, r.count * size, alignof(std::uint32_t)));
    if (hostName == nullptr || aliases == nullptr || list == nullptr || bytes == nullptr) {
        return bufferTooSmall(errnop, herrnop);
    }
    aliases[0] = nullptr;
    for (std::size_t i = 0; i < r.count; ++i) {
        std::memcpy(bytes + i * size, r.addresses[i].bytes, size);
        list[i] = bytes + i * size;
    }
    list[r.count] = nullptr;
    host->h_name = hostName;
    host->h_aliases = aliases;
    host->h_addrtype = af;
    host->h_length = static_cast<int>(size);
    host->h_addr_list = list;
    if (ttlp != nullptr) *ttlp = r.ttl;
    if (canonp != nullptr) *canonp = hostName;
    return NSS_STATUS_SUCCESS;
}

}  // namespace vesk::nss

VESK_NSS_EXPORT enum nss_status _nss_vesk_gethostbyname4_r(const char* name,
                                                           struct gaih_addrtuple** pat,
                                                           char* buffer, size_t buflen, int* errnop,
                                                           int* herrnop, int32_t* ttlp) {
    return vesk::nss::hostsByName4(vesk::nss::kResolverDir, name, pat, buffer, buflen, errnop,
                                   herrnop, ttlp);
}

VESK_NSS_EXPORT enum nss_status _nss_vesk_gethostbyname3_r(const char* name, int af,
                                                           struct hostent* host, char* buffer,
                                                           size_t buflen, int* errnop, int* herrnop,
                                                           int32_t* ttlp, char** canonp) {
    return vesk::nss::hostsByName3(vesk::nss::kResolverDir, name, af, host, buffer, buflen, errnop,
                                   herrnop, ttlp, canonp);
}

VESK_NSS_EXPORT enum nss_status _nss_vesk_gethostbyname2_r(const char* name, int af,
                                                           struct hostent* host, char* buffer,
                                                           size_t buflen, int* errnop,
                                                           int* herrnop) {
    return _nss_vesk_gethostbyname3_r(name, af, host, buffer, buflen, errnop, herrnop, nullptr,
                                      nullptr);
}

VESK_NSS_EXPORT enum nss_status _nss_vesk_gethostbyname_r(const char* name, struct hostent* host,
                                                          char* buffer, size_t buflen, int* errnop,
                                                          int* herrnop) {
    return _nss_vesk_gethostbyname3_r(name, AF_INET, host, buffer, buflen, errnop, herrnop, nullptr,
                                      nullptr);
}

// Name lookup for the development domains: a name under a domain that has a
// resolver file (/etc/resolver/<domain>) is asked of that file's name servers;
// any other name is none of this module's business.
//
// This code runs inside every process of the machine (it is a glibc
// name-service module), set-uid programs included. So: no exceptions, no
// libstdc++, no stdio, no environment, no global mutable state; every read,
// loop and wait is bounded; fixed-size buffers on the stack are small.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <nss.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace vesk::nss {

inline constexpr const char* kResolverDir = "/etc/resolver";
inline constexpr std::size_t kMaxServers = 3;
inline constexpr std::size_t kMaxFileSize = 4096;
inline constexpr int kDefaultTimeout = 5;  ///< seconds per lookup
inline constexpr int kMaxTimeout = 60;
inline constexpr std::size_t kMaxAddresses = 16;
inline constexpr std::size_t kMaxName = 1025;  ///< NS_MAXDNAME

/// A resolver file: the name servers of one domain.
struct ResolverFile {
    sockaddr_storage servers[kMaxServers];
    socklen_t serverLengths[kMaxServers];
    std::size_t serverCount = 0;
    std::uint16_t port = 53;
    int timeout = kDefaultTimeout;  ///< seconds for the whole lookup
    int searchOrder = 0;
};

/// Reads the text of a resolver file; false when it is malformed (no usable
/// name server, a bad port, timeout or search order).
bool parseResolverFile(const char* text, std::size_t length, ResolverFile& out);

/// Finds the resolver file for `name` in `dir`: the one named after the
/// longest suffix of `name` at a label boundary. False when there is none
/// (or the directory or the file is not root's alone, or is malformed).
bool findResolverFile(const char* dir, const char* name, ResolverFile& out);

struct Address {
    int family = 0;  ///< AF_INET or AF_INET6
    std::uint8_t bytes[16] = {};
};

/// What one answer says about one name and type.
struct Answer {
    enum class Kind : std::uint8_t {
        addresses,   ///< NOERROR; `count` addresses (possibly none: no data)
        noSuchName,  ///< NXDOMAIN
        serverFailed,
        truncated,
    };
    Kind kind = Kind::serverFailed;
    std::size_t count = 0;
    Address addresses[kMaxAddresses];
    char canonical[kMaxName] = {};  ///< the name the addresses belong to
    std::int32_t ttl = 0;
};

/// Builds a query for `name` and `type` (ns_t_a, ns_t_aaaa) into `buffer`;
/// its length, or -1.
int buildQuery(const char* name, int type, unsigned char* buffer, std::size_t size);

/// Reads an answer to the query `query` (of `queryLength` bytes). False when
/// the message is not an answer to that query at all (another id, name, type
/// or class, malformed): such messages are dropped, not believed.
bool parseAnswer(const unsigned char* message, std::size_t length, const unsigned char* query,
                 std::size_t queryLength, Answer& out);

enum class Status : std::uint8_t {
    success,
    notFound,     ///< the name servers say there is no such name (or no address)
    unavailable,  ///< not a name under a resolver domain
    tryAgain,     ///< no name server answered in time
};

struct Result {
    Status status = Status::unavailable;
    std::size_t count = 0;
    Address addresses[kMaxAddresses * 2];
    char canonical[kMaxName] = {};
    std::int32_t ttl = 0;
};

/// Looks `name` up for `family` (AF_INET, AF_INET6 or AF_UNSPEC for both)
/// through the resolver files in `dir`.
void lookup(const char* dir, const char* name, int family, Result& out);

/// The module's entry points over the resolver files in `dir`: the results
/// laid out in the caller's buffer as glibc expects (TRYAGAIN with ERANGE
/// when it is too small).
enum nss_status hostsByName4(const char* dir, const char* name, struct gaih_addrtuple** pat,
                             char* buffer, size_t buflen, int* errnop, int* herrnop, int32_t* ttlp);
enum nss_status hostsByName3(const char* dir, const char* name, int af, struct hostent* host,
                             char* buffer, size_t buflen, int* errnop, int* herrnop, int32_t* ttlp,
                             char** canonp);

}  // namespace vesk::nss

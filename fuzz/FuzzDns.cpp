// The name-service module's readers on arbitrary bytes: a DNS answer to a
// fixed question (the first byte chooses A or AAAA), and a resolver file.
// Whatever is taken must be about the question's name and well formed.
#include <arpa/nameser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "NameLookup.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int type = (data[0] & 1) != 0 ? ns_t_aaaa : ns_t_a;
    unsigned char query[512];
    const int n = vesk::nss::buildQuery("app.test", type, query, sizeof query);
    if (n <= 0) std::abort();
    // Answers that match the query's id, so the fuzzer reaches the records.
    unsigned char message[4096];
    const std::size_t length = size - 1 < sizeof message ? size - 1 : sizeof message;
    std::memcpy(message, data + 1, length);
    if (length >= 2) std::memcpy(message, query, 2);
    vesk::nss::Answer answer;
    if (vesk::nss::parseAnswer(message, length, query, static_cast<std::size_t>(n), answer)) {
        if (answer.count > vesk::nss::kMaxAddresses) std::abort();
        for (std::size_t i = 0; i < answer.count; ++i) {
            if (answer.addresses[i].family != (type == ns_t_a ? AF_INET : AF_INET6)) std::abort();
        }
        if (std::memchr(answer.canonical, '\0', sizeof answer.canonical) == nullptr) std::abort();
    }
    vesk::nss::ResolverFile file;
    if (vesk::nss::parseResolverFile(reinterpret_cast<const char*>(data), size, file)) {
        if (file.serverCount == 0 || file.serverCount > vesk::nss::kMaxServers) std::abort();
        if (file.timeout < 1 || file.timeout > vesk::nss::kMaxTimeout) std::abort();
    }
    return 0;
}

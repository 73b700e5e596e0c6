#include "vesk/sites/Exposure.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <memory>

namespace vesk::Exposures {

std::vector<std::string> networkAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, ::freeifaddrs);
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
            ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) {
                continue;
            }
            ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        } else {
            continue;
        }
        out.emplace_back(text);
    }
    return out;
}

bool hasIPv6Loopback() {
    // One line per address: 32 hex digits, index, prefix, scope, flags, name.
    std::ifstream in("/proc/net/if_inet6");
    std::string address, index, prefix, scope, flags, name;
    while (in >> address >> index >> prefix >> scope >> flags >> name) {
        if (address == "00000000000000000000000000000001" && name == "lo") return true;
    }
    return false;
}

}  // namespace vesk::Exposures

#include "vesk/sites/SiteProxy.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace vesk {

namespace {

bool isHostName(std::string_view name) {
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.front() == '-') {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-';
    });
}

bool isPath(std::string_view path) {
    // What nginx takes unquoted in proxy_pass and a browser sends unescaped.
    return std::all_of(path.begin(), path.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("/._~-%").find(c) != std::string_view::npos;
    });
}

}  // namespace

std::optional<ProxyTarget> ProxyTarget::parse(std::string_view text) {
    if (text.size() > 2048) return std::nullopt;
    ProxyTarget t;
    t.host = "127.0.0.1";
    if (text.rfind("http://", 0) == 0) {
        text.remove_prefix(7);
    } else if (text.find("://") != std::string_view::npos) {
        return std::nullopt;  // https:// and the rest: nginx would need more than a URL
    }
    const auto slash = text.find('/');
    const std::string_view authority = text.substr(0, slash);
    if (authority.empty()) return std::nullopt;
    if (slash != std::string_view::npos) {
        t.path = std::string(text.substr(slash));
        if (!isPath(t.path)) return std::nullopt;
    }
    std::string_view host;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || rest.size() == 1)) return std::nullopt;
        if (!rest.empty()) port = rest.substr(1);
        in6_addr a6{};
        if (::inet_pton(AF_INET6, std::string(host).c_str(), &a6) != 1) return std::nullopt;
    } else {
        const auto colon = authority.rfind(':');
        if (colon == std::string_view::npos) {
            // A number alone is a local port; anything else a host.
            const bool digits =
                !authority.empty() && std::all_of(authority.begin(), authority.end(),
                                                  [](char c) { return c >= '0' && c <= '9'; });
            if (digits && slash == std::string_view::npos) {
                port = authority;
            } else {
                host = authority;
            }
        } else {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        }
        if (!host.empty() && !isHostName(host)) return std::nullopt;
    }
    if (!host.empty()) t.host = std::string(host);
    if (!port.empty()) {
        std::int64_t n = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), n);
        if (error != std::errc() || end != port.data() + port.size() || n < 1 || n > 65535) {
            return std::nullopt;
        }
        t.port = n;
    }
    return t;
}

bool ProxyTarget::isLoopback() const {
    std::string name = host;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "localhost" || name == "localhost.") return true;
    in_addr a4{};
    if (::inet_pton(AF_INET, host.c_str(), &a4) == 1) {
        return (ntohl(a4.s_addr) >> 24) == 127;
    }
    in6_addr a6{};
    return ::inet_pton(AF_INET6, host.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

std::string ProxyTarget::address() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ProxyTarget::url() const {
    return "http://" + address() + path;
}

}  // namespace vesk

// Sites that forward to a server of the developer's own: a local port, a
// loopback URL, or (only when the developer says so) another machine's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Json.hpp"

namespace vesk {

/// Where a proxied site's requests go: an http:// URL taken apart.
struct ProxyTarget {
    std::string host;  ///< an address literal ("::1" without brackets) or a name
    std::int64_t port = 80;
    std::string path;  ///< empty, or starting with '/'

    /// "3000", "localhost:3000", "http://127.0.0.1:3000/api" or
    /// "http://[::1]:8080": none for any other text, or one that could end
    /// an nginx directive.
    static std::optional<ProxyTarget> parse(std::string_view text);
    /// 127.0.0.0/8, ::1 or localhost: this machine.
    [[nodiscard]] bool isLoopback() const;
    /// "host:port" as nginx's server directive takes it.
    [[nodiscard]] std::string address() const;
    [[nodiscard]] std::string url() const;

    friend bool operator==(const ProxyTarget&, const ProxyTarget&) = default;
};

/// A proxied site: its full domain and where it forwards.
struct SiteProxy {
    std::string domain;
    std::string target;  ///< the URL, as ProxyTarget::url() writes it
    /// The developer allowed a target on another machine (--any-host).
    bool anyHost = false;

    friend bool operator==(const SiteProxy&, const SiteProxy&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::SiteProxy, vesk::field("domain", &vesk::SiteProxy::domain),
            vesk::field("target", &vesk::SiteProxy::target),
            vesk::field("anyHost", &vesk::SiteProxy::anyHost));

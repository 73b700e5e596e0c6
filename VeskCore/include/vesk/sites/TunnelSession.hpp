// Public tunnels that share a local site through an outside client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

enum class TunnelProvider { cloudflared, ngrok, expose };

}  // namespace vesk

VESK_RAW_ENUM(vesk::TunnelProvider, {vesk::TunnelProvider::cloudflared, "cloudflared"},
              {vesk::TunnelProvider::ngrok, "ngrok"}, {vesk::TunnelProvider::expose, "expose"});

namespace vesk {

/// The client program to look for and run.
std::string_view executableName(TunnelProvider provider);
/// The name shown to the user.
std::string_view displayName(TunnelProvider provider);

struct TunnelSession {
    UUID id;
    std::string domain;
    std::string publicURL;
    TunnelProvider provider = TunnelProvider::cloudflared;
    std::int32_t pid = 0;
    Date startedAt;

    friend bool operator==(const TunnelSession&, const TunnelSession&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::TunnelSession, vesk::field("id", &vesk::TunnelSession::id),
            vesk::field("domain", &vesk::TunnelSession::domain),
            vesk::field("publicURL", &vesk::TunnelSession::publicURL),
            vesk::field("provider", &vesk::TunnelSession::provider),
            vesk::field("pid", &vesk::TunnelSession::pid),
            vesk::field("startedAt", &vesk::TunnelSession::startedAt));
VESK_HASHABLE(vesk::TunnelSession);

#include "vesk/sites/TunnelSession.hpp"

namespace vesk {

std::string_view executableName(TunnelProvider provider) {
    return rawValue(provider);
}

std::string_view displayName(TunnelProvider provider) {
    switch (provider) {
        case TunnelProvider::cloudflared:
            return "Cloudflare Tunnel";
        case TunnelProvider::ngrok:
            return "ngrok";
        case TunnelProvider::expose:
            return "Expose";
    }
    return {};
}

}  // namespace vesk

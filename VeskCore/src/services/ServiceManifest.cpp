#include "vesk/services/ServiceManifest.hpp"

namespace vesk {

std::optional<ServiceManifest::ServiceVersions> ServiceManifest::versions(ServiceType type) const {
    const auto it = services.find(std::string(rawValue(type)));
    if (it == services.end()) return std::nullopt;
    return it->second;
}

}  // namespace vesk

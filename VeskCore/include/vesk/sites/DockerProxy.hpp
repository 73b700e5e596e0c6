// Local domains forwarded to Docker containers.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct DockerProxy {
    UUID id;
    std::string containerName;
    std::string domain;
    long long targetPort = 0;
    std::optional<std::string> containerId;

    /// domain + ".test", whatever top-level domain is configured elsewhere.
    [[nodiscard]] std::string fullDomain() const { return domain + ".test"; }

    friend bool operator==(const DockerProxy&, const DockerProxy&) = default;
};

/// A running container as Docker reports it.
struct DockerContainer {
    std::string containerId;
    std::string name;
    std::string image;
    std::vector<long long> ports;
    std::map<std::string, std::string> labels;

    /// The "vesk.domain" label without one trailing ".test", else the name.
    [[nodiscard]] std::string resolvedDomain() const;
    /// The "vesk.port" label when it is a whole number, else the first published port.
    [[nodiscard]] std::optional<long long> resolvedPort() const;

    friend bool operator==(const DockerContainer&, const DockerContainer&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::DockerProxy, vesk::field("id", &vesk::DockerProxy::id),
            vesk::field("containerName", &vesk::DockerProxy::containerName),
            vesk::field("domain", &vesk::DockerProxy::domain),
            vesk::field("targetPort", &vesk::DockerProxy::targetPort),
            vesk::field("containerId", &vesk::DockerProxy::containerId));
VESK_HASHABLE(vesk::DockerProxy);

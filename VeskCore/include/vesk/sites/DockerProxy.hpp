// Local domains forwarded to Docker containers.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
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

/// What `docker inspect` says of the running containers.
namespace docker {

struct Inspected {
    DockerContainer container;
    /// Each published port: the container's port to this machine's.
    std::map<long long, long long> published;
};

/// The running containers of `docker inspect`'s JSON array: id, name
/// (without Docker's leading '/'), image, labels, and the ports published
/// on this machine (ascending), which are the container's `ports`. Entries
/// that are no object, or not running, are left out; none for text that is
/// no array.
std::vector<Inspected> fromInspect(std::string_view json);
/// The port of this machine that reaches the container's resolvedPort: the
/// one it is published on when it is a port of the container's, else the
/// port itself.
std::optional<long long> hostPort(const Inspected& inspected);

}  // namespace docker

}  // namespace vesk

VESK_RECORD(vesk::DockerProxy, vesk::field("id", &vesk::DockerProxy::id),
            vesk::field("containerName", &vesk::DockerProxy::containerName),
            vesk::field("domain", &vesk::DockerProxy::domain),
            vesk::field("targetPort", &vesk::DockerProxy::targetPort),
            vesk::field("containerId", &vesk::DockerProxy::containerId));
VESK_HASHABLE(vesk::DockerProxy);

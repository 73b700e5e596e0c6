// A Node.js version as the application lists it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct NodeVersion {
    UUID id;
    std::string version;
    std::optional<std::string> npmVersion;
    bool isLTS = false;
    std::optional<std::string> ltsCodename;
    bool isInstalled = false;
    std::optional<std::string> installPath;

    [[nodiscard]] std::int64_t majorVersion() const;
    /// "v22.11.0 LTS (Jod)", "v20.1.0 LTS" or just the version.
    [[nodiscard]] std::string displayName() const;

    friend bool operator==(const NodeVersion&, const NodeVersion&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::NodeVersion, vesk::field("id", &vesk::NodeVersion::id),
            vesk::field("version", &vesk::NodeVersion::version),
            vesk::field("npmVersion", &vesk::NodeVersion::npmVersion),
            vesk::field("isLTS", &vesk::NodeVersion::isLTS),
            vesk::field("ltsCodename", &vesk::NodeVersion::ltsCodename),
            vesk::field("isInstalled", &vesk::NodeVersion::isInstalled),
            vesk::field("installPath", &vesk::NodeVersion::installPath));
VESK_HASHABLE(vesk::NodeVersion);

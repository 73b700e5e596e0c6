#include "vesk/services/NodeVersion.hpp"

#include "vesk/services/NodeDistributionConfig.hpp"

namespace vesk {

std::int64_t NodeVersion::majorVersion() const {
    return NodeDistributionConfig::majorVersion(version);
}

std::string NodeVersion::displayName() const {
    if (!isLTS) return version;
    return ltsCodename ? version + " LTS (" + *ltsCodename + ")" : version + " LTS";
}

}  // namespace vesk

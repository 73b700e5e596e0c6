#include "vesk/services/GoVersion.hpp"

namespace vesk {

std::string shortVersionOf(std::string_view version) {
    const auto first = version.find('.');
    if (first == std::string_view::npos) return std::string(version);
    const auto second = version.find('.', first + 1);
    return std::string(version.substr(0, second));
}

std::string GoVersion::shortVersion() const {
    return shortVersionOf(version);
}

namespace GoDistributionConfig {

const URL& baseURL() {
    static const URL url = *URL::parse("https://go.dev/dl");
    return url;
}

const std::vector<std::string>& availableVersions() {
    static const std::vector<std::string> versions{"1.24.0", "1.23.5", "1.22.10", "1.21.13"};
    return versions;
}

std::optional<URL> downloadURL(std::string_view version) {
    return URL::parse(baseURL().absoluteString() + "/go" + std::string(version) +
                      ".darwin-arm64.tar.gz");
}

}  // namespace GoDistributionConfig

}  // namespace vesk

#include "vesk/services/FlutterVersion.hpp"

#include <array>

namespace vesk {

std::string_view displayName(FlutterChannel channel) {
    static constexpr std::array<std::string_view, 4> kNames{"Stable", "Beta", "Dev", "Master"};
    return kNames[caseIndex(channel)];
}

std::string FlutterVersion::id() const {
    return std::string(rawValue(channel)) + "-" + version;
}

namespace FlutterDistributionConfig {

const URL& baseURL() {
    static const URL url =
        *URL::parse("https://storage.googleapis.com/flutter_infra_release/releases");
    return url;
}

const std::vector<std::string>& stableVersions() {
    static const std::vector<std::string> list{"3.27.3", "3.24.5", "3.22.3", "3.19.6", "3.16.9"};
    return list;
}

std::optional<URL> downloadURL(std::string_view version, FlutterChannel channel) {
    const std::string c(rawValue(channel));
    return URL::parse(baseURL().absoluteString() + "/" + c + "/macos/flutter_macos_arm64_" +
                      std::string(version) + "-" + c + ".zip");
}

}  // namespace FlutterDistributionConfig

}  // namespace vesk

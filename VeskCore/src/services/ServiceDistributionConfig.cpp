#include "vesk/services/ServiceDistributionConfig.hpp"

namespace vesk::ServiceDistributionConfig {

// Endpoints of the code-hosting service's shape (raw files by owner, repository
// and branch; release downloads under the repository's web URL) on a host
// reserved for examples, so they name no real account.
TextSetting& manifestURL() {
    static TextSetting s(
        "https://raw.example.com/vesk/vesk-service-builds/main/config/services.json");
    return s;
}

TextSetting& repoOwner() {
    static TextSetting s("vesk");
    return s;
}

TextSetting& repoName() {
    static TextSetting s("vesk-service-builds");
    return s;
}

std::string baseDownloadURL() {
    return "https://code.example.com/" + repoOwner().get() + "/" + repoName().get() +
           "/releases/download";
}

}  // namespace vesk::ServiceDistributionConfig

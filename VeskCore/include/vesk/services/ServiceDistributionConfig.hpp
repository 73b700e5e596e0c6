// Where the service manifest and the service downloads live.
#pragma once

#include <string>

#include "vesk/foundation/TextSetting.hpp"

namespace vesk::ServiceDistributionConfig {

/// Raw-file URL of "config/services.json" on the "main" branch.
TextSetting& manifestURL();
/// Account that owns the service-builds repository.
TextSetting& repoOwner();
/// "vesk-service-builds".
TextSetting& repoName();
/// The repository's web URL followed by "/releases/download".
std::string baseDownloadURL();

}  // namespace vesk::ServiceDistributionConfig

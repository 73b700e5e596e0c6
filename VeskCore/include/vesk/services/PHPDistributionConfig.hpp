// Where the PHP manifest lives.
#pragma once

#include "vesk/foundation/TextSetting.hpp"

namespace vesk::PHPDistributionConfig {

/// Raw-file URL of "config/php-versions.json" on the "master" branch (its
/// account is not `repoOwner`).
TextSetting& manifestURL();
/// The same account as the service builds' owner.
TextSetting& repoOwner();
/// "vesk-php-builds".
TextSetting& repoName();

}  // namespace vesk::PHPDistributionConfig

#include "vesk/services/PHPDistributionConfig.hpp"

namespace vesk::PHPDistributionConfig {

TextSetting& manifestURL() {
    static TextSetting s(
        "https://raw.example.com/vesk-php/vesk-php-builds/master/config/php-versions.json");
    return s;
}

TextSetting& repoOwner() {
    static TextSetting s("vesk");
    return s;
}

TextSetting& repoName() {
    static TextSetting s("vesk-php-builds");
    return s;
}

}  // namespace vesk::PHPDistributionConfig

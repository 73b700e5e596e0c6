// The Homebrew formula through which the executable is distributed.
#pragma once

#include <string>
#include <string_view>

#include "vesk/foundation/Json.hpp"

namespace vesk {

struct HomebrewFormula {
    std::string className;
    std::string desc;
    std::string homepage;  ///< without a trailing slash
    std::string version;   ///< without a leading "v"
    std::string license;
    std::string arm64URL;  ///< empty: derived by downloadURL
    std::string arm64SHA256;
    std::string x86SHA256;
    std::string x86URL;  ///< empty: derived by downloadURL
    std::string binaryName;

    /// homepage/releases/download/v<version>/<binaryName>-darwin-<arch>.
    [[nodiscard]] std::string downloadURL(std::string_view arch) const;
    /// The formula's 24 lines, joined by line feeds.
    [[nodiscard]] std::string generateRuby() const;

    friend bool operator==(const HomebrewFormula&, const HomebrewFormula&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::HomebrewFormula, vesk::field("className", &vesk::HomebrewFormula::className),
            vesk::field("desc", &vesk::HomebrewFormula::desc),
            vesk::field("homepage", &vesk::HomebrewFormula::homepage),
            vesk::field("version", &vesk::HomebrewFormula::version),
            vesk::field("license", &vesk::HomebrewFormula::license),
            vesk::field("arm64URL", &vesk::HomebrewFormula::arm64URL),
            vesk::field("arm64SHA256", &vesk::HomebrewFormula::arm64SHA256),
            vesk::field("x86SHA256", &vesk::HomebrewFormula::x86SHA256),
            vesk::field("x86URL", &vesk::HomebrewFormula::x86URL),
            vesk::field("binaryName", &vesk::HomebrewFormula::binaryName));

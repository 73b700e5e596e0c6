// Settings of PHP's step debugger for a site.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

enum class XdebugMode { debug, profile, trace };
enum class IDEPreset { vscode, phpstorm };

}  // namespace vesk

VESK_RAW_ENUM(vesk::XdebugMode, {vesk::XdebugMode::debug, "debug"},
              {vesk::XdebugMode::profile, "profile"}, {vesk::XdebugMode::trace, "trace"});
VESK_RAW_ENUM(vesk::IDEPreset, {vesk::IDEPreset::vscode, "vscode"},
              {vesk::IDEPreset::phpstorm, "phpstorm"});

namespace vesk {

/// "VSCODE" or "PHPSTORM".
std::string_view ideKey(IDEPreset preset);
/// 9003 for both.
std::int64_t defaultPort(IDEPreset preset);

struct XdebugConfig {
    /// The environment variable that turns debugging on for one site.
    static constexpr std::string_view perSiteEnvVar = "XDEBUG_SESSION";

    XdebugMode mode = XdebugMode::debug;
    std::string ideKey;
    std::string clientHost;
    std::int64_t clientPort = 0;
    bool startWithRequest = false;

    /// The preset's key, 127.0.0.1:9003, a session on every request.
    static XdebugConfig preset(IDEPreset ide, XdebugMode mode);
    /// The value to give `perSiteEnvVar`: the IDE key.
    [[nodiscard]] std::string perSiteEnvValue() const { return ideKey; }

    friend bool operator==(const XdebugConfig&, const XdebugConfig&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::XdebugConfig, vesk::field("mode", &vesk::XdebugConfig::mode),
            vesk::field("ideKey", &vesk::XdebugConfig::ideKey),
            vesk::field("clientHost", &vesk::XdebugConfig::clientHost),
            vesk::field("clientPort", &vesk::XdebugConfig::clientPort),
            vesk::field("startWithRequest", &vesk::XdebugConfig::startWithRequest));
VESK_HASHABLE(vesk::XdebugConfig);

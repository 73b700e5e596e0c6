// Settings of PHP's step debugger for a site.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

namespace vesk {

/// The developer's Xdebug switch: off, on for every site, or on for the
/// sites named (by full domain), with the debugger's settings.
struct XdebugSettings {
    bool on = false;
    /// Empty: every site.
    std::vector<std::string> sites;
    /// VS Code's preset in debug mode.
    XdebugConfig config{XdebugMode::debug, "VSCODE", "127.0.0.1", 9003, true};

    /// Whether requests of the site at `fullDomain` may reach Xdebug.
    [[nodiscard]] bool coversSite(std::string_view fullDomain) const {
        return on &&
               (sites.empty() || std::find(sites.begin(), sites.end(), fullDomain) != sites.end());
    }

    friend bool operator==(const XdebugSettings&, const XdebugSettings&) = default;
};

/// The request names Xdebug starts on, as cookies or query parameters:
/// a request carrying any of them is sent to the pool that loads it.
inline constexpr std::string_view kXdebugTriggers[] = {
    "XDEBUG_SESSION", "XDEBUG_SESSION_START", "XDEBUG_TRIGGER", "XDEBUG_PROFILE", "XDEBUG_TRACE"};

}  // namespace vesk

VESK_RECORD(vesk::XdebugSettings, vesk::field("on", &vesk::XdebugSettings::on),
            vesk::field("sites", &vesk::XdebugSettings::sites),
            vesk::field("config", &vesk::XdebugSettings::config));

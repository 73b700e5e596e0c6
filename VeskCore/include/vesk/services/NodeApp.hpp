// A Node.js server of the developer's, run by the supervisor for its site:
// its project's start script, with PORT set to a port Vesk chose for it,
// and the site's block forwarding there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Json.hpp"
#include "vesk/services/ServiceRecipe.hpp"
#include "vesk/services/ViteConfig.hpp"

namespace vesk {

struct NodeApp {
    std::string siteDomain;  ///< the site's full domain
    std::int64_t port = 0;
    /// Kept running (and started at boot) until the developer stops it.
    bool enabled = true;

    friend bool operator==(const NodeApp&, const NodeApp&) = default;
};

namespace nodeapps {

/// The first port a Node.js server is given; the next free one after it
/// when that is taken.
inline constexpr std::int64_t kFirstPort = 3100;

/// The "start" script of a package.json text; none when it has none (or is
/// no JSON object).
std::optional<std::string> startScript(std::string_view packageJSON);
/// The package manager the project's lock file names (npm without one).
PackageManager managerOf(const std::string& directory);
/// The command that runs the start script with `manager` (the program's
/// path under `bin`, "/usr/bin" in production), PORT and HOST set.
CommandLine commandLine(const NodeApp& app, PackageManager manager,
                        const std::string& bin = "/usr/bin");
/// The Node.js version the project asks for (.nvmrc, else package.json's
/// engines.node), as written; none when it names none.
std::optional<std::string> requestedVersion(const std::string& directory);
/// Whether a Node.js of major version `major` is what `requested` asks for:
/// "18", "v18.2.0", "18.x", ">=18", "^20.1", "lts/*" and the like; an
/// expression this cannot read is taken as met.
bool satisfies(std::string_view requested, int major);

}  // namespace nodeapps

}  // namespace vesk

VESK_RECORD(vesk::NodeApp, vesk::field("siteDomain", &vesk::NodeApp::siteDomain),
            vesk::field("port", &vesk::NodeApp::port),
            vesk::field("enabled", &vesk::NodeApp::enabled));

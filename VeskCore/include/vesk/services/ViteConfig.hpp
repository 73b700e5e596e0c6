// The Vite front-end dev server of a site.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/services/ServiceRecipe.hpp"

namespace vesk {

enum class PackageManager { npm, yarn, pnpm, bun };

}  // namespace vesk

VESK_RAW_ENUM(vesk::PackageManager, {vesk::PackageManager::npm, "npm"},
              {vesk::PackageManager::yarn, "yarn"}, {vesk::PackageManager::pnpm, "pnpm"},
              {vesk::PackageManager::bun, "bun"});

namespace vesk {

/// The program that runs a package's tool: "npx", "yarn", "pnpm", "bunx".
std::string_view runCommand(PackageManager manager);
/// The file whose presence in a project identifies the package manager.
std::string_view lockFile(PackageManager manager);

struct ViteConfig {
    std::string siteDomain;
    std::string sitePath;
    std::int64_t port = 0;
    bool autoDetected = false;
    PackageManager packageManager = PackageManager::npm;
    bool hmrProxyEnabled = false;
    std::optional<std::int32_t> pid;

    /// "<runCommand> vite --port <port>", run in `sitePath`.
    [[nodiscard]] std::string startCommand() const;

    friend bool operator==(const ViteConfig&, const ViteConfig&) = default;
};

}  // namespace vesk

namespace vesk::vite {

/// Vite's own first port; the next free one after it when that is taken.
inline constexpr std::int64_t kFirstPort = 5173;

/// Whether the project's package.json names vite among its dependencies.
bool usesVite(const std::string& directory);
/// The dev server's command: the package manager's runner with
/// startCommand's words, on 127.0.0.1 and exactly its port, and never a
/// download (the project's own vite). Programs under `bin`.
CommandLine commandLine(const ViteConfig& config, const std::string& bin = "/usr/bin");

}  // namespace vesk::vite

VESK_RECORD(vesk::ViteConfig, vesk::field("siteDomain", &vesk::ViteConfig::siteDomain),
            vesk::field("sitePath", &vesk::ViteConfig::sitePath),
            vesk::field("port", &vesk::ViteConfig::port),
            vesk::field("autoDetected", &vesk::ViteConfig::autoDetected),
            vesk::field("packageManager", &vesk::ViteConfig::packageManager),
            vesk::field("hmrProxyEnabled", &vesk::ViteConfig::hmrProxyEnabled),
            vesk::field("pid", &vesk::ViteConfig::pid));
VESK_HASHABLE(vesk::ViteConfig);

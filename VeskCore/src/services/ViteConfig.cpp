#include "vesk/services/ViteConfig.hpp"

#include <array>

namespace vesk {

namespace {

struct ManagerTexts {
    std::string_view run;
    std::string_view lock;
};

constexpr std::array<ManagerTexts, 4> kManagers{{{"npx", "package-lock.json"},
                                                 {"yarn", "yarn.lock"},
                                                 {"pnpm", "pnpm-lock.yaml"},
                                                 {"bunx", "bun.lockb"}}};

}  // namespace

std::string_view runCommand(PackageManager manager) {
    return kManagers[caseIndex(manager)].run;
}

std::string_view lockFile(PackageManager manager) {
    return kManagers[caseIndex(manager)].lock;
}

std::string ViteConfig::startCommand() const {
    return std::string(runCommand(packageManager)) + " vite --port " + std::to_string(port);
}

}  // namespace vesk

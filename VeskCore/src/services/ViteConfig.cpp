#include "vesk/services/ViteConfig.hpp"

#include <unistd.h>

#include <array>
#include <fstream>

#include "vesk/foundation/json/Document.hpp"

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

namespace vesk::vite {

bool usesVite(const std::string& directory) {
    std::ifstream in(directory + "/package.json", std::ios::binary);
    if (!in) return false;
    std::string text(1 << 20, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    try {
        const JsonDocument doc = JsonDocument::parse(text);
        const JsonIn root = doc.root();
        if (!root.isObject()) return false;
        for (const char* group : {"devDependencies", "dependencies"}) {
            const auto deps = root.find(group);
            if (deps && deps->isObject() && deps->find("vite")) return true;
        }
    } catch (const std::exception&) {
    }
    return false;
}

CommandLine commandLine(const ViteConfig& config, const std::string& bin) {
    std::vector<std::string> words;
    std::string program;
    switch (config.packageManager) {
        case PackageManager::npm:
            program = "npx";
            words = {"--no", "--"};  // the project's vite, or none: never one fetched
            break;
        case PackageManager::pnpm:
            program = "pnpm";
            words = {"exec"};
            break;
        case PackageManager::yarn:
            program = "yarn";
            break;
        case PackageManager::bun:
            program = "bunx";
            break;
    }
    if (::access((bin + "/" + program).c_str(), X_OK) != 0) {
        program = "npx";
        words = {"--no", "--"};
    }
    words.insert(words.end(), {"vite", "--port", std::to_string(config.port), "--strictPort",
                               "--host", "127.0.0.1"});
    return CommandLine{bin + "/" + program, words, {}};
}

}  // namespace vesk::vite

// Where this program finds the environment. The shipped command uses the
// production layout alone; the test build of the command (the same sources
// with VESK_TEST_SEAMS) lets its tests move the environment, the helper's
// socket and the package's resources into a temporary directory, and run
// the supervisor's waits (its back-off, its stable period) faster.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Command.hpp"

namespace vesk::cli {

namespace {

#ifdef VESK_TEST_SEAMS
const char* absolute(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}
#endif

EnvironmentLayout make() {
    EnvironmentLayout layout = EnvironmentLayout::production();
#ifdef VESK_TEST_SEAMS
    if (const char* base = absolute("VESK_BASE")) {
        layout = EnvironmentLayout::withBase(base);
        layout.authorityDir = std::string(base) + "/authority";
    }
    if (const char* socket = absolute("VESK_HELPER_SOCKET")) layout.socketPath = socket;
    if (const char* resources = absolute("VESK_RESOURCES")) layout.resourcesDir = resources;
#endif
    return layout;
}

}  // namespace

const EnvironmentLayout& environmentLayout() {
    static const EnvironmentLayout layout = make();
    return layout;
}

bool movedEnvironment() {
#ifdef VESK_TEST_SEAMS
    return absolute("VESK_BASE") != nullptr;
#else
    return false;
#endif
}

double timeScale() {
#ifdef VESK_TEST_SEAMS
    if (const char* scale = std::getenv("VESK_TEST_TIME_SCALE")) {
        const double value = std::strtod(scale, nullptr);
        if (value > 0 && value <= 1) return value;
    }
#endif
    return 1;
}

double readyWithin() {
#ifdef VESK_TEST_SEAMS
    if (const char* limit = std::getenv("VESK_TEST_READY_SECONDS")) {
        const double value = std::strtod(limit, nullptr);
        if (value > 0 && value <= 60) return value;
    }
#endif
    return 60;
}

std::string packageProgram(const std::string& name) {
#ifdef VESK_TEST_SEAMS
    // The build tree's: beside this program, or a directory above it.
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    for (const auto& dir : {self, self.parent_path()}) {
        const auto candidate = dir / name;
        if (!ec && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
#endif
    return "/usr/libexec/vesk/" + name;
}

}  // namespace vesk::cli

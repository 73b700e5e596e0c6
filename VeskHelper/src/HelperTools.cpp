#include "HelperTools.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

#include "Log.hpp"
#include "SafeFS.hpp"
#include "vesk/system/Spawn.hpp"

namespace vesk::helper {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// `path` equals `base` or lies below it, compared by whole components.
bool within(const std::string& path, const std::string& base) {
    if (path.size() < base.size() || path.compare(0, base.size(), base) != 0) return false;
    return path.size() == base.size() || path[base.size()] == '/';
}

}  // namespace

std::string helperHome() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return "/root";
}

std::string standardizePath(const std::string& path, const std::string& home) {
    std::string p = path;
    if (p == "~" || p.rfind("~/", 0) == 0) p = home + p.substr(1);
    if (p.empty()) return p;
    const bool absolute = p.front() == '/';
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= p.size()) {
        const std::size_t j = std::min(p.find('/', i), p.size());
        const std::string part = p.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." && absolute) {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out = absolute ? "/" : "";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) out += '/';
        out += parts[k];
    }
    if (absolute && out.rfind("/private/", 0) == 0) {
        const std::string rest = out.substr(8);
        if (exists(rest)) out = rest;
    }
    return out;
}

namespace {

// The allow-list on a path that is already standard.
bool allowedStandard(const EnvironmentLayout& layout, const std::string& p) {
    if (p.empty() || p.front() != '/') return false;
    if (within(p, layout.veskBase)) return true;
    if (p == layout.cliLink) return true;
    if (within(p, layout.resolverDir)) return true;
    const std::string prefix = layout.daemonPrefix();
    return p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0 &&
           p.find('/', prefix.size()) == std::string::npos;
}

}  // namespace

StandardPath standardPath(const EnvironmentLayout& layout, const std::string& path) {
    StandardPath sp;
    sp.given = path;
    if (path.empty() || path.find('\0') != std::string::npos) return sp;
    sp.text = standardizePath(path, helperHome());
    sp.allowed = allowedStandard(layout, sp.text);
    return sp;
}

bool isAllowedPath(const EnvironmentLayout& layout, const std::string& path) {
    return standardPath(layout, path).allowed;
}

namespace {

int spawnAndWait(const std::string& executable, const std::vector<std::string>& args,
                 std::optional<std::chrono::milliseconds> limit,
                 const std::vector<std::string>& variables = {}) {
    spawn::Request request;
    if (!variables.empty()) {
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry(*e);
            const bool replaced =
                std::any_of(variables.begin(), variables.end(), [&](const auto& v) {
                    const auto name = v.substr(0, v.find('=') + 1);
                    return entry.substr(0, name.size()) == name;
                });
            if (!replaced) environment.emplace_back(entry);
        }
        environment.insert(environment.end(), variables.begin(), variables.end());
        request.environment = std::move(environment);
    }
    request.program = executable;
    request.arguments = args;
    request.output = spawn::Output::discard;
    request.limit = limit;
    request.ownGroup = limit.has_value();  // a group of its own, killed whole at the limit
    const spawn::Result r = spawn::run(request);
    if (r.spawnError != 0) {
        logLine("Failed to run " + executable + ": " + std::strerror(r.spawnError));
        return -1;
    }
    if (r.exitStatus) return *r.exitStatus;
    if (r.signal) return *r.signal;
    return -1;
}

}  // namespace

int runShell(const std::string& executable, const std::vector<std::string>& args) {
    return spawnAndWait(executable, args, std::nullopt);
}

int runShell(const std::string& executable, const std::vector<std::string>& args,
             std::chrono::milliseconds limit) {
    return spawnAndWait(executable, args, limit);
}

int runShell(const std::string& executable, const std::vector<std::string>& args,
             const std::vector<std::string>& variables) {
    return spawnAndWait(executable, args, std::nullopt, variables);
}

void createDirIfNeeded(const EnvironmentLayout& layout, const std::string& path,
                       std::uint16_t permissions) {
    SafeFS(layout).createDirIfNeeded(path, permissions);
}

}  // namespace vesk::helper

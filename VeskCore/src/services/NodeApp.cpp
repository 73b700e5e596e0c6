#include "vesk/services/NodeApp.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>

#include "vesk/foundation/json/Document.hpp"

namespace vesk::nodeapps {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

/// A small file's text (a project's package.json or .nvmrc: 1 MiB at most).
std::optional<std::string> smallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(1 << 20, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

/// A member of the object `key` of the package.json text, when a string.
std::optional<std::string> member(std::string_view packageJSON, std::string_view object,
                                  std::string_view key) {
    try {
        const JsonDocument doc = JsonDocument::parse(packageJSON);
        const JsonIn root = doc.root();
        if (!root.isObject()) return std::nullopt;
        const auto outer = root.find(object);
        if (!outer || !outer->isObject()) return std::nullopt;
        const auto value = outer->find(key);
        if (!value || !value->isString()) return std::nullopt;
        return value->string();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> startScript(std::string_view packageJSON) {
    auto script = member(packageJSON, "scripts", "start");
    if (script && script->find_first_not_of(" \t") == std::string::npos) return std::nullopt;
    return script;
}

PackageManager managerOf(const std::string& directory) {
    for (const PackageManager m :
         {PackageManager::pnpm, PackageManager::yarn, PackageManager::bun}) {
        if (exists(directory + "/" + std::string(lockFile(m)))) return m;
    }
    return PackageManager::npm;
}

CommandLine commandLine(const NodeApp& app, PackageManager manager, const std::string& bin) {
    std::string program = bin + "/" + std::string(rawValue(manager));
    // A lock file of a manager that is not installed: npm runs the script.
    if (::access(program.c_str(), X_OK) != 0) program = bin + "/npm";
    std::vector<std::string> arguments{"run", "start"};
    if (program == bin + "/yarn") arguments = {"start"};
    return CommandLine{
        program,
        arguments,
        {"PORT=" + std::to_string(app.port), "HOST=127.0.0.1", "NODE_ENV=development"}};
}

std::optional<std::string> requestedVersion(const std::string& directory) {
    if (const auto nvmrc = smallFile(directory + "/.nvmrc")) {
        std::istringstream lines(*nvmrc);
        std::string line;
        while (std::getline(lines, line)) {
            const auto first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos || line[first] == '#') continue;
            const auto last = line.find_last_not_of(" \t\r");
            return line.substr(first, last - first + 1).substr(0, 64);
        }
    }
    if (const auto package = smallFile(directory + "/package.json")) {
        if (auto engines = member(*package, "engines", "node")) return engines->substr(0, 64);
    }
    return std::nullopt;
}

bool satisfies(std::string_view requested, int major) {
    // Alternatives: one of them met is enough.
    const auto bar = requested.find("||");
    if (bar != std::string_view::npos) {
        return satisfies(requested.substr(0, bar), major) ||
               satisfies(requested.substr(bar + 2), major);
    }
    while (!requested.empty() && std::isspace(static_cast<unsigned char>(requested.front()))) {
        requested.remove_prefix(1);
    }
    std::string_view op;
    for (const std::string_view o : {">=", "<=", ">", "<", "^", "~", "=", "v"}) {
        if (requested.rfind(o, 0) == 0) {
            op = o;
            requested.remove_prefix(o.size());
            break;
        }
    }
    if (!requested.empty() && requested.front() == 'v') requested.remove_prefix(1);
    int wanted = 0;
    const auto [end, error] =
        std::from_chars(requested.data(), requested.data() + requested.size(), wanted);
    if (error != std::errc()) return true;  // "lts/*", "node", "*": any
    // A range ("18 <21", ">=18.0.0 <21") is read as its first bound.
    if (op == ">=") return major >= wanted;
    if (op == ">") return major > wanted;
    if (op == "<=") return major <= wanted;
    if (op == "<") return major < wanted;
    return major == wanted;
}

}  // namespace vesk::nodeapps

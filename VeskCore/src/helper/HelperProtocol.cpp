#include "vesk/helper/HelperProtocol.hpp"

#include <array>

namespace vesk::HelperInterface {

namespace {

using K = ParameterKind;
constexpr std::array<Parameter, 1> kBundle{{{"bundleResourcesPath", K::text}}};
constexpr std::array<Parameter, 2> kResolver{{{"tld", K::text}, {"ip", K::text}}};
constexpr std::array<Parameter, 1> kTld{{{"tld", K::text}}};
constexpr std::array<Parameter, 1> kConfig{{{"configPath", K::text}}};
constexpr std::array<Parameter, 2> kPhpStart{{{"version", K::text}, {"configPath", K::text}}};
constexpr std::array<Parameter, 1> kVersion{{{"version", K::text}}};
constexpr std::array<Parameter, 2> kDaemon{{{"label", K::text}, {"plistContent", K::document}}};
constexpr std::array<Parameter, 1> kLabel{{{"label", K::text}}};
constexpr std::array<Parameter, 3> kWrite{
    {{"path", K::text}, {"content", K::bytes}, {"permissions", K::permissions}}};
constexpr std::array<Parameter, 1> kPath{{{"path", K::text}}};
constexpr std::array<Parameter, 2> kMkdir{{{"path", K::text}, {"permissions", K::permissions}}};

// One line per operation for the interface description: what it does and
// what it replies.
std::string_view summary(HelperOperation op) {
    using O = HelperOperation;
    switch (op) {
        case O::installEnvironment:
            return "Creates /usr/local/vesk, copies nginx, dnsmasq and vesk from the bundle, "
                   "writes "
                   "the test resolver and version; replies success or the failure.";
        case O::getInstalledVersion:
            return "Reads the installed environment's version; replies it, or nothing when none is "
                   "installed.";
        case O::writeResolver:
            return "Writes /etc/resolver/<tld> naming ip on port 53; replies success or the "
                   "failure.";
        case O::removeResolver:
            return "Removes /etc/resolver/<tld> if it exists; replies success or the failure.";
        case O::startNginx:
            return "Runs nginx with the configuration; replies success or its exit status.";
        case O::stopNginx:
            return "Stops nginx through its own signal option; replies success or its exit status.";
        case O::reloadNginx:
            return "Reloads nginx through its own signal option; replies success or its exit "
                   "status.";
        case O::startDnsmasq:
            return "Stops a previous dnsmasq and runs it with the configuration; replies success "
                   "or "
                   "its exit status.";
        case O::stopDnsmasq:
            return "Stops dnsmasq by its pid file, else by name; always replies success, with a "
                   "note "
                   "when none ran.";
        case O::startPHPFPM:
            return "Runs the PHP-FPM of the version with the configuration; replies success or the "
                   "failure.";
        case O::stopPHPFPM:
            return "Stops the PHP-FPM of the version by its pid file; replies success or that "
                   "there "
                   "is no pid file.";
        case O::installDaemon:
            return "Writes the launch daemon's property list and loads it; replies success or the "
                   "failure.";
        case O::removeDaemon:
            return "Unloads the launch daemon and removes its property list; replies success or "
                   "the "
                   "failure.";
        case O::writeFile:
            return "Writes the bytes to an allow-listed file with the permissions; replies success "
                   "or the failure.";
        case O::removeFile:
            return "Removes an allow-listed file or directory if it exists; replies success or the "
                   "failure.";
        case O::createDirectory:
            return "Creates an allow-listed directory and its parents; replies success or the "
                   "failure.";
        case O::installCLI:
            return "Copies the vesk tool from the bundle and links /usr/local/bin/vesk to it; "
                   "replies success or the failure.";
        case O::removeCLI:
            return "Removes /usr/local/bin/vesk and the environment's copy; replies success or the "
                   "failure.";
        case O::uninstallHelper:
            return "Replies success, then ends the helper half a second later.";
    }
    return {};
}

// Texts and Base64 bytes are strings; permissions are an int from 0 to 65535.
std::string_view idlType(ParameterKind kind) {
    return kind == K::permissions ? "int" : "string";
}

}  // namespace

std::span<const Parameter> parameters(HelperOperation op) {
    using O = HelperOperation;
    switch (op) {
        case O::installEnvironment:
        case O::installCLI:
            return kBundle;
        case O::writeResolver:
            return kResolver;
        case O::removeResolver:
            return kTld;
        case O::startNginx:
        case O::startDnsmasq:
            return kConfig;
        case O::startPHPFPM:
            return kPhpStart;
        case O::stopPHPFPM:
            return kVersion;
        case O::installDaemon:
            return kDaemon;
        case O::removeDaemon:
            return kLabel;
        case O::writeFile:
            return kWrite;
        case O::removeFile:
            return kPath;
        case O::createDirectory:
            return kMkdir;
        case O::getInstalledVersion:
        case O::stopNginx:
        case O::reloadNginx:
        case O::stopDnsmasq:
        case O::removeCLI:
        case O::uninstallHelper:
            return {};
    }
    return {};
}

bool hasVersionReply(HelperOperation op) {
    return op == HelperOperation::getInstalledVersion;
}

const std::string& description() {
    static const std::string idl = [] {
        std::string s =
            "# The privileged helper of Vesk. Status replies carry success and, on\n"
            "# failure, a message; content is standard Base64; permissions are POSIX\n"
            "# mode bits from 0 to 65535.\n"
            "interface com.vesk.helper\n";
        for (HelperOperation op : allCases<HelperOperation>()) {
            s += "\n# ";
            s += summary(op);
            s += "\nmethod ";
            s += rawValue(op);
            s += "(";
            bool first = true;
            for (const Parameter& p : parameters(op)) {
                if (!first) s += ", ";
                first = false;
                s += p.name;
                s += ": ";
                s += idlType(p.kind);
            }
            s += hasVersionReply(op) ? ") -> (version: ?string)\n"
                                     : ") -> (success: bool, message: ?string)\n";
        }
        return s;
    }();
    return idl;
}

}  // namespace vesk::HelperInterface

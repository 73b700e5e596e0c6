#include "vesk/HelperProtocol.hpp"

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
constexpr std::array<Parameter, 2> kDaemon{{{"label", K::text}, {"plistContent", K::text}}};
constexpr std::array<Parameter, 1> kLabel{{{"label", K::text}}};
constexpr std::array<Parameter, 3> kWrite{
    {{"path", K::text}, {"content", K::bytes}, {"permissions", K::permissions}}};
constexpr std::array<Parameter, 1> kPath{{{"path", K::text}}};
constexpr std::array<Parameter, 2> kMkdir{{{"path", K::text}, {"permissions", K::permissions}}};

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

// The contract between the unprivileged parts of Vesk and the root helper:
// nineteen operations, each answered exactly once through its reply callback.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

/// A status reply: (true, absent) on success, (false, message) on failure.
using StatusReply = std::function<void(bool success, std::optional<std::string> message)>;
/// A value reply: the installed version, or absent.
using VersionReply = std::function<void(std::optional<std::string> version)>;

class HelperProtocol {
  public:
    virtual ~HelperProtocol() = default;

    virtual void installEnvironment(const std::string& bundleResourcesPath, StatusReply reply) = 0;
    virtual void getInstalledVersion(VersionReply reply) = 0;
    virtual void writeResolver(const std::string& tld, const std::string& ip,
                               StatusReply reply) = 0;
    virtual void removeResolver(const std::string& tld, StatusReply reply) = 0;
    virtual void startNginx(const std::string& configPath, StatusReply reply) = 0;
    virtual void stopNginx(StatusReply reply) = 0;
    virtual void reloadNginx(StatusReply reply) = 0;
    virtual void startDnsmasq(const std::string& configPath, StatusReply reply) = 0;
    virtual void stopDnsmasq(StatusReply reply) = 0;
    virtual void startPHPFPM(const std::string& version, const std::string& configPath,
                             StatusReply reply) = 0;
    virtual void stopPHPFPM(const std::string& version, StatusReply reply) = 0;
    virtual void installDaemon(const std::string& label, const std::string& plistContent,
                               StatusReply reply) = 0;
    virtual void removeDaemon(const std::string& label, StatusReply reply) = 0;
    virtual void writeFile(const std::string& path, const std::vector<std::uint8_t>& content,
                           std::uint16_t permissions, StatusReply reply) = 0;
    virtual void removeFile(const std::string& path, StatusReply reply) = 0;
    virtual void createDirectory(const std::string& path, std::uint16_t permissions,
                                 StatusReply reply) = 0;
    virtual void installCLI(const std::string& bundleResourcesPath, StatusReply reply) = 0;
    virtual void removeCLI(StatusReply reply) = 0;
    virtual void uninstallHelper(StatusReply reply) = 0;
};

/// The operations in declaration order; the raw value is the method name on the
/// helper's socket (interface "com.vesk.helper"), from the operation table.
enum class HelperOperation {
    installEnvironment,
    getInstalledVersion,
    writeResolver,
    removeResolver,
    startNginx,
    stopNginx,
    reloadNginx,
    startDnsmasq,
    stopDnsmasq,
    startPHPFPM,
    stopPHPFPM,
    installDaemon,
    removeDaemon,
    writeFile,
    removeFile,
    createDirectory,
    installCLI,
    removeCLI,
    uninstallHelper,
};

}  // namespace vesk

namespace vesk::HelperInterface {

inline constexpr std::string_view name = "com.vesk.helper";

/// Kinds of parameter: a text that names something (a path, a label, a
/// version: at most kMaxNameLength bytes), a text document, Base64 bytes, or
/// a POSIX mode 0-65535.
enum class ParameterKind { text, document, bytes, permissions };

/// Longest name text a call may carry (the longest path the system takes).
inline constexpr std::size_t kMaxNameLength = 4096;

struct Parameter {
    std::string_view name;
    ParameterKind kind;
};

/// An argument as read off the connection: a text (a name or a document),
/// bytes, or a mode; an operation's arguments come in its parameters' order.
using Argument = std::variant<std::string, std::vector<std::uint8_t>, std::uint16_t>;
using Arguments = std::vector<Argument>;

/// Where an operation's one answer goes.
struct Replies {
    StatusReply status;
    VersionReply version;
};

/// One row per operation: its method name, parameters, reply, a line for
/// the interface description, and the call that serves it. The client, the
/// helper's dispatch and the interface description all read this table:
/// adding an operation is one row here and one function of HelperProtocol.
struct Operation {
    HelperOperation operation;
    std::string_view name;
    std::span<const Parameter> parameters;
    bool versionReply;
    std::string_view summary;
    void (*serve)(HelperProtocol& service, const Arguments& arguments, const Replies& replies);
};

namespace detail {

using K = ParameterKind;
inline constexpr std::array<Parameter, 1> kBundle{{{"bundleResourcesPath", K::text}}};
inline constexpr std::array<Parameter, 2> kResolver{{{"tld", K::text}, {"ip", K::text}}};
inline constexpr std::array<Parameter, 1> kTld{{{"tld", K::text}}};
inline constexpr std::array<Parameter, 1> kConfig{{{"configPath", K::text}}};
inline constexpr std::array<Parameter, 2> kPhpStart{
    {{"version", K::text}, {"configPath", K::text}}};
inline constexpr std::array<Parameter, 1> kVersion{{{"version", K::text}}};
inline constexpr std::array<Parameter, 2> kDaemon{
    {{"label", K::text}, {"plistContent", K::document}}};
inline constexpr std::array<Parameter, 1> kLabel{{{"label", K::text}}};
inline constexpr std::array<Parameter, 3> kWrite{
    {{"path", K::text}, {"content", K::bytes}, {"permissions", K::permissions}}};
inline constexpr std::array<Parameter, 1> kPath{{{"path", K::text}}};
inline constexpr std::array<Parameter, 2> kMkdir{
    {{"path", K::text}, {"permissions", K::permissions}}};

inline const std::string& text(const Arguments& a, std::size_t i) {
    return std::get<std::string>(a[i]);
}
inline std::uint16_t mode(const Arguments& a, std::size_t i) {
    return std::get<std::uint16_t>(a[i]);
}
inline const std::vector<std::uint8_t>& bytes(const Arguments& a, std::size_t i) {
    return std::get<std::vector<std::uint8_t>>(a[i]);
}

}  // namespace detail

using O = HelperOperation;
// clang-format off
inline constexpr std::array<Operation, 19> kOperations{{
    {O::installEnvironment, "InstallEnvironment", detail::kBundle, false,
     "Creates /usr/local/vesk, copies nginx, dnsmasq and vesk from the bundle, writes the test "
     "resolver and version; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.installEnvironment(detail::text(a, 0), r.status);
     }},
    {O::getInstalledVersion, "GetInstalledVersion", {}, true,
     "Reads the installed environment's version; replies it, or nothing when none is installed.",
     [](HelperProtocol& s, const Arguments&, const Replies& r) { s.getInstalledVersion(r.version); }},
    {O::writeResolver, "WriteResolver", detail::kResolver, false,
     "Writes /etc/resolver/<tld> naming ip on port 53; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.writeResolver(detail::text(a, 0), detail::text(a, 1), r.status);
     }},
    {O::removeResolver, "RemoveResolver", detail::kTld, false,
     "Removes /etc/resolver/<tld> if it exists; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.removeResolver(detail::text(a, 0), r.status);
     }},
    {O::startNginx, "StartNginx", detail::kConfig, false,
     "Runs nginx with the configuration; replies success or its exit status.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.startNginx(detail::text(a, 0), r.status);
     }},
    {O::stopNginx, "StopNginx", {}, false,
     "Stops nginx through its own signal option; replies success or its exit status.",
     [](HelperProtocol& s, const Arguments&, const Replies& r) { s.stopNginx(r.status); }},
    {O::reloadNginx, "ReloadNginx", {}, false,
     "Reloads nginx through its own signal option; replies success or its exit status.",
     [](HelperProtocol& s, const Arguments&, const Replies& r) { s.reloadNginx(r.status); }},
    {O::startDnsmasq, "StartDnsmasq", detail::kConfig, false,
     "Stops a previous dnsmasq and runs it with the configuration; replies success or its exit "
     "status.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.startDnsmasq(detail::text(a, 0), r.status);
     }},
    {O::stopDnsmasq, "StopDnsmasq", {}, false,
     "Stops dnsmasq by its pid file, else by name; always replies success, with a note when none "
     "ran.",
     [](HelperProtocol& s, const Arguments&, const Replies& r) { s.stopDnsmasq(r.status); }},
    {O::startPHPFPM, "StartPHPFPM", detail::kPhpStart, false,
     "Runs the PHP-FPM of the version with the configuration; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.startPHPFPM(detail::text(a, 0), detail::text(a, 1), r.status);
     }},
    {O::stopPHPFPM, "StopPHPFPM", detail::kVersion, false,
     "Stops the PHP-FPM of the version by its pid file; replies success or that there is no pid "
     "file.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.stopPHPFPM(detail::text(a, 0), r.status);
     }},
    {O::installDaemon, "InstallDaemon", detail::kDaemon, false,
     "Writes the launch daemon's property list and loads it; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.installDaemon(detail::text(a, 0), detail::text(a, 1), r.status);
     }},
    {O::removeDaemon, "RemoveDaemon", detail::kLabel, false,
     "Unloads the launch daemon and removes its property list; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.removeDaemon(detail::text(a, 0), r.status);
     }},
    {O::writeFile, "WriteFile", detail::kWrite, false,
     "Writes the bytes to an allow-listed file with the permissions; replies success or the "
     "failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.writeFile(detail::text(a, 0), detail::bytes(a, 1), detail::mode(a, 2), r.status);
     }},
    {O::removeFile, "RemoveFile", detail::kPath, false,
     "Removes an allow-listed file or directory if it exists; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.removeFile(detail::text(a, 0), r.status);
     }},
    {O::createDirectory, "CreateDirectory", detail::kMkdir, false,
     "Creates an allow-listed directory and its parents; replies success or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.createDirectory(detail::text(a, 0), detail::mode(a, 1), r.status);
     }},
    {O::installCLI, "InstallCLI", detail::kBundle, false,
     "Copies the vesk tool from the bundle and links /usr/local/bin/vesk to it; replies success "
     "or the failure.",
     [](HelperProtocol& s, const Arguments& a, const Replies& r) {
         s.installCLI(detail::text(a, 0), r.status);
     }},
    {O::removeCLI, "RemoveCLI", {}, false,
     "Removes /usr/local/bin/vesk and the environment's copy; replies success or the failure.",
     [](HelperProtocol& s, const Arguments&, const Replies& r) { s.removeCLI(r.status); }},
    {O::uninstallHelper, "UninstallHelper", {}, false,
     "Replies success, then ends the helper half a second later.",
     [](HelperProtocol& s, const Arguments&, const Replies& r) { s.uninstallHelper(r.status); }},
}};
// clang-format on

/// The row of an operation.
constexpr const Operation& operation(HelperOperation op) {
    return kOperations[static_cast<std::size_t>(op)];
}
/// The row whose method name is `name`; none for any other name.
const Operation* find(std::string_view name);

/// The parameters of an operation, in order.
inline std::span<const Parameter> parameters(HelperOperation op) {
    return operation(op).parameters;
}

/// True for the one operation with a value reply (getInstalledVersion).
inline bool hasVersionReply(HelperOperation op) {
    return operation(op).versionReply;
}

/// The interface in the varlink interface-definition language.
const std::string& description();

}  // namespace vesk::HelperInterface

namespace vesk {

namespace detail {
constexpr std::array<RawCase<HelperOperation>, HelperInterface::kOperations.size()>
helperOperationCases() {
    std::array<RawCase<HelperOperation>, HelperInterface::kOperations.size()> cases{};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i] = {HelperInterface::kOperations[i].operation,
                    HelperInterface::kOperations[i].name};
    }
    return cases;
}
}  // namespace detail

/// The operations' raw values are the table's method names.
template <>
struct RawEnumTraits<HelperOperation> {
    static constexpr auto cases = detail::helperOperationCases();
};

}  // namespace vesk

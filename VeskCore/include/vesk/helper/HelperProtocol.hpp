// The contract between the unprivileged parts of Vesk and the root helper:
// nineteen operations, each answered exactly once through its reply callback.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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
/// helper's socket (interface "com.vesk.helper").
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

VESK_RAW_ENUM(vesk::HelperOperation,
              {vesk::HelperOperation::installEnvironment, "InstallEnvironment"},
              {vesk::HelperOperation::getInstalledVersion, "GetInstalledVersion"},
              {vesk::HelperOperation::writeResolver, "WriteResolver"},
              {vesk::HelperOperation::removeResolver, "RemoveResolver"},
              {vesk::HelperOperation::startNginx, "StartNginx"},
              {vesk::HelperOperation::stopNginx, "StopNginx"},
              {vesk::HelperOperation::reloadNginx, "ReloadNginx"},
              {vesk::HelperOperation::startDnsmasq, "StartDnsmasq"},
              {vesk::HelperOperation::stopDnsmasq, "StopDnsmasq"},
              {vesk::HelperOperation::startPHPFPM, "StartPHPFPM"},
              {vesk::HelperOperation::stopPHPFPM, "StopPHPFPM"},
              {vesk::HelperOperation::installDaemon, "InstallDaemon"},
              {vesk::HelperOperation::removeDaemon, "RemoveDaemon"},
              {vesk::HelperOperation::writeFile, "WriteFile"},
              {vesk::HelperOperation::removeFile, "RemoveFile"},
              {vesk::HelperOperation::createDirectory, "CreateDirectory"},
              {vesk::HelperOperation::installCLI, "InstallCLI"},
              {vesk::HelperOperation::removeCLI, "RemoveCLI"},
              {vesk::HelperOperation::uninstallHelper, "UninstallHelper"});

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

/// The parameters of an operation, in order.
std::span<const Parameter> parameters(HelperOperation operation);

/// True for the one operation with a value reply (getInstalledVersion).
bool hasVersionReply(HelperOperation operation);

/// The interface in the varlink interface-definition language.
const std::string& description();

}  // namespace vesk::HelperInterface

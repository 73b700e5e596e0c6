// A client of the helper: connects to its socket and calls the operations.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vesk/helper/HelperProtocol.hpp"

namespace vesk {

/// A status reply as received.
struct HelperStatus {
    bool success = false;
    std::optional<std::string> message;
    friend bool operator==(const HelperStatus&, const HelperStatus&) = default;
};

/// One connection to the helper. Calls are synchronous: each sends its
/// request and waits for its reply. Failures of the transport throw
/// std::runtime_error (the helper refused or dropped the connection).
class HelperClient final : public HelperProtocol {
  public:
    static constexpr std::string_view defaultSocketPath = "/run/vesk/com.vesk.helper";

    explicit HelperClient(const std::string& socketPath = std::string(defaultSocketPath));
    ~HelperClient() override;
    HelperClient(const HelperClient&) = delete;
    HelperClient& operator=(const HelperClient&) = delete;

    /// Sends one raw message (NUL added) and returns the raw reply (NUL removed).
    std::string exchange(std::string_view message);
    /// Sends raw bytes without waiting for anything.
    void sendRaw(std::string_view bytes);
    /// Reads one raw reply; none when the helper closed the connection.
    std::optional<std::string> receive();

    /// Calls any method with a JSON object of parameters; returns the raw reply.
    std::string call(std::string_view method, std::string_view parametersJSON = "{}");

    /// Calls an operation whose arguments are all texts (none, one or two).
    HelperStatus status(HelperOperation operation, const std::vector<std::string>& texts);
    std::optional<std::string> installedVersion();

    [[nodiscard]] int fd() const noexcept { return fd_; }

    // HelperProtocol
    void installEnvironment(const std::string& bundleResourcesPath, StatusReply reply) override;
    void getInstalledVersion(VersionReply reply) override;
    void writeResolver(const std::string& tld, const std::string& ip, StatusReply reply) override;
    void removeResolver(const std::string& tld, StatusReply reply) override;
    void startNginx(const std::string& configPath, StatusReply reply) override;
    void stopNginx(StatusReply reply) override;
    void reloadNginx(StatusReply reply) override;
    void startDnsmasq(const std::string& configPath, StatusReply reply) override;
    void stopDnsmasq(StatusReply reply) override;
    void startPHPFPM(const std::string& version, const std::string& configPath,
                     StatusReply reply) override;
    void stopPHPFPM(const std::string& version, StatusReply reply) override;
    void installDaemon(const std::string& label, const std::string& plistContent,
                       StatusReply reply) override;
    void removeDaemon(const std::string& label, StatusReply reply) override;
    void writeFile(const std::string& path, const std::vector<std::uint8_t>& content,
                   std::uint16_t permissions, StatusReply reply) override;
    void removeFile(const std::string& path, StatusReply reply) override;
    void createDirectory(const std::string& path, std::uint16_t permissions,
                         StatusReply reply) override;
    void installCLI(const std::string& bundleResourcesPath, StatusReply reply) override;
    void removeCLI(StatusReply reply) override;
    void uninstallHelper(StatusReply reply) override;

  private:
    /// An argument of an operation: text, bytes or a POSIX mode.
    using Argument = HelperInterface::Argument;
    static std::string parametersJSON(HelperOperation operation,
                                      std::initializer_list<Argument> arguments);
    HelperStatus statusCall(HelperOperation operation, std::initializer_list<Argument> arguments);
    int fd_ = -1;
    std::string pending_;
};

/// Parses a status reply ({"parameters":{"success":...}}); throws on an error reply.
HelperStatus parseStatusReply(std::string_view reply);

}  // namespace vesk

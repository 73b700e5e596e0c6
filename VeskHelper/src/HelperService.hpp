// The object that answers one accepted connection.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vesk/helper/HelperProtocol.hpp"
#include "vesk/system/EnvironmentLayout.hpp"

namespace vesk::helper {

/// What the service knows of its caller, for checks made on the caller's behalf.
struct Caller {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

class HelperService final : public HelperProtocol {
  public:
    /// `scheduleExit` ends the process half a second after it is called
    /// (uninstallHelper); the reply has been handed over by then.
    HelperService(const EnvironmentLayout& layout, Caller caller,
                  std::function<void()> scheduleExit);

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
    /// The first dnsmasq candidate at which a file exists.
    [[nodiscard]] std::optional<std::string> dnsmasqExecutable() const;
    /// The pid in a pid file when it names a running process of `executable`.
    /// The number in a pid file, as the Parts parse it.
    [[nodiscard]] std::optional<long> pidFromFile(const std::string& pidFile) const;
    /// True when `pid` may be signalled as a process of `program`.
    /// Sends `signal` to every process running `program` (by runsProgram's
    /// rule); how many were signalled.
    std::size_t signalProcessesOf(const std::string& program, int signal) const;
    void routeThroughResolved() const;
    [[nodiscard]] bool runsProgram(long pid, const std::optional<std::string>& program) const;
    /// Opens a program of the bundle as the caller could; none when it is not there.
    [[nodiscard]] std::optional<int> openSource(const std::string& path) const;
    void replaceCLILink() const;

    const EnvironmentLayout& layout_;
    Caller caller_;
    std::function<void()> scheduleExit_;
};

}  // namespace vesk::helper

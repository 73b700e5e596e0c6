// A helper service that answers every operation at once (and misbehaves in
// the ways a broken operation might), for driving the message handler alone.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "vesk/helper/HelperProtocol.hpp"

namespace vesk::test {

/// Answers every operation, and throws from one, as a broken operation might.
class StubService final : public vesk::HelperProtocol {
  public:
    void installEnvironment(const std::string&, vesk::StatusReply r) override { r(true, {}); }
    void getInstalledVersion(vesk::VersionReply r) override { r(std::string("1.0.0")); }
    void writeResolver(const std::string&, const std::string&, vesk::StatusReply r) override {
        r(true, {});
    }
    void removeResolver(const std::string&, vesk::StatusReply) override {
        throw std::runtime_error("boom");
    }
    void startNginx(const std::string&, vesk::StatusReply) override {}  // never replies
    void stopNginx(vesk::StatusReply r) override {
        r(false, std::string("first"));
        r(true, {});  // a second reply is ignored
    }
    void reloadNginx(vesk::StatusReply r) override { r(true, {}); }
    void startDnsmasq(const std::string&, vesk::StatusReply r) override { r(true, {}); }
    void stopDnsmasq(vesk::StatusReply r) override {
        r(true, std::string("No dnsmasq process found"));
    }
    void startPHPFPM(const std::string&, const std::string&, vesk::StatusReply r) override {
        r(true, {});
    }
    void stopPHPFPM(const std::string&, vesk::StatusReply r) override { r(true, {}); }
    void installDaemon(const std::string&, const std::string&, vesk::StatusReply r) override {
        r(true, {});
    }
    void removeDaemon(const std::string&, vesk::StatusReply r) override { r(true, {}); }
    void writeFile(const std::string&, const std::vector<std::uint8_t>& c, std::uint16_t mode,
                   vesk::StatusReply r) override {
        r(true, std::string(c.begin(), c.end()) + ":" + std::to_string(mode));
    }
    void removeFile(const std::string&, vesk::StatusReply r) override { r(true, {}); }
    void createDirectory(const std::string&, std::uint16_t, vesk::StatusReply r) override {
        r(true, {});
    }
    void installCLI(const std::string&, vesk::StatusReply r) override { r(true, {}); }
    void removeCLI(vesk::StatusReply r) override { r(true, {}); }
    void uninstallHelper(vesk::StatusReply r) override { r(true, {}); }
};

}  // namespace vesk::test

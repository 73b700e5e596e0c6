#include "HelperService.hpp"

#include <fstream>
#include <sstream>

#include "HelperTools.hpp"
#include "vesk/Unicode.hpp"

namespace vesk::helper {

namespace {
void notImplemented(const StatusReply& reply) { reply(false, std::string("not implemented")); }
}  // namespace

HelperService::HelperService(const Layout& layout, Caller caller,
                             std::function<void()> scheduleExit)
    : layout_(layout), caller_(caller), scheduleExit_(std::move(scheduleExit)) {}

void HelperService::getInstalledVersion(VersionReply reply) {
    std::ifstream in(layout_.versionFile, std::ios::binary);
    if (!in) {
        reply(std::nullopt);
        return;
    }
    const std::string s{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad() || !Unicode::isValidUTF8(s)) {
        reply(std::nullopt);
        return;
    }
    reply(std::string(Unicode::trimmed(s)));
}

void HelperService::installEnvironment(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::writeResolver(const std::string&, const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::removeResolver(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::startNginx(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::stopNginx(StatusReply reply) { notImplemented(reply); }
void HelperService::reloadNginx(StatusReply reply) { notImplemented(reply); }
void HelperService::startDnsmasq(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::stopDnsmasq(StatusReply reply) { notImplemented(reply); }
void HelperService::startPHPFPM(const std::string&, const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::stopPHPFPM(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::installDaemon(const std::string&, const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::removeDaemon(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::writeFile(const std::string&, const std::vector<std::uint8_t>&, std::uint16_t, StatusReply reply) { notImplemented(reply); }
void HelperService::removeFile(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::createDirectory(const std::string&, std::uint16_t, StatusReply reply) { notImplemented(reply); }
void HelperService::installCLI(const std::string&, StatusReply reply) { notImplemented(reply); }
void HelperService::removeCLI(StatusReply reply) { notImplemented(reply); }
void HelperService::uninstallHelper(StatusReply reply) { notImplemented(reply); }

}  // namespace vesk::helper

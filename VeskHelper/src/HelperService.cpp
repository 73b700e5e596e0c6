#include "HelperService.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "HelperTools.hpp"
#include "vesk/Unicode.hpp"

namespace vesk::helper {

namespace {

// The whole content of a regular file, read without following a final link.
std::optional<std::string> readTextFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= (1 << 20)) {
        std::string s;
        char buf[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
        if (n == 0) out = std::move(s);
    }
    ::close(fd);
    return out;
}

void notImplemented(const StatusReply& reply) { reply(false, std::string("not implemented")); }
}  // namespace

HelperService::HelperService(const Layout& layout, Caller caller,
                             std::function<void()> scheduleExit)
    : layout_(layout), caller_(caller), scheduleExit_(std::move(scheduleExit)) {}

void HelperService::getInstalledVersion(VersionReply reply) {
    const auto text = readTextFile(layout_.versionFile);
    if (!text || !Unicode::isValidUTF8(*text)) {
        reply(std::nullopt);
        return;
    }
    reply(std::string(Unicode::trimmed(*text)));
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

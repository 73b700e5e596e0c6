#include "HelperClient.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <variant>

#include "vesk/foundation/Data.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

namespace {

std::string methodName(HelperOperation op) {
    return std::string(HelperInterface::name) + "." + std::string(rawValue(op));
}

void deliver(const HelperStatus& s, const StatusReply& reply) {
    reply(s.success, s.message);
}

}  // namespace

// The parameters object of an operation: its arguments in order, named and
// typed by the operation table the helper reads them with.
std::string HelperClient::parametersJSON(HelperOperation op, std::initializer_list<Argument> args) {
    const auto params = HelperInterface::parameters(op);
    if (params.size() != args.size()) throw std::invalid_argument("wrong number of arguments");
    JsonWriter writer;
    JsonOut out(writer);
    out.beginObject();
    auto arg = args.begin();
    for (const auto& p : params) {
        out.key(p.name);
        switch (p.kind) {
            case HelperInterface::ParameterKind::text:
            case HelperInterface::ParameterKind::document:
                out.string(std::get<std::string>(*arg));
                break;
            case HelperInterface::ParameterKind::bytes:
                out.string(Data{std::get<std::vector<std::uint8_t>>(*arg)}.base64());
                break;
            case HelperInterface::ParameterKind::permissions:
                out.unsignedInteger(std::get<std::uint16_t>(*arg));
                break;
        }
        ++arg;
    }
    out.endObject();
    return writer.take();
}

HelperStatus parseStatusReply(std::string_view reply) {
    const JsonDocument doc = JsonDocument::parse(reply);
    const JsonIn root = doc.root();
    if (auto error = root.find("error")) {
        throw std::runtime_error("helper error " + error->string());
    }
    const JsonIn params = root.require("parameters");
    HelperStatus s;
    s.success = params.require("success").boolean();
    if (auto m = params.find("message"); m && !m->isNull()) s.message = m->string();
    return s;
}

HelperClient::HelperClient(const std::string& socketPath) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::strerror(errno));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("cannot connect to " + socketPath + ": " + std::strerror(e));
    }
}

HelperClient::~HelperClient() {
    if (fd_ >= 0) ::close(fd_);
}

void HelperClient::sendRaw(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the helper closed the connection");
        done += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> HelperClient::receive() {
    for (;;) {
        if (const auto end = pending_.find('\0'); end != std::string::npos) {
            std::string reply = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return reply;
        }
        char buf[16384];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

std::string HelperClient::exchange(std::string_view message) {
    std::string framed(message);
    framed.push_back('\0');
    sendRaw(framed);
    auto reply = receive();
    if (!reply) throw std::runtime_error("the helper closed the connection");
    return *reply;
}

std::string HelperClient::call(std::string_view method, std::string_view parametersJSON) {
    std::string msg = R"({"method":")";
    msg += method;
    msg += R"(","parameters":)";
    msg += parametersJSON;
    msg += "}";
    return exchange(msg);
}

HelperStatus HelperClient::statusCall(HelperOperation op, std::initializer_list<Argument> args) {
    return parseStatusReply(call(methodName(op), parametersJSON(op, args)));
}

HelperStatus HelperClient::status(HelperOperation op, const std::vector<std::string>& texts) {
    switch (texts.size()) {
        case 0:
            return statusCall(op, {});
        case 1:
            return statusCall(op, {texts[0]});
        case 2:
            return statusCall(op, {texts[0], texts[1]});
        default:
            throw std::invalid_argument("at most two text arguments");
    }
}

std::optional<std::string> HelperClient::installedVersion() {
    const JsonDocument doc =
        JsonDocument::parse(call(methodName(HelperOperation::getInstalledVersion)));
    const JsonIn root = doc.root();
    if (auto error = root.find("error"))
        throw std::runtime_error("helper error " + error->string());
    if (auto v = root.require("parameters").find("version"); v && !v->isNull()) return v->string();
    return std::nullopt;
}

void HelperClient::installEnvironment(const std::string& path, StatusReply reply) {
    deliver(statusCall(HelperOperation::installEnvironment, {path}), reply);
}
void HelperClient::getInstalledVersion(VersionReply reply) {
    reply(installedVersion());
}
void HelperClient::writeResolver(const std::string& tld, const std::string& ip, StatusReply reply) {
    deliver(statusCall(HelperOperation::writeResolver, {tld, ip}), reply);
}
void HelperClient::removeResolver(const std::string& tld, StatusReply reply) {
    deliver(statusCall(HelperOperation::removeResolver, {tld}), reply);
}
void HelperClient::startNginx(const std::string& configPath, StatusReply reply) {
    deliver(statusCall(HelperOperation::startNginx, {configPath}), reply);
}
void HelperClient::stopNginx(StatusReply reply) {
    deliver(statusCall(HelperOperation::stopNginx, {}), reply);
}
void HelperClient::reloadNginx(StatusReply reply) {
    deliver(statusCall(HelperOperation::reloadNginx, {}), reply);
}
void HelperClient::startDnsmasq(const std::string& configPath, StatusReply reply) {
    deliver(statusCall(HelperOperation::startDnsmasq, {configPath}), reply);
}
void HelperClient::stopDnsmasq(StatusReply reply) {
    deliver(statusCall(HelperOperation::stopDnsmasq, {}), reply);
}
void HelperClient::startPHPFPM(const std::string& version, const std::string& configPath,
                               StatusReply reply) {
    deliver(statusCall(HelperOperation::startPHPFPM, {version, configPath}), reply);
}
void HelperClient::stopPHPFPM(const std::string& version, StatusReply reply) {
    deliver(statusCall(HelperOperation::stopPHPFPM, {version}), reply);
}
void HelperClient::installDaemon(const std::string& label, const std::string& plist,
                                 StatusReply reply) {
    deliver(statusCall(HelperOperation::installDaemon, {label, plist}), reply);
}
void HelperClient::removeDaemon(const std::string& label, StatusReply reply) {
    deliver(statusCall(HelperOperation::removeDaemon, {label}), reply);
}
void HelperClient::writeFile(const std::string& path, const std::vector<std::uint8_t>& content,
                             std::uint16_t permissions, StatusReply reply) {
    deliver(statusCall(HelperOperation::writeFile, {path, content, permissions}), reply);
}
void HelperClient::removeFile(const std::string& path, StatusReply reply) {
    deliver(statusCall(HelperOperation::removeFile, {path}), reply);
}
void HelperClient::createDirectory(const std::string& path, std::uint16_t permissions,
                                   StatusReply reply) {
    deliver(statusCall(HelperOperation::createDirectory, {path, permissions}), reply);
}
void HelperClient::installCLI(const std::string& path, StatusReply reply) {
    deliver(statusCall(HelperOperation::installCLI, {path}), reply);
}
void HelperClient::removeCLI(StatusReply reply) {
    deliver(statusCall(HelperOperation::removeCLI, {}), reply);
}
void HelperClient::uninstallHelper(StatusReply reply) {
    deliver(statusCall(HelperOperation::uninstallHelper, {}), reply);
}

}  // namespace vesk

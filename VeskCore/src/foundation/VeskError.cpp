#include "vesk/foundation/VeskError.hpp"

namespace vesk {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string describe(const VeskError::Case& value) {
    using E = VeskError;
    const auto name = [](ServiceType t) { return std::string(displayName(t)); };
    return std::visit(
        Overloaded{
            [](const E::SiteNotFound& e) { return "Site not found: " + e.site; },
            [](const E::SiteAlreadyExists& e) { return "Site already exists: " + e.site; },
            [](const E::PhpVersionNotInstalled& e) {
                return "PHP " + e.version + " is not installed";
            },
            [&](const E::ServiceNotRunning& e) { return name(e.type) + " is not running"; },
            [&](const E::ServiceFailed& e) { return name(e.type) + " failed: " + e.message; },
            [](const E::PortInUse& e) {
                return "Port " + std::to_string(e.port) + " is already in use";
            },
            [](const E::PortConflict& e) {
                const std::string pid = std::to_string(e.pid);
                return "Port " + std::to_string(e.port) + " is in use by " + e.processName +
                       " (pid " + pid + "). Stop it first or run: sudo kill " + pid;
            },
            [](const E::InvalidPort& e) {
                return "Invalid port number: " + std::to_string(e.port) +
                       ". Must be between 1 and 65535";
            },
            [](const E::ServiceNameConflict& e) {
                return "A service named '" + e.name + "' already exists";
            },
            [](const E::ConfigNotFound& e) { return "Configuration not found: " + e.detail; },
            [](const E::ConfigInvalid& e) { return "Invalid configuration: " + e.detail; },
            [](const E::PermissionDenied& e) { return "Permission denied: " + e.detail; },
            [](const E::ProcessExecutionFailed& e) {
                return "Process execution failed: " + e.detail;
            },
            [](const E::SslGenerationFailed& e) {
                return "SSL certificate generation failed: " + e.detail;
            },
            [](const E::NginxConfigFailed& e) { return "Nginx configuration failed: " + e.detail; },
            [](const E::HelperRegistrationFailed& e) {
                return "Failed to register helper: " + e.detail;
            },
            [](const E::InstallFailed& e) { return "Installation failed: " + e.detail; },
            [](const E::OperationFailed& e) { return "Operation failed: " + e.detail; },
            [](const E::HelperNotConnected&) {
                return std::string("Privileged helper is not connected. Please reinstall Vesk.");
            },
        },
        value);
}

}  // namespace

VeskError::VeskError(Case value) : value_(std::move(value)), description_(describe(value_)) {}

}  // namespace vesk

// The library's one error type: nineteen cases with English descriptions.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

#include "vesk/foundation/ServiceType.hpp"

namespace vesk {

class VeskError : public std::exception {
  public:
    struct SiteNotFound {
        std::string site;
        friend bool operator==(const SiteNotFound&, const SiteNotFound&) = default;
    };
    struct SiteAlreadyExists {
        std::string site;
        friend bool operator==(const SiteAlreadyExists&, const SiteAlreadyExists&) = default;
    };
    struct PhpVersionNotInstalled {
        std::string version;
        friend bool operator==(const PhpVersionNotInstalled&,
                               const PhpVersionNotInstalled&) = default;
    };
    struct ServiceNotRunning {
        ServiceType type;
        friend bool operator==(const ServiceNotRunning&, const ServiceNotRunning&) = default;
    };
    struct ServiceFailed {
        ServiceType type;
        std::string message;
        friend bool operator==(const ServiceFailed&, const ServiceFailed&) = default;
    };
    struct PortInUse {
        long long port;
        friend bool operator==(const PortInUse&, const PortInUse&) = default;
    };
    struct PortConflict {
        long long port;
        std::string processName;
        std::int32_t pid;
        friend bool operator==(const PortConflict&, const PortConflict&) = default;
    };
    struct InvalidPort {
        long long port;
        friend bool operator==(const InvalidPort&, const InvalidPort&) = default;
    };
    struct ServiceNameConflict {
        std::string name;
        friend bool operator==(const ServiceNameConflict&, const ServiceNameConflict&) = default;
    };
    struct ConfigNotFound {
        std::string detail;
        friend bool operator==(const ConfigNotFound&, const ConfigNotFound&) = default;
    };
    struct ConfigInvalid {
        std::string detail;
        friend bool operator==(const ConfigInvalid&, const ConfigInvalid&) = default;
    };
    struct PermissionDenied {
        std::string detail;
        friend bool operator==(const PermissionDenied&, const PermissionDenied&) = default;
    };
    struct ProcessExecutionFailed {
        std::string detail;
        friend bool operator==(const ProcessExecutionFailed&,
                               const ProcessExecutionFailed&) = default;
    };
    struct SslGenerationFailed {
        std::string detail;
        friend bool operator==(const SslGenerationFailed&, const SslGenerationFailed&) = default;
    };
    struct NginxConfigFailed {
        std::string detail;
        friend bool operator==(const NginxConfigFailed&, const NginxConfigFailed&) = default;
    };
    struct HelperRegistrationFailed {
        std::string detail;
        friend bool operator==(const HelperRegistrationFailed&,
                               const HelperRegistrationFailed&) = default;
    };
    struct InstallFailed {
        std::string detail;
        friend bool operator==(const InstallFailed&, const InstallFailed&) = default;
    };
    struct OperationFailed {
        std::string detail;
        friend bool operator==(const OperationFailed&, const OperationFailed&) = default;
    };
    struct HelperNotConnected {
        friend bool operator==(const HelperNotConnected&, const HelperNotConnected&) = default;
    };

    using Case =
        std::variant<SiteNotFound, SiteAlreadyExists, PhpVersionNotInstalled, ServiceNotRunning,
                     ServiceFailed, PortInUse, PortConflict, InvalidPort, ServiceNameConflict,
                     ConfigNotFound, ConfigInvalid, PermissionDenied, ProcessExecutionFailed,
                     SslGenerationFailed, NginxConfigFailed, HelperRegistrationFailed,
                     InstallFailed, OperationFailed, HelperNotConnected>;

    explicit VeskError(Case value);

    static VeskError siteNotFound(std::string s) { return VeskError(SiteNotFound{std::move(s)}); }
    static VeskError siteAlreadyExists(std::string s) {
        return VeskError(SiteAlreadyExists{std::move(s)});
    }
    static VeskError phpVersionNotInstalled(std::string v) {
        return VeskError(PhpVersionNotInstalled{std::move(v)});
    }
    static VeskError serviceNotRunning(ServiceType t) { return VeskError(ServiceNotRunning{t}); }
    static VeskError serviceFailed(ServiceType t, std::string m) {
        return VeskError(ServiceFailed{t, std::move(m)});
    }
    static VeskError portInUse(long long p) { return VeskError(PortInUse{p}); }
    static VeskError portConflict(long long port, std::string processName, std::int32_t pid) {
        return VeskError(PortConflict{port, std::move(processName), pid});
    }
    static VeskError invalidPort(long long p) { return VeskError(InvalidPort{p}); }
    static VeskError serviceNameConflict(std::string n) {
        return VeskError(ServiceNameConflict{std::move(n)});
    }
    static VeskError configNotFound(std::string s) {
        return VeskError(ConfigNotFound{std::move(s)});
    }
    static VeskError configInvalid(std::string s) { return VeskError(ConfigInvalid{std::move(s)}); }
    static VeskError permissionDenied(std::string s) {
        return VeskError(PermissionDenied{std::move(s)});
    }
    static VeskError processExecutionFailed(std::string s) {
        return VeskError(ProcessExecutionFailed{std::move(s)});
    }
    static VeskError sslGenerationFailed(std::string s) {
        return VeskError(SslGenerationFailed{std::move(s)});
    }
    static VeskError nginxConfigFailed(std::string s) {
        return VeskError(NginxConfigFailed{std::move(s)});
    }
    static VeskError helperRegistrationFailed(std::string s) {
        return VeskError(HelperRegistrationFailed{std::move(s)});
    }
    static VeskError installFailed(std::string s) { return VeskError(InstallFailed{std::move(s)}); }
    static VeskError operationFailed(std::string s) {
        return VeskError(OperationFailed{std::move(s)});
    }
    static VeskError helperNotConnected() { return VeskError(HelperNotConnected{}); }

    [[nodiscard]] const Case& value() const noexcept { return value_; }
    /// The English description; always present.
    [[nodiscard]] const std::string& errorDescription() const noexcept { return description_; }
    [[nodiscard]] const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const VeskError& a, const VeskError& b) { return a.value_ == b.value_; }

  private:
    Case value_;
    std::string description_;
};

}  // namespace vesk

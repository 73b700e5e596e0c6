// The events the application delivers to plug-ins.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vesk {

struct PluginHook {
    struct SiteCreated {
        std::string domain;
        std::string path;
    };
    struct SiteDeleted {
        std::string domain;
    };
    struct ServiceStarted {
        std::string serviceType;
        std::int64_t port = 0;
    };
    struct ServiceStopped {
        std::string serviceType;
    };
    struct ServiceCrashed {
        std::string serviceType;
        std::optional<std::int32_t> exitCode;
    };
    struct AppLaunching {};
    struct AppShuttingDown {};

    std::variant<SiteCreated, SiteDeleted, ServiceStarted, ServiceStopped, ServiceCrashed,
                 AppLaunching, AppShuttingDown>
        event;

    /// "siteCreated", "serviceCrashed", ...: the names manifests list.
    [[nodiscard]] std::string_view name() const;
};

}  // namespace vesk

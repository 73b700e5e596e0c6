// Installed service instances, their run state, and the menu bar's summary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/ServiceType.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

enum class ServiceStatus { running, stopped, error, installing };

/// What the menu bar shows for all services together; never stored.
enum class OverallServiceStatus { allRunning, partial, allStopped };

}  // namespace vesk

VESK_RAW_ENUM(vesk::ServiceStatus, {vesk::ServiceStatus::running, "running"},
              {vesk::ServiceStatus::stopped, "stopped"}, {vesk::ServiceStatus::error, "error"},
              {vesk::ServiceStatus::installing, "installing"});

namespace vesk {

struct Service {
    UUID id;
    ServiceType type = ServiceType::mysql;
    std::string name;
    std::string version;
    ServiceStatus status = ServiceStatus::stopped;
    std::int64_t port = 0;
    std::string dataDirectory;
    std::string configPath;
    std::string logPath;

    Service() = default;
    /// Without a name the instance is named after its type ("postgresql");
    /// without a port it gets the type's default port.
    Service(const UUID& id, ServiceType type, std::optional<std::string> name, std::string version,
            ServiceStatus status, std::optional<std::int64_t> port, std::string dataDirectory,
            std::string configPath, std::string logPath);

    friend bool operator==(const Service&, const Service&) = default;
};

/// All flags true (or none at all): allRunning; some true: partial; else allStopped.
OverallServiceStatus computeOverallStatus(const std::vector<bool>& coreRunning,
                                          const std::vector<bool>& addonRunning);

/// "Vesk — 3 sites, PHP 8.4" (singular for exactly one site).
std::string formatMenuBarTooltip(std::int64_t siteCount, std::string_view phpVersion);

}  // namespace vesk

VESK_RECORD(vesk::Service, vesk::field("id", &vesk::Service::id),
            vesk::field("type", &vesk::Service::type), vesk::field("name", &vesk::Service::name),
            vesk::field("version", &vesk::Service::version),
            vesk::field("status", &vesk::Service::status),
            vesk::field("port", &vesk::Service::port),
            vesk::field("dataDirectory", &vesk::Service::dataDirectory),
            vesk::field("configPath", &vesk::Service::configPath),
            vesk::field("logPath", &vesk::Service::logPath));
VESK_HASHABLE(vesk::Service);

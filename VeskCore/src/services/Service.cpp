#include "vesk/services/Service.hpp"

#include <algorithm>

namespace vesk {

Service::Service(const UUID& id, ServiceType type, std::optional<std::string> name,
                 std::string version, ServiceStatus status, std::optional<std::int64_t> port,
                 std::string dataDirectory, std::string configPath, std::string logPath)
    : id(id),
      type(type),
      name(name ? std::move(*name) : std::string(rawValue(type))),
      version(std::move(version)),
      status(status),
      port(port ? *port : defaultPort(type)),
      dataDirectory(std::move(dataDirectory)),
      configPath(std::move(configPath)),
      logPath(std::move(logPath)) {}

OverallServiceStatus computeOverallStatus(const std::vector<bool>& coreRunning,
                                          const std::vector<bool>& addonRunning) {
    const auto all = [](const std::vector<bool>& v) {
        return std::all_of(v.begin(), v.end(), [](bool b) { return b; });
    };
    const auto any = [](const std::vector<bool>& v) {
        return std::any_of(v.begin(), v.end(), [](bool b) { return b; });
    };
    if (all(coreRunning) && all(addonRunning)) return OverallServiceStatus::allRunning;
    if (any(coreRunning) || any(addonRunning)) return OverallServiceStatus::partial;
    return OverallServiceStatus::allStopped;
}

std::string formatMenuBarTooltip(std::int64_t siteCount, std::string_view phpVersion) {
    std::string s = "Vesk \u2014 ";
    s += std::to_string(siteCount);
    s += siteCount == 1 ? " site" : " sites";
    s += ", PHP ";
    s += phpVersion;
    return s;
}

}  // namespace vesk

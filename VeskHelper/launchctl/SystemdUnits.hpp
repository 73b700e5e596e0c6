// What systemd itself knows of a unit, asked over its own bus (the manager's
// private socket, as systemctl does as root): whether a name is already taken
// by the system, and what a unit launchctl wrote reads back as.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "LaunchDaemonUnit.hpp"

struct sd_bus;

namespace vesk::launchctl {

/// Where systemd has a unit from, whatever the source (file, generator,
/// transient, drop-ins alone).
struct UnitOrigin {
    std::string loadState;  ///< "loaded", "not-found", "masked", ...
    std::string activeState;
    std::string fragmentPath;
    std::string sourcePath;
    std::vector<std::string> dropInPaths;
    bool transient = false;
};

/// The settings of a service as systemd has loaded them.
struct LoadedService {
    std::string execPath;
    std::vector<std::string> argv;  ///< as loaded: a "$" still doubled
    std::string user;
    std::string group;
    std::string workingDirectory;
    std::vector<std::string> environment;  ///< "NAME=value", in unit order
    std::string restart;
    std::string standardOutput;  ///< "append" for an appended file
    std::string standardError;
};

/// A connection to the service manager; every query fails when there is none.
class SystemdBus {
  public:
    SystemdBus();
    ~SystemdBus();
    SystemdBus(const SystemdBus&) = delete;
    SystemdBus& operator=(const SystemdBus&) = delete;

    [[nodiscard]] bool connected() const { return bus_ != nullptr; }
    /// The unit's origin, loading it for the question if needed; none when
    /// systemd cannot be asked.
    [[nodiscard]] std::optional<UnitOrigin> origin(const std::string& unit);
    /// The service's loaded settings; none when systemd cannot be asked.
    [[nodiscard]] std::optional<LoadedService> service(const std::string& unit);
    /// Why the last query failed.
    [[nodiscard]] static const std::string& lastError();

  private:
    ::sd_bus* bus_ = nullptr;
};

/// Whether `origin` is nothing but the unit file launchctl wrote at `path`,
/// or nothing at all: anything else (another file, a generator's or a
/// transient unit, drop-ins, a job still running from elsewhere) is the
/// system's. The one line why not, or empty.
std::string notOurs(const UnitOrigin& origin, const std::string& path);

/// The first setting systemd read differently from what the list said,
/// as one line, or empty when every one reads back unchanged.
std::string readBackMismatch(const LaunchDaemon& daemon, const LoadedService& loaded);

}  // namespace vesk::launchctl

// The supervisor's decisions for one supervised server or service: what an
// exit, a restart that answers again, a developer's stop and the passing of
// time do to its ServiceHealth, and when it is started again. No process is
// touched here: the supervisor acts on the decisions, and tests drive them
// against the library's clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <vector>
#include "vesk/foundation/Date.hpp"

#include "vesk/foundation/Json.hpp"
#include "vesk/services/ResourceUsage.hpp"
#include "vesk/services/Service.hpp"
#include "vesk/services/ServiceHealth.hpp"

namespace vesk::supervision {

/// Crashes allowed in one retry window: the first three are restarted after
/// 5, 15 and 45 seconds; the fourth leaves the server degraded.
inline constexpr std::int64_t kMaxRetries = 4;
/// Healthy this long after a restart, a server starts a new retry window.
inline constexpr double kStablePeriod = 120;

/// What the supervisor does after an event.
struct Decision {
    enum class Action {
        none,       ///< nothing to do
        restartAt,  ///< start it again at `when`
        giveUp,     ///< leave it stopped (degraded): retries are used up or it is off
    };
    Action action = Action::none;
    Date when;

    friend bool operator==(const Decision&, const Decision&) = default;
};

class Watch {
  public:
    /// A watch over `health`; a fresh record gets kMaxRetries and automatic
    /// restarts.
    explicit Watch(ServiceHealth health);
    /// A fresh record for `type`.
    static ServiceHealth freshHealth(ServiceType type);

    /// The server ended without being asked to: a crash, recorded with its
    /// exit status or signal and the reason (its log's last line).
    Decision exited(std::optional<std::int32_t> exitCode, std::optional<std::int32_t> signal,
                    std::optional<std::string> reason);
    /// The server (re)started and accepts connections again.
    void answering();
    /// The developer stopped it: no crash, no restart.
    void stopped();
    /// The developer started it: a new retry window.
    void started();
    /// Time passed: a server healthy for kStablePeriod since its last restart
    /// starts a new retry window. True when the record changed.
    bool tick();
    /// When tick() has something to do next, if ever.
    [[nodiscard]] std::optional<Date> nextTick() const;

    [[nodiscard]] const ServiceHealth& health() const noexcept { return health_; }
    /// Whether a restart is due (decided, not yet done).
    [[nodiscard]] const std::optional<Date>& restartDue() const noexcept { return restartDue_; }

  private:
    ServiceHealth health_;
    std::optional<Date> restartDue_;
    std::optional<Date> answeringSince_;
};

/// One supervised server as the supervisor last saw it: what `status` and
/// `doctor` show. The core servers' health records carry the kind of the
/// service they stand beside in none of their fields but `name`: their
/// `serviceType` is not read.
struct SupervisedServer {
    std::string name;  ///< "nginx", "php 8.2", "dnsmasq", or a service kind ("mariadb")
    ServiceStatus status = ServiceStatus::stopped;
    std::optional<std::int64_t> pid;
    std::optional<Date> startedAt;
    ServiceHealth health;
    std::optional<ResourceUsage> usage;
    double averageCPU = 0;
    double averageMemoryMB = 0;
    /// The resource alerts raised now, as lines.
    std::vector<std::string> alerts;

    friend bool operator==(const SupervisedServer&, const SupervisedServer&) = default;
};

/// The supervisor's report, rewritten whenever something changes.
struct SupervisorReport {
    std::int64_t pid = 0;
    Date updatedAt;
    std::vector<SupervisedServer> servers;

    [[nodiscard]] const SupervisedServer* find(const std::string& name) const;
    friend bool operator==(const SupervisorReport&, const SupervisorReport&) = default;
};

/// What the developer asked of the supervisor beside the services in the
/// settings (`autoStartServices`): the core servers they stopped, left
/// down, and the servers they started or restarted by hand since it last
/// looked, each given a new retry window (and restarted when running).
struct Wanted {
    std::vector<std::string> stoppedCore;  ///< "nginx", "php", "dnsmasq"
    std::vector<std::string> restart;      ///< names, taken by the supervisor

    friend bool operator==(const Wanted&, const Wanted&) = default;
};

}  // namespace vesk::supervision

VESK_RECORD(vesk::supervision::SupervisedServer,
            vesk::field("name", &vesk::supervision::SupervisedServer::name),
            vesk::field("status", &vesk::supervision::SupervisedServer::status),
            vesk::field("pid", &vesk::supervision::SupervisedServer::pid),
            vesk::field("startedAt", &vesk::supervision::SupervisedServer::startedAt),
            vesk::field("health", &vesk::supervision::SupervisedServer::health),
            vesk::field("usage", &vesk::supervision::SupervisedServer::usage),
            vesk::field("averageCPU", &vesk::supervision::SupervisedServer::averageCPU),
            vesk::field("averageMemoryMB", &vesk::supervision::SupervisedServer::averageMemoryMB),
            vesk::field("alerts", &vesk::supervision::SupervisedServer::alerts));
VESK_RECORD(vesk::supervision::SupervisorReport,
            vesk::field("pid", &vesk::supervision::SupervisorReport::pid),
            vesk::field("updatedAt", &vesk::supervision::SupervisorReport::updatedAt),
            vesk::field("servers", &vesk::supervision::SupervisorReport::servers));
VESK_RECORD(vesk::supervision::Wanted,
            vesk::field("stoppedCore", &vesk::supervision::Wanted::stoppedCore),
            vesk::field("restart", &vesk::supervision::Wanted::restart));

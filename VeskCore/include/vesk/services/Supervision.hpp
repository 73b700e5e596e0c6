// The supervisor's decisions for one supervised server or service: what an
// exit, a restart that answers again, a developer's stop and the passing of
// time do to its ServiceHealth, and when it is started again. No process is
// touched here: the supervisor acts on the decisions, and tests drive them
// against the library's clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vesk/foundation/Date.hpp"
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

}  // namespace vesk::supervision

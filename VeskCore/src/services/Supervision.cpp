#include "vesk/services/Supervision.hpp"

#include <cmath>
#include <utility>

#include "vesk/foundation/Clock.hpp"

namespace vesk::supervision {

Watch::Watch(ServiceHealth health) : health_(std::move(health)) {}

ServiceHealth Watch::freshHealth(ServiceType type) {
    ServiceHealth health;
    health.serviceType = type;
    health.maxRetries = kMaxRetries;
    health.autoRestartEnabled = true;
    return health;
}

Decision Watch::exited(std::optional<std::int32_t> exitCode, std::optional<std::int32_t> signal,
                       std::optional<std::string> reason) {
    answeringSince_.reset();
    if (health_.status == HealthStatus::stopped) return {};  // asked to stop: no crash
    health_.recordCrash(exitCode, signal, std::move(reason));
    if (!health_.canRestart()) {
        // Retries used up (or restarts off): left stopped, degraded, until
        // the developer starts it again.
        health_.status = HealthStatus::degraded;
        restartDue_.reset();
        return {Decision::Action::giveUp, Clock::now()};
    }
    const double delay = health_.backoffDelay();
    const Date now = Clock::now();
    restartDue_ = Date{now.timeIntervalSinceReferenceDate + (std::isfinite(delay) ? delay : 0)};
    return {Decision::Action::restartAt, *restartDue_};
}

void Watch::answering() {
    restartDue_.reset();
    answeringSince_ = Clock::now();
    if (health_.status == HealthStatus::recovering) {
        health_.recordRestart();
    } else if (health_.status != HealthStatus::degraded) {
        health_.status = HealthStatus::healthy;
    }
}

void Watch::stopped() {
    restartDue_.reset();
    answeringSince_.reset();
    health_.status = HealthStatus::stopped;
}

void Watch::started() {
    health_.resetRetryWindow();
    if (health_.status == HealthStatus::stopped || health_.status == HealthStatus::degraded) {
        health_.status = HealthStatus::healthy;
    }
}

bool Watch::tick() {
    const auto due = nextTick();
    if (!due || Clock::now().timeIntervalSinceReferenceDate < due->timeIntervalSinceReferenceDate) {
        return false;
    }
    health_.resetRetryWindow();
    answeringSince_.reset();
    return true;
}

std::optional<Date> Watch::nextTick() const {
    if (!answeringSince_ || health_.currentRetries == 0) return std::nullopt;
    return Date{answeringSince_->timeIntervalSinceReferenceDate + kStablePeriod};
}

const SupervisedServer* SupervisorReport::find(const std::string& name) const {
    for (const auto& server : servers) {
        if (server.name == name) return &server;
    }
    return nullptr;
}

}  // namespace vesk::supervision

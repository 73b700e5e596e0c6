// Background queue workers of Laravel projects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

enum class WorkerStatus { running, stopped, paused, crashed };

}  // namespace vesk

VESK_RAW_ENUM(vesk::WorkerStatus, {vesk::WorkerStatus::running, "running"},
              {vesk::WorkerStatus::stopped, "stopped"}, {vesk::WorkerStatus::paused, "paused"},
              {vesk::WorkerStatus::crashed, "crashed"});

namespace vesk {

/// "Running", "Stopped", "Paused", "Crashed".
std::string_view label(WorkerStatus status);

struct QueueWorker {
    UUID id;
    std::string siteDomain;
    std::string connection;
    std::string queue;
    std::optional<std::int32_t> pid;
    WorkerStatus status = WorkerStatus::stopped;
    std::int64_t jobsProcessed = 0;
    std::int64_t jobsFailed = 0;
    std::optional<Date> startedAt;
    std::int64_t memoryLimit = 0;
    std::int64_t timeout = 0;
    std::int64_t tries = 0;

    /// "php artisan queue:work <connection> --queue=<queue> --memory=<m>
    /// --timeout=<t> --tries=<n>", texts as they are.
    [[nodiscard]] std::string artisanCommand() const;

    friend bool operator==(const QueueWorker&, const QueueWorker&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::QueueWorker, vesk::field("id", &vesk::QueueWorker::id),
            vesk::field("siteDomain", &vesk::QueueWorker::siteDomain),
            vesk::field("connection", &vesk::QueueWorker::connection),
            vesk::field("queue", &vesk::QueueWorker::queue),
            vesk::field("pid", &vesk::QueueWorker::pid),
            vesk::field("status", &vesk::QueueWorker::status),
            vesk::field("jobsProcessed", &vesk::QueueWorker::jobsProcessed),
            vesk::field("jobsFailed", &vesk::QueueWorker::jobsFailed),
            vesk::field("startedAt", &vesk::QueueWorker::startedAt),
            vesk::field("memoryLimit", &vesk::QueueWorker::memoryLimit),
            vesk::field("timeout", &vesk::QueueWorker::timeout),
            vesk::field("tries", &vesk::QueueWorker::tries));
VESK_HASHABLE(vesk::QueueWorker);

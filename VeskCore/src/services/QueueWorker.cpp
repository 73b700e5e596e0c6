#include "vesk/services/QueueWorker.hpp"

#include <array>

namespace vesk {

std::string_view label(WorkerStatus status) {
    static constexpr std::array<std::string_view, 4> kLabels{"Running", "Stopped", "Paused",
                                                             "Crashed"};
    return kLabels[caseIndex(status)];
}

std::string QueueWorker::artisanCommand() const {
    return "php artisan queue:work " + connection + " --queue=" + queue +
           " --memory=" + std::to_string(memoryLimit) + " --timeout=" + std::to_string(timeout) +
           " --tries=" + std::to_string(tries);
}

}  // namespace vesk

#include "vesk/services/ResourceSampling.hpp"

#include <algorithm>
#include <cmath>

namespace vesk::resources {

ResourceUsage between(const procfs::Usage& earlier, const procfs::Usage& later, double seconds) {
    ResourceUsage usage;
    // A process that restarted in between has less processor time than
    // before: its use since then is all it has.
    const double used = later.cpuSeconds >= earlier.cpuSeconds
                            ? later.cpuSeconds - earlier.cpuSeconds
                            : later.cpuSeconds;
    usage.cpuPercent = seconds > 0 ? std::max(0.0, used / seconds * 100) : 0;
    usage.memoryMB = static_cast<double>(later.residentBytes) / (1024.0 * 1024.0);
    usage.uptime = later.uptimeSeconds;
    return usage;
}

std::vector<ResourceAlert> alertsFor(const std::string& name, const ResourceHistory& history,
                                     std::size_t window) {
    std::vector<ResourceAlert> alerts;
    const auto& samples = history.snapshots();
    if (window == 0 || samples.size() < window) return alerts;
    double lowestCPU = samples.back().cpuPercent;
    double lowestMemory = samples.back().memoryMB;
    for (auto it = samples.end() - static_cast<std::ptrdiff_t>(window); it != samples.end(); ++it) {
        lowestCPU = std::min(lowestCPU, it->cpuPercent);
        lowestMemory = std::min(lowestMemory, it->memoryMB);
    }
    if (lowestCPU > ResourceThresholds::cpuPercent) {
        alerts.push_back(
            {name, ResourceAlert::AlertKind::highCPU, lowestCPU, ResourceThresholds::cpuPercent});
    }
    if (lowestMemory > ResourceThresholds::memoryMB) {
        alerts.push_back({name, ResourceAlert::AlertKind::highMemory, lowestMemory,
                          ResourceThresholds::memoryMB});
    }
    return alerts;
}

std::string describe(const ResourceAlert& alert) {
    const auto whole = [](double v) { return std::to_string(std::llround(v)); };
    if (alert.kind == ResourceAlert::AlertKind::highCPU) {
        return "CPU " + whole(alert.value) + "% (over " + whole(alert.threshold) +
               "%) for a minute";
    }
    return "memory " + whole(alert.value) + " MB (over " + whole(alert.threshold) +
           " MB) for a minute";
}

}  // namespace vesk::resources

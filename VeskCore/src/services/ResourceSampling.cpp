#include "vesk/services/ResourceSampling.hpp"

#include <algorithm>

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

}  // namespace vesk::resources

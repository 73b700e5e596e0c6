// Processor, memory and disk use of the services and of the whole system.
#pragma once

#include <map>
#include <string>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/ServiceType.hpp"

namespace vesk {

struct ResourceUsage {
    double cpuPercent = 0;
    double memoryMB = 0;
    double diskMB = 0;
    double uptime = 0;

    friend bool operator==(const ResourceUsage&, const ResourceUsage&) = default;
};

/// The sampler's whole view; never stored.
struct SystemResources {
    std::map<ServiceType, ResourceUsage> services;
    std::map<std::string, ResourceUsage> coreServices;
    double totalCPU = 0;
    double totalMemoryMB = 0;
    double totalDiskMB = 0;

    SystemResources() = default;
    SystemResources(std::map<ServiceType, ResourceUsage> services, double totalCPU,
                    double totalMemoryMB, double totalDiskMB,
                    std::map<std::string, ResourceUsage> coreServices)
        : services(std::move(services)),
          coreServices(std::move(coreServices)),
          totalCPU(totalCPU),
          totalMemoryMB(totalMemoryMB),
          totalDiskMB(totalDiskMB) {}

    friend bool operator==(const SystemResources&, const SystemResources&) = default;
};

/// The two limits past which a warning is due.
namespace ResourceThresholds {
inline constexpr double cpuPercent = 80;
inline constexpr double memoryMB = 1024;
}  // namespace ResourceThresholds

}  // namespace vesk

VESK_RECORD(vesk::ResourceUsage, vesk::field("cpuPercent", &vesk::ResourceUsage::cpuPercent),
            vesk::field("memoryMB", &vesk::ResourceUsage::memoryMB),
            vesk::field("diskMB", &vesk::ResourceUsage::diskMB),
            vesk::field("uptime", &vesk::ResourceUsage::uptime));

// Samples over time, their bounded history for charts, and warnings.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

struct ResourceSnapshot {
    Date timestamp;
    double cpuPercent = 0;
    double memoryMB = 0;
    friend bool operator==(const ResourceSnapshot&, const ResourceSnapshot&) = default;
};

/// The last `maxCount` snapshots, oldest first. Appending costs the same
/// however large `maxCount` is: the oldest snapshot leaves from the front of
/// a deque, nothing is shifted.
class ResourceHistory {
  public:
    /// A negative capacity is the caller's error; it is taken as 0.
    explicit ResourceHistory(std::int64_t maxCount) : maxCount_(maxCount < 0 ? 0 : maxCount) {}

    void append(const ResourceSnapshot& snapshot);
    [[nodiscard]] std::int64_t maxCount() const { return maxCount_; }
    [[nodiscard]] const std::deque<ResourceSnapshot>& snapshots() const { return snapshots_; }
    [[nodiscard]] std::optional<ResourceSnapshot> latest() const;
    [[nodiscard]] std::vector<double> cpuValues() const;
    [[nodiscard]] std::vector<double> memoryValues() const;
    /// Arithmetic means; 0 for an empty history.
    [[nodiscard]] double averageCPU() const;
    [[nodiscard]] double averageMemory() const;

    friend bool operator==(const ResourceHistory&, const ResourceHistory&) = default;

  private:
    std::int64_t maxCount_;
    std::deque<ResourceSnapshot> snapshots_;
};

struct ResourceAlert {
    enum class AlertKind { highCPU, highMemory };

    std::string serviceName;
    AlertKind kind = AlertKind::highCPU;
    double value = 0;
    double threshold = 0;

    friend bool operator==(const ResourceAlert&, const ResourceAlert&) = default;
};

}  // namespace vesk

VESK_RAW_ENUM(vesk::ResourceAlert::AlertKind, {vesk::ResourceAlert::AlertKind::highCPU, "highCPU"},
              {vesk::ResourceAlert::AlertKind::highMemory, "highMemory"});
// Warnings are shown, never stored.
VESK_NOT_CODED(vesk::ResourceAlert::AlertKind);

#include "vesk/services/ResourceMetrics.hpp"

namespace vesk {

void ResourceHistory::append(const ResourceSnapshot& snapshot) {
    snapshots_.push_back(snapshot);
    while (static_cast<std::int64_t>(snapshots_.size()) > maxCount_) snapshots_.pop_front();
}

std::optional<ResourceSnapshot> ResourceHistory::latest() const {
    if (snapshots_.empty()) return std::nullopt;
    return snapshots_.back();
}

std::vector<double> ResourceHistory::cpuValues() const {
    std::vector<double> out;
    out.reserve(snapshots_.size());
    for (const auto& s : snapshots_) out.push_back(s.cpuPercent);
    return out;
}

std::vector<double> ResourceHistory::memoryValues() const {
    std::vector<double> out;
    out.reserve(snapshots_.size());
    for (const auto& s : snapshots_) out.push_back(s.memoryMB);
    return out;
}

double ResourceHistory::averageCPU() const {
    if (snapshots_.empty()) return 0;
    double sum = 0;
    for (const auto& s : snapshots_) sum += s.cpuPercent;
    return sum / static_cast<double>(snapshots_.size());
}

double ResourceHistory::averageMemory() const {
    if (snapshots_.empty()) return 0;
    double sum = 0;
    for (const auto& s : snapshots_) sum += s.memoryMB;
    return sum / static_cast<double>(snapshots_.size());
}

}  // namespace vesk

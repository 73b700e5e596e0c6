#include "vesk/services/DatabaseSnapshot.hpp"

#include <algorithm>

namespace vesk {

void SnapshotIndex::remove(std::string_view name) {
    std::erase_if(snapshots, [name](const DatabaseSnapshot& s) { return s.name == name; });
}

std::optional<DatabaseSnapshot> SnapshotIndex::find(std::string_view name) const {
    const auto it = std::find_if(snapshots.begin(), snapshots.end(),
                                 [name](const DatabaseSnapshot& s) { return s.name == name; });
    if (it == snapshots.end()) return std::nullopt;
    return *it;
}

}  // namespace vesk

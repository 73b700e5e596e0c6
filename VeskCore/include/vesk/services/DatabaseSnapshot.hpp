// Saved states of local databases, and their index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct DatabaseSnapshot {
    UUID id;
    std::string name;
    std::string databaseType;
    std::string databaseName;
    std::optional<std::string> siteDomain;
    std::string filePath;
    std::int64_t fileSize = 0;
    Date createdAt;
    std::optional<std::string> notes;
    friend bool operator==(const DatabaseSnapshot&, const DatabaseSnapshot&) = default;
};

/// Snapshots in the order they were added; names need not be unique.
struct SnapshotIndex {
    std::vector<DatabaseSnapshot> snapshots;

    void add(DatabaseSnapshot snapshot) { snapshots.push_back(std::move(snapshot)); }
    /// Removes every snapshot of exactly that name.
    void remove(std::string_view name);
    /// The first snapshot of exactly that name.
    [[nodiscard]] std::optional<DatabaseSnapshot> find(std::string_view name) const;

    friend bool operator==(const SnapshotIndex&, const SnapshotIndex&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::DatabaseSnapshot, vesk::field("id", &vesk::DatabaseSnapshot::id),
            vesk::field("name", &vesk::DatabaseSnapshot::name),
            vesk::field("databaseType", &vesk::DatabaseSnapshot::databaseType),
            vesk::field("databaseName", &vesk::DatabaseSnapshot::databaseName),
            vesk::field("siteDomain", &vesk::DatabaseSnapshot::siteDomain),
            vesk::field("filePath", &vesk::DatabaseSnapshot::filePath),
            vesk::field("fileSize", &vesk::DatabaseSnapshot::fileSize),
            vesk::field("createdAt", &vesk::DatabaseSnapshot::createdAt),
            vesk::field("notes", &vesk::DatabaseSnapshot::notes));
VESK_HASHABLE(vesk::DatabaseSnapshot);
VESK_RECORD(vesk::SnapshotIndex, vesk::field("snapshots", &vesk::SnapshotIndex::snapshots));

// Profile files on disk, and the comparison of two runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vesk/debugging/ProfileData.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

/// One JSON file per run, "profile-<UPPER-CASE UUID>.json", in a directory.
class ProfileStore {
  public:
    explicit ProfileStore(std::string directory) : directory_(std::move(directory)) {}
    [[nodiscard]] const std::string& directory() const { return directory_; }

    /// Writes the run pretty-printed (indentation capped at 32 levels, so a
    /// deep tree costs bytes linear in its size) with ISO 8601 dates, in one
    /// plain write; returns the file's path. Throws std::system_error or the
    /// encoder's error.
    [[nodiscard]] std::string save(const ProfileRun& run) const;
    /// Reads and decodes a run (ISO 8601 dates). Throws std::system_error or
    /// DecodingError.
    [[nodiscard]] ProfileRun load(const std::string& path) const;
    /// The profile files, newest modification first; none for a missing
    /// directory. Throws std::system_error when the directory cannot be listed.
    [[nodiscard]] std::vector<std::string> listProfiles() const;

    /// Profile files up to this many bytes are read into a buffer each thread
    /// keeps for the next one and parsed whole; a larger one is read in one
    /// pass and its text given back as it goes (process-wide).
    static constexpr std::size_t kDefaultKeptTextBytes = std::size_t{128} << 20;
    static void setKeptTextBytes(std::size_t bytes) noexcept;

  private:
    std::string directory_;
};

enum class DiffKind { regression, improvement, added, removed };

}  // namespace vesk

VESK_RAW_ENUM(vesk::DiffKind, {vesk::DiffKind::regression, "regression"},
              {vesk::DiffKind::improvement, "improvement"}, {vesk::DiffKind::added, "added"},
              {vesk::DiffKind::removed, "removed"});

namespace vesk {

struct FunctionDiff {
    UUID id;
    std::string function;
    std::int64_t baselineSelfTime = 0;
    std::int64_t currentSelfTime = 0;
    std::int64_t delta = 0;
    double percentChange = 0;
    DiffKind kind = DiffKind::regression;

    friend bool operator==(const FunctionDiff&, const FunctionDiff&) = default;
};

struct ProfileDiff {
    UUID id;
    std::int64_t baselineTotalTime = 0;
    std::int64_t currentTotalTime = 0;
    std::int64_t totalTimeDelta = 0;
    double totalTimePercentChange = 0;
    std::vector<FunctionDiff> diffs;

    [[nodiscard]] std::vector<FunctionDiff> regressions() const;
    [[nodiscard]] std::vector<FunctionDiff> improvements() const;
    [[nodiscard]] std::vector<FunctionDiff> added() const;
    [[nodiscard]] std::vector<FunctionDiff> removed() const;
    /// Regressions by delta, largest first (ties in `diffs` order).
    [[nodiscard]] std::vector<FunctionDiff> topRegressions(std::size_t limit) const;
    /// Improvements by delta, most negative first (ties in `diffs` order).
    [[nodiscard]] std::vector<FunctionDiff> topImprovements(std::size_t limit) const;

    /// The change from `baseline` to `current`, by function name over each
    /// run's self time summed: one diff per function whose self time
    /// changed, in the order the current run first names them, then the
    /// functions only the baseline has. A function new in `current` is
    /// added (+100%), one gone is removed (-100%); percent changes are
    /// against the baseline's time.
    static ProfileDiff compare(const ProfileRun& baseline, const ProfileRun& current);

    friend bool operator==(const ProfileDiff&, const ProfileDiff&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::FunctionDiff, vesk::field("id", &vesk::FunctionDiff::id),
            vesk::field("function", &vesk::FunctionDiff::function),
            vesk::field("baselineSelfTime", &vesk::FunctionDiff::baselineSelfTime),
            vesk::field("currentSelfTime", &vesk::FunctionDiff::currentSelfTime),
            vesk::field("delta", &vesk::FunctionDiff::delta),
            vesk::field("percentChange", &vesk::FunctionDiff::percentChange),
            vesk::field("kind", &vesk::FunctionDiff::kind));
VESK_HASHABLE(vesk::FunctionDiff);
VESK_RECORD(vesk::ProfileDiff, vesk::field("id", &vesk::ProfileDiff::id),
            vesk::field("baselineTotalTime", &vesk::ProfileDiff::baselineTotalTime),
            vesk::field("currentTotalTime", &vesk::ProfileDiff::currentTotalTime),
            vesk::field("totalTimeDelta", &vesk::ProfileDiff::totalTimeDelta),
            vesk::field("totalTimePercentChange", &vesk::ProfileDiff::totalTimePercentChange),
            vesk::field("diffs", &vesk::ProfileDiff::diffs));
VESK_HASHABLE(vesk::ProfileDiff);

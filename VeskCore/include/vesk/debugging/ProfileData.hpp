// Profiled requests: call trees with self and inclusive costs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/Tree.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

/// One call site of a call tree. Trees may be a million frames large and
/// tens of thousands deep: children are shared between copies, and every
/// operation on a tree walks it without recursion.
struct CallFrame {
    UUID id;
    std::string function;
    std::string file;
    std::int64_t line = 0;
    std::int64_t selfTime = 0;
    std::int64_t totalTime = 0;
    std::int64_t selfMemory = 0;
    std::int64_t totalMemory = 0;
    std::int64_t callCount = 0;
    SharedChildren<CallFrame> children;

    /// "unknown" for an empty file, else its last component without extension.
    [[nodiscard]] std::string module() const;

    friend bool operator==(const CallFrame& a, const CallFrame& b) { return treeEqual(a, b); }
};

struct ProfileRun {
    UUID id;
    std::vector<CallFrame> frames;
    std::int64_t totalTime = 0;
    std::int64_t totalMemory = 0;
    Date date;
    std::string requestURI;
    std::string label;

    friend bool operator==(const ProfileRun&, const ProfileRun&) = default;
};

/// A run read from folded stacks, the text flame-graph tools and profilers
/// write: one "frame;frame;...;frame count" line per stack, the count the
/// leaf's self time. Stacks sharing a path share its frames; a frame's total
/// is its self time and its callees' totals. Lines without a count, or with
/// a negative or overflowing one, are skipped and counted in `skipped`.
/// Frames have no file; the run's label is `label`.
ProfileRun profileFromFoldedStacks(std::string_view text, const std::string& label,
                                   std::size_t& skipped);

}  // namespace vesk

VESK_RECORD(vesk::CallFrame, vesk::field("id", &vesk::CallFrame::id),
            vesk::field("function", &vesk::CallFrame::function),
            vesk::field("file", &vesk::CallFrame::file),
            vesk::field("line", &vesk::CallFrame::line),
            vesk::field("selfTime", &vesk::CallFrame::selfTime),
            vesk::field("totalTime", &vesk::CallFrame::totalTime),
            vesk::field("selfMemory", &vesk::CallFrame::selfMemory),
            vesk::field("totalMemory", &vesk::CallFrame::totalMemory),
            vesk::field("callCount", &vesk::CallFrame::callCount),
            vesk::field("children", &vesk::CallFrame::children));
VESK_TREE_CHILDREN(vesk::CallFrame, &vesk::CallFrame::children);
VESK_RECORD(vesk::ProfileRun, vesk::field("id", &vesk::ProfileRun::id),
            vesk::field("frames", &vesk::ProfileRun::frames),
            vesk::field("totalTime", &vesk::ProfileRun::totalTime),
            vesk::field("totalMemory", &vesk::ProfileRun::totalMemory),
            vesk::field("date", &vesk::ProfileRun::date),
            vesk::field("requestURI", &vesk::ProfileRun::requestURI),
            vesk::field("label", &vesk::ProfileRun::label));

template <>
struct std::hash<vesk::CallFrame> {
    std::size_t operator()(const vesk::CallFrame& f) const noexcept { return vesk::treeHash(f); }
};
VESK_HASHABLE(vesk::ProfileRun);

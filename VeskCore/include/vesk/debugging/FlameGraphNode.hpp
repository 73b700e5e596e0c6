// The tree a flame graph draws, folded stacks, and the top-functions table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/debugging/ProfileData.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/Tree.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

enum class FunctionSortOrder { selfTime, totalTime, callCount };

}  // namespace vesk

VESK_RAW_ENUM(vesk::FunctionSortOrder, {vesk::FunctionSortOrder::selfTime, "selfTime"},
              {vesk::FunctionSortOrder::totalTime, "totalTime"},
              {vesk::FunctionSortOrder::callCount, "callCount"});

namespace vesk {

struct FunctionSummary {
    UUID id;
    std::string function;
    std::string file;
    std::int64_t selfTime = 0;
    std::int64_t totalTime = 0;
    std::int64_t callCount = 0;

    friend bool operator==(const FunctionSummary&, const FunctionSummary&) = default;
};

struct FlameGraphNode {
    UUID id;
    std::string function;
    std::string file;
    std::int64_t selfTime = 0;
    std::int64_t totalTime = 0;
    std::int64_t callCount = 0;
    SharedChildren<FlameGraphNode> children;

    /// The frame's tree with fresh ids; line and memory figures dropped.
    static FlameGraphNode from(const CallFrame& frame);
    /// Every node in pre-order, each a full copy with its children (the
    /// children are shared, so this is linear in the size of the tree).
    [[nodiscard]] std::vector<FlameGraphNode> flattened() const;
    /// One "path selfTime" line per node with self time above 0, in pre-order.
    [[nodiscard]] std::vector<std::string> foldedStacks(std::string_view prefix) const;
    /// The same lines appended to `out`, each ended by a line feed.
    void appendFoldedStacks(std::string_view prefix, std::string& out) const;

    friend bool operator==(const FlameGraphNode& a, const FlameGraphNode& b) {
        return treeEqual(a, b);
    }
};

/// How a flame graph is drawn.
struct FlameGraphStyle {
    std::string title = "Flame graph";
    double width = 1200;          ///< the picture's width in pixels
    double frameHeight = 16;      ///< one level of the stack
    double minimumWidth = 0.1;    ///< narrower frames (and what they call) are left out
    std::size_t maxDepth = 2048;  ///< deeper levels are left out, and said so
};

/// A self-contained SVG flame graph of `roots` side by side: one rectangle
/// per frame, its width proportional to the frame's total time, its colour
/// fixed by the function's name, a title with function, file, self and
/// total time and share, and a script: a click zooms into a frame, "Reset
/// Zoom" goes back, "Search" (or the URL's "#search=" text) highlights the
/// frames whose function matches and shows their share. Every text is
/// escaped for XML; the output is linear in the number of frames drawn.
std::string flameGraphSVG(const std::vector<FlameGraphNode>& roots,
                          const FlameGraphStyle& style = {});

/// The same picture for the newer of two runs, each frame coloured by its
/// function's change: red for a regression, blue for an improvement, the
/// deeper the larger the change (`change` gives a function's percent change;
/// 0 for none).
std::string differentialFlameGraphSVG(
    const std::vector<FlameGraphNode>& roots,
    const std::function<double(std::string_view function)>& change,
    const FlameGraphStyle& style = {});

/// One row per function name over every root's pre-order, summed, ranked by
/// `order` descending (stable: ties keep the order first seen); at most `limit`.
std::vector<FunctionSummary> topFunctions(const std::vector<FlameGraphNode>& roots,
                                          FunctionSortOrder order, std::size_t limit);

}  // namespace vesk

VESK_RECORD(vesk::FunctionSummary, vesk::field("id", &vesk::FunctionSummary::id),
            vesk::field("function", &vesk::FunctionSummary::function),
            vesk::field("file", &vesk::FunctionSummary::file),
            vesk::field("selfTime", &vesk::FunctionSummary::selfTime),
            vesk::field("totalTime", &vesk::FunctionSummary::totalTime),
            vesk::field("callCount", &vesk::FunctionSummary::callCount));
VESK_HASHABLE(vesk::FunctionSummary);
VESK_RECORD(vesk::FlameGraphNode, vesk::field("id", &vesk::FlameGraphNode::id),
            vesk::field("function", &vesk::FlameGraphNode::function),
            vesk::field("file", &vesk::FlameGraphNode::file),
            vesk::field("selfTime", &vesk::FlameGraphNode::selfTime),
            vesk::field("totalTime", &vesk::FlameGraphNode::totalTime),
            vesk::field("callCount", &vesk::FlameGraphNode::callCount),
            vesk::field("children", &vesk::FlameGraphNode::children));
VESK_TREE_CHILDREN(vesk::FlameGraphNode, &vesk::FlameGraphNode::children);

template <>
struct std::hash<vesk::FlameGraphNode> {
    std::size_t operator()(const vesk::FlameGraphNode& n) const noexcept {
        return vesk::treeHash(n);
    }
};

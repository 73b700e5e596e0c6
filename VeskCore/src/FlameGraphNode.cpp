#include "vesk/FlameGraphNode.hpp"

#include <algorithm>
#include <charconv>
#include <unordered_map>

namespace vesk {

namespace {

FlameGraphNode nodeOf(const CallFrame& f) {
    FlameGraphNode n;
    n.id = UUID::random();
    n.function = f.function;
    n.file = f.file;
    n.selfTime = f.selfTime;
    n.totalTime = f.totalTime;
    n.callCount = f.callCount;
    return n;
}

// Writes the folded lines of `root` into `out`; `ends`, when given, gets the
// end offset of each line (names may hold line feeds themselves).
void fold(const FlameGraphNode& root, std::string_view prefix, std::string& out,
          std::vector<std::size_t>* ends) {
    // The current node's path is kept in one buffer: a node appends its name,
    // and its next sibling cuts the buffer back to the parent's path.
    std::string path(prefix);
    struct Pending {
        const FlameGraphNode* node;
        std::size_t parentPath;  // length of the parent's path in `path`
    };
    std::vector<Pending> pending{{&root, prefix.size()}};
    while (!pending.empty()) {
        const Pending p = pending.back();
        pending.pop_back();
        // A node's path is its name alone under an empty path, else the
        // parent's path, ";" and its name.
        path.resize(p.parentPath);
        if (p.parentPath > 0) path += ';';
        path += p.node->function;
        if (p.node->selfTime > 0) {
            out += path;
            out += ' ';
            char digits[24];
            const auto r = std::to_chars(digits, digits + sizeof digits, p.node->selfTime);
            out.append(digits, r.ptr);
            if (ends) ends->push_back(out.size());
            out += '\n';
        }
        const auto& children = p.node->children;
        for (std::size_t i = children.size(); i > 0; --i) {
            pending.push_back({&children[i - 1], path.size()});
        }
    }
}

std::int64_t keyOf(const FunctionSummary& s, FunctionSortOrder order) {
    switch (order) {
        case FunctionSortOrder::selfTime:
            return s.selfTime;
        case FunctionSortOrder::totalTime:
            return s.totalTime;
        case FunctionSortOrder::callCount:
            return s.callCount;
    }
    return 0;
}

}  // namespace

FlameGraphNode FlameGraphNode::from(const CallFrame& frame) {
    FlameGraphNode root = nodeOf(frame);
    std::vector<std::pair<const CallFrame*, FlameGraphNode*>> pending{{&frame, &root}};
    while (!pending.empty()) {
        const auto [f, n] = pending.back();
        pending.pop_back();
        if (f->children.empty()) continue;
        // Reserved to the exact count, so the nodes made here never move.
        n->children.reserve(f->children.size());
        for (const CallFrame& c : f->children) {
            FlameGraphNode& made = n->children.emplace_back(nodeOf(c));
            pending.emplace_back(&c, &made);
        }
    }
    return root;
}

std::vector<FlameGraphNode> FlameGraphNode::flattened() const {
    std::vector<FlameGraphNode> out;
    forEachPreOrder(this, 1, [&](const FlameGraphNode& n, std::size_t) { out.push_back(n); });
    return out;
}

void FlameGraphNode::appendFoldedStacks(std::string_view prefix, std::string& out) const {
    fold(*this, prefix, out, nullptr);
}

std::vector<std::string> FlameGraphNode::foldedStacks(std::string_view prefix) const {
    std::string text;
    std::vector<std::size_t> ends;
    fold(*this, prefix, text, &ends);
    std::vector<std::string> lines;
    lines.reserve(ends.size());
    std::size_t start = 0;
    for (const std::size_t end : ends) {
        lines.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return lines;
}

std::vector<FunctionSummary> topFunctions(const std::vector<FlameGraphNode>& roots,
                                          FunctionSortOrder order, std::size_t limit) {
    // Rows in the order their names are first seen; the names are views of
    // the trees, which outlive this call.
    std::vector<FunctionSummary> rows;
    std::unordered_map<std::string_view, std::size_t> rowOf;
    forEachPreOrder(roots.data(), roots.size(), [&](const FlameGraphNode& n, std::size_t) {
        const auto [it, fresh] = rowOf.try_emplace(n.function, rows.size());
        if (fresh) {
            rows.push_back({UUID::random(), n.function, n.file, n.selfTime, n.totalTime,
                            n.callCount});
            return;
        }
        FunctionSummary& row = rows[it->second];
        row.selfTime += n.selfTime;
        row.totalTime += n.totalTime;
        row.callCount += n.callCount;
    });
    std::stable_sort(rows.begin(), rows.end(), [order](const auto& a, const auto& b) {
        return keyOf(a, order) > keyOf(b, order);
    });
    if (rows.size() > limit) rows.resize(limit);
    return rows;
}

}  // namespace vesk

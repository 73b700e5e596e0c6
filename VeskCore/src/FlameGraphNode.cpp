#include "vesk/FlameGraphNode.hpp"

#include <algorithm>
#include <charconv>

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

// Calls emit(path, selfTime) for every node of `root` with self time, in
// pre-order. The current node's path is kept in one buffer: a node appends
// its name, and the next node cuts the buffer back to its parent's path.
template <class Emit>
void fold(const FlameGraphNode& root, std::string_view prefix, Emit&& emit) {
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
        if (p.node->selfTime > 0) emit(std::string_view(path), p.node->selfTime);
        const auto& children = p.node->children;
        for (std::size_t i = children.size(); i > 0; --i) {
            pending.push_back({&children[i - 1], path.size()});
        }
    }
}

struct Digits {
    char text[24];
    std::size_t size;
    explicit Digits(std::int64_t v) {
        const auto r = std::to_chars(text, text + sizeof text, v);
        size = static_cast<std::size_t>(r.ptr - text);
    }
};

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
    fold(*this, prefix, [&out](std::string_view path, std::int64_t self) {
        const Digits d(self);
        out += path;
        out += ' ';
        out.append(d.text, d.size);
        out += '\n';
    });
}

std::vector<std::string> FlameGraphNode::foldedStacks(std::string_view prefix) const {
    // Each line is made once, at its final size.
    std::vector<std::string> lines;
    fold(*this, prefix, [&lines](std::string_view path, std::int64_t self) {
        const Digits d(self);
        std::string& line = lines.emplace_back();
        line.reserve(path.size() + 1 + d.size);
        line += path;
        line += ' ';
        line.append(d.text, d.size);
    });
    return lines;
}

namespace {

// Rows by function name: a flat, open-addressed table of (hash, name, row),
// small enough for the processor's caches however many frames pass.
class RowTable {
  public:
    /// The row of `name`, or `fresh` when it is new (then recorded as `fresh`).
    std::size_t find(std::string_view name, std::size_t fresh) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        const std::size_t h = std::hash<std::string_view>{}(name);
        for (std::size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (s.row == kEmpty) {
                s = {h, name, fresh};
                ++used_;
                return fresh;
            }
            if (s.hash == h && s.name == name) return s.row;
        }
    }

  private:
    static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);
    struct Slot {
        std::size_t hash = 0;
        std::string_view name;
        std::size_t row = kEmpty;
    };
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
        for (const Slot& s : old) {
            if (s.row == kEmpty) continue;
            std::size_t i = s.hash & (slots_.size() - 1);
            while (slots_[i].row != kEmpty) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = s;
        }
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace

std::vector<FunctionSummary> topFunctions(const std::vector<FlameGraphNode>& roots,
                                          FunctionSortOrder order, std::size_t limit) {
    // Rows in the order their names are first seen; the names are views of
    // the trees, which outlive this call.
    struct Row {
        const FlameGraphNode* first;
        std::int64_t selfTime;
        std::int64_t totalTime;
        std::int64_t callCount;
    };
    std::vector<Row> rows;
    RowTable table;
    forEachPreOrder(roots.data(), roots.size(), [&](const FlameGraphNode& n, std::size_t) {
        const std::size_t row = table.find(n.function, rows.size());
        if (row == rows.size()) {
            rows.push_back({&n, n.selfTime, n.totalTime, n.callCount});
            return;
        }
        Row& r = rows[row];
        r.selfTime += n.selfTime;
        r.totalTime += n.totalTime;
        r.callCount += n.callCount;
    });
    const auto key = [order](const Row& r) {
        switch (order) {
            case FunctionSortOrder::selfTime:
                return r.selfTime;
            case FunctionSortOrder::totalTime:
                return r.totalTime;
            case FunctionSortOrder::callCount:
                return r.callCount;
        }
        return std::int64_t{0};
    };
    std::stable_sort(rows.begin(), rows.end(),
                     [&key](const Row& a, const Row& b) { return key(a) > key(b); });
    if (rows.size() > limit) rows.resize(limit);
    // Each returned row gets its fresh identity; rows cut off never needed one.
    std::vector<FunctionSummary> out;
    out.reserve(rows.size());
    for (const Row& r : rows) {
        out.push_back({UUID::random(), r.first->function, r.first->file, r.selfTime, r.totalTime,
                       r.callCount});
    }
    return out;
}

}  // namespace vesk

#include "vesk/debugging/FlameGraphNode.hpp"

#include "vesk/foundation/NumberText.hpp"

#include "vesk/foundation/Unicode.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>

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

// ---------------------------------------------------------------------------
// Flame graphs as SVG pictures

namespace vesk {

namespace {

constexpr double kMargin = 10;
constexpr double kHeader = 54;    // title, buttons and the search result
constexpr double kFooter = 24;    // the line that names the frame under the pointer
constexpr double kCharWidth = 7;  // of the 12 px monospace-ish label font

// The script of the picture: zoom, reset, search. Frames are <g class="f">
// each holding a title (function, file, times), a rect and a text.
constexpr std::string_view kScript = R"JS(
"use strict";
var frames = [], W = 0, M = 10, details, matchedText, zoomed = null;
function init() {
  var svg = document.documentElement;
  W = +svg.getAttribute("width") - 2 * M;
  details = document.getElementById("details");
  matchedText = document.getElementById("matched");
  var gs = document.getElementsByClassName("f");
  for (var i = 0; i < gs.length; i++) {
    var g = gs[i], r = g.getElementsByTagName("rect")[0], t = g.getElementsByTagName("text")[0];
    var lines = g.getElementsByTagName("title")[0].textContent.split("\n");
    var f = {g: g, r: r, t: t, x: +r.getAttribute("x"), w: +r.getAttribute("width"),
             y: +r.getAttribute("y"), name: lines[0], info: lines.join(" "),
             fill: r.getAttribute("fill")};
    g.vf = f;
    frames.push(f);
    g.addEventListener("click", function (e) { zoom(this.vf); e.stopPropagation(); });
    g.addEventListener("mouseover", function () { details.textContent = this.vf.info; });
    g.addEventListener("mouseout", function () { details.textContent = " "; });
  }
  document.getElementById("reset").addEventListener("click", reset);
  document.getElementById("search").addEventListener("click", function () {
    var term = prompt("Search for a function (a regular expression)", "");
    if (term !== null) search(term);
  });
  var hash = decodeURIComponent(location.hash || "");
  if (hash.indexOf("#search=") === 0) search(hash.substring(8));
}
function fit(f, x, w) {
  f.r.setAttribute("x", x.toFixed(2));
  f.r.setAttribute("width", w.toFixed(2));
  if (!f.t) return;
  f.t.setAttribute("x", (x + 3).toFixed(2));
  var chars = Math.floor((w - 6) / 7);
  f.t.textContent = chars < 3 ? "" : f.name.length <= chars ? f.name
                  : f.name.substring(0, chars - 2) + "..";
}
function zoom(target) {
  zoomed = target;
  var scale = W / target.w;
  for (var i = 0; i < frames.length; i++) {
    var f = frames[i];
    var inside = f.x >= target.x - 1e-6 && f.x + f.w <= target.x + target.w + 1e-6;
    var below = f.y > target.y && f.x <= target.x + 1e-6 && f.x + f.w >= target.x + target.w - 1e-6;
    if (f.y <= target.y && inside) {
      f.g.style.display = "";
      fit(f, M + (f.x - target.x) * scale, f.w * scale);
    } else if (below) {
      f.g.style.display = "";
      f.g.style.opacity = "0.5";
      fit(f, M, W);
    } else {
      f.g.style.display = "none";
    }
  }
  document.getElementById("reset").style.opacity = "1";
}
function reset() {
  zoomed = null;
  for (var i = 0; i < frames.length; i++) {
    var f = frames[i];
    f.g.style.display = "";
    f.g.style.opacity = "";
    fit(f, f.x, f.w);
  }
  document.getElementById("reset").style.opacity = "0.3";
}
function search(term) {
  var re;
  try { re = new RegExp(term); } catch (e) { re = null; }
  var spans = [];
  for (var i = 0; i < frames.length; i++) {
    var f = frames[i];
    var hit = term !== "" && (re ? re.test(f.name) : f.name.indexOf(term) >= 0);
    f.r.setAttribute("fill", hit ? "rgb(230,0,230)" : f.fill);
    if (hit) spans.push([f.x, f.x + f.w]);
  }
  // Nested matches count once: the union of their spans.
  spans.sort(function (a, b) { return a[0] - b[0]; });
  var covered = 0, end = -Infinity;
  for (var j = 0; j < spans.length; j++) {
    var s = Math.max(spans[j][0], end), e2 = spans[j][1];
    if (e2 > s) covered += e2 - s;
    end = Math.max(end, e2);
  }
  var share = W > 0 ? 100 * covered / W : 0;
  matchedText.textContent = term === "" ? " " : "Matched: " + share.toFixed(2) + "%";
  document.documentElement.setAttribute("data-matched", share.toFixed(2));
}
window.addEventListener("load", init);
)JS";

std::uint32_t nameHash(std::string_view name) {
    std::uint32_t h = 2166136261U;
    for (const char c : name) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619U;
    }
    return h;
}

void appendFixed(std::string& out, double v) {
    NumberText::appendFixed(out, v, 2);
}

void appendInt(std::string& out, std::int64_t v) {
    const Digits d(v);
    out.append(d.text, d.size);
}

/// How many characters `text` has (UTF-8 lead bytes).
std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

using Colour = std::function<void(std::string&, const FlameGraphNode&)>;

struct Placed {
    const FlameGraphNode* node;
    double x;
    double width;
    std::size_t depth;
};

/// Calls `visit` for every frame drawn, in pre-order, with its place.
/// Returns the frames left out for being too narrow or too deep.
template <class Visit>
std::size_t layOut(const std::vector<FlameGraphNode>& roots, const FlameGraphStyle& style,
                   Visit&& visit) {
    double total = 0;
    for (const auto& r : roots)
        total += static_cast<double>(std::max<std::int64_t>(r.totalTime, 0));
    const double drawWidth = style.width - 2 * kMargin;
    const double scale = total > 0 ? drawWidth / total : 0;
    std::size_t leftOut = 0;
    std::vector<Placed> pending;
    std::vector<Placed> children;
    const auto place = [&](const FlameGraphNode* n, double x, double end, std::size_t depth) {
        const double w =
            std::min(static_cast<double>(std::max<std::int64_t>(n->totalTime, 0)) * scale, end - x);
        if (w < style.minimumWidth || depth >= style.maxDepth) {
            ++leftOut;
            return x;
        }
        children.push_back({n, x, w, depth});
        return x + w;
    };
    double x = kMargin;
    for (const auto& r : roots) x = place(&r, x, kMargin + drawWidth, 0);
    pending.assign(children.rbegin(), children.rend());
    children.clear();
    while (!pending.empty()) {
        const Placed p = pending.back();
        pending.pop_back();
        visit(p);
        double cx = p.x;
        for (const auto& child : p.node->children)
            cx = place(&child, cx, p.x + p.width, p.depth + 1);
        pending.insert(pending.end(), children.rbegin(), children.rend());
        children.clear();
    }
    return leftOut;
}

std::string render(const std::vector<FlameGraphNode>& roots, const FlameGraphStyle& style,
                   const Colour& colour,
                   const std::function<void(std::string&, const FlameGraphNode&)>& extra) {
    std::size_t levels = 0;
    std::size_t drawn = 0;
    const std::size_t leftOut = layOut(roots, style, [&](const Placed& p) {
        levels = std::max(levels, p.depth + 1);
        ++drawn;
    });
    double total = 0;
    for (const auto& r : roots)
        total += static_cast<double>(std::max<std::int64_t>(r.totalTime, 0));
    const double height = kHeader + static_cast<double>(levels) * style.frameHeight + kFooter;
    const double base = height - kFooter;  // the bottom of the lowest level

    std::string out;
    out.reserve(4096 + drawn * 230);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n";
    out += "<svg version=\"1.1\" xmlns=\"http://www.w3.org/2000/svg\" width=\"";
    appendFixed(out, style.width);
    out += "\" height=\"";
    appendFixed(out, height);
    out += "\" viewBox=\"0 0 ";
    appendFixed(out, style.width);
    out += ' ';
    appendFixed(out, height);
    out += "\" font-family=\"Verdana, sans-serif\" font-size=\"12\">\n";
    out +=
        "<style>.f:hover rect { stroke: black; stroke-width: 0.5; cursor: pointer; }"
        " .f text { pointer-events: none; fill: black; }"
        " .b { cursor: pointer; fill: rgb(0,0,160); }</style>\n";
    out += "<script type=\"text/ecmascript\"><![CDATA[";
    out += kScript;
    out += "]]></script>\n";
    out += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"rgb(248,248,248)\"/>\n";
    out += "<text x=\"";
    appendFixed(out, style.width / 2);
    out += "\" y=\"22\" text-anchor=\"middle\" font-size=\"16\">";
    Unicode::appendXMLEscaped(out, style.title);
    out +=
        "</text>\n<text id=\"reset\" class=\"b\" x=\"10\" y=\"44\" opacity=\"0.3\">Reset "
        "Zoom</text>\n";
    out += "<text id=\"search\" class=\"b\" x=\"";
    appendFixed(out, style.width - 70);
    out += "\" y=\"44\">Search</text>\n<text id=\"matched\" x=\"";
    appendFixed(out, style.width - 220);
    out += "\" y=\"44\"> </text>\n";
    out += "<text id=\"details\" x=\"10\" y=\"";
    appendFixed(out, height - 8);
    out += "\"> </text>\n";
    if (leftOut > 0) {
        out += "<text x=\"";
        appendFixed(out, style.width - 10);
        out += "\" y=\"";
        appendFixed(out, height - 8);
        out += "\" text-anchor=\"end\" fill=\"rgb(120,120,120)\">";
        appendInt(out, static_cast<std::int64_t>(leftOut));
        out += " frames too narrow or too deep to draw</text>\n";
    }

    const double frameBox = std::max(style.frameHeight - 1, 1.0);
    layOut(roots, style, [&](const Placed& p) {
        const FlameGraphNode& n = *p.node;
        const double y = base - static_cast<double>(p.depth + 1) * style.frameHeight;
        out += "<g class=\"f\"><title>";
        Unicode::appendXMLEscaped(out, n.function);
        out += '\n';
        Unicode::appendXMLEscaped(out, n.file);
        out += "\nself ";
        appendInt(out, n.selfTime);
        out += ", total ";
        appendInt(out, n.totalTime);
        out += " (";
        appendFixed(out, total > 0 ? 100.0 * static_cast<double>(n.totalTime) / total : 0);
        out += "%)";
        extra(out, n);
        out += "</title><rect x=\"";
        appendFixed(out, p.x);
        out += "\" y=\"";
        appendFixed(out, y);
        out += "\" width=\"";
        appendFixed(out, p.width);
        out += "\" height=\"";
        appendFixed(out, frameBox);
        out += "\" fill=\"";
        colour(out, n);
        out += "\" rx=\"2\"/>";
        const auto chars = static_cast<std::size_t>(std::max((p.width - 6) / kCharWidth, 0.0));
        if (chars >= 3) {
            out += "<text x=\"";
            appendFixed(out, p.x + 3);
            out += "\" y=\"";
            appendFixed(out, y + style.frameHeight - 4.5);
            out += "\">";
            if (characters(n.function) <= chars) {
                Unicode::appendXMLEscaped(out, n.function);
            } else {
                Unicode::appendXMLEscaped(out, n.function, chars - 2);
                out += "..";
            }
            out += "</text>";
        }
        out += "</g>\n";
    });
    out += "</svg>\n";
    return out;
}

void appendRGB(std::string& out, int r, int g, int b) {
    out += "rgb(";
    appendInt(out, r);
    out += ',';
    appendInt(out, g);
    out += ',';
    appendInt(out, b);
    out += ')';
}

}  // namespace

std::string flameGraphSVG(const std::vector<FlameGraphNode>& roots, const FlameGraphStyle& style) {
    // Warm colours, the same for a function name in every picture.
    const Colour warm = [](std::string& out, const FlameGraphNode& n) {
        const std::uint32_t h = nameHash(n.function);
        appendRGB(out, 205 + static_cast<int>(h % 50), 90 + static_cast<int>((h >> 8) % 140),
                  static_cast<int>((h >> 16) % 60));
    };
    return render(roots, style, warm, [](std::string&, const FlameGraphNode&) {});
}

std::string differentialFlameGraphSVG(
    const std::vector<FlameGraphNode>& roots,
    const std::function<double(std::string_view function)>& change, const FlameGraphStyle& style) {
    const auto intensity = [&](const FlameGraphNode& n) {
        const double pct = change(n.function);
        return std::isfinite(pct) ? std::clamp(pct / 100.0, -1.0, 1.0) : (pct > 0 ? 1.0 : -1.0);
    };
    const Colour byChange = [&](std::string& out, const FlameGraphNode& n) {
        const double i = intensity(n);
        const int fade = 250 - static_cast<int>(std::abs(i) * 200);
        if (i > 0) {
            appendRGB(out, 250, fade, fade);
        } else if (i < 0) {
            appendRGB(out, fade, fade, 250);
        } else {
            appendRGB(out, 250, 250, 250);
        }
    };
    const auto changeLine = [&](std::string& out, const FlameGraphNode& n) {
        const double pct = change(n.function);
        out += "\nchange ";
        if (pct > 0) out += '+';
        if (std::isfinite(pct)) {
            appendFixed(out, pct);
            out += '%';
        } else {
            out += pct > 0 ? "new" : "gone";
        }
    };
    return render(roots, style, byChange, changeLine);
}

}  // namespace vesk

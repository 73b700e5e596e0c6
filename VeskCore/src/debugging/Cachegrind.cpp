#include "vesk/debugging/Cachegrind.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vesk::cachegrind {

namespace {

std::int64_t add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

/// One call as its block tells it.
struct Call {
    std::size_t function = 0;  ///< into the names
    std::size_t file = 0;
    std::int64_t line = 0;
    std::int64_t time = 0;
    std::int64_t memory = 0;
    std::uint32_t callees = 0;
    bool lineSeen = false;
};

/// A frame of the merged tree while it is built.
struct Node {
    std::size_t function = 0;
    std::size_t file = 0;
    std::int64_t line = 0;
    std::int64_t selfTime = 0;
    std::int64_t totalTime = 0;
    std::int64_t selfMemory = 0;
    std::int64_t totalMemory = 0;
    std::int64_t calls = 0;
    std::size_t parent = 0;
    std::size_t firstCall = 0;  ///< where its first call is in the file's order
    std::vector<std::size_t> children;
};

class Reader {
  public:
    Reader(const std::string& label, const Limits& limits) : label_(label), limits_(limits) {
        names_.emplace_back();  // 0: no name
    }

    void line(std::string_view text) {
        ++lineNumber_;
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (text.empty() || text.front() == '#') return;
        const char first = text.front();
        if ((first >= '0' && first <= '9') || first == '+' || first == '-' || first == '*') {
            cost(text);
            return;
        }
        const auto equals = text.find('=');
        const auto colon = text.find(':');
        if (equals != std::string_view::npos &&
            (colon == std::string_view::npos || equals < colon)) {
            assignment(text.substr(0, equals), text.substr(equals + 1));
        } else if (colon != std::string_view::npos) {
            header(text.substr(0, colon), trimmed(text.substr(colon + 1)));
        } else {
            fail("is neither a cost, a name nor a header line");
        }
    }

    ProfileRun finish() {
        endCall();
        if (calls_.empty()) fail("holds no call: no profile");
        return build();
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw FormatError("line " + std::to_string(lineNumber_) + " " + what);
    }
    /// The line being gathered is over the limit.
    [[noreturn]] void tooLong() const {
        throw FormatError("line " + std::to_string(lineNumber_ + 1) + " is longer than the limit");
    }

  private:
    static std::string_view trimmed(std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
        return s;
    }

    void header(std::string_view key, std::string_view value) {
        if (key == "cmd") {
            command_ = std::string(value);
        } else if (key == "events") {
            events(value);
        } else if (key == "summary" || key == "totals") {
            std::vector<std::int64_t> totals;
            numbers(value, totals);
            summary_ = totals;
        }
        // version, creator, part, positions and the rest say nothing needed.
    }

    void events(std::string_view value) {
        eventsSeen_ = true;
        std::size_t index = 0;
        while (!value.empty()) {
            const auto space = value.find(' ');
            const std::string_view name = value.substr(0, space);
            if (name.rfind("Time", 0) == 0) {
                timeColumn_ = index;
                if (name == "Time_(10ns)") timeDivisor_ = 100;
                if (name == "Time_(ns)") timeDivisor_ = 1000;
            } else if (name.rfind("Memory", 0) == 0) {
                memoryColumn_ = index;
            }
            if (!name.empty()) ++index;
            if (space == std::string_view::npos) break;
            value.remove_prefix(space + 1);
        }
        if (!timeColumn_) fail("names no Time event");
    }

    /// "(N) name", "(N)" or "name": the name's index among the names.
    std::size_t name(std::string_view value, std::unordered_map<std::int64_t, std::size_t>& ids) {
        value = trimmed(value);
        if (!value.empty() && value.front() == '(') {
            const auto close = value.find(')');
            if (close == std::string_view::npos) fail("has a name that is no \"(N) name\"");
            std::int64_t id = 0;
            const auto [end, error] = std::from_chars(value.data() + 1, value.data() + close, id);
            if (error != std::errc() || end != value.data() + close) {
                fail("has a name that is no \"(N) name\"");
            }
            const std::string_view rest = trimmed(value.substr(close + 1));
            if (rest.empty()) {
                const auto known = ids.find(id);
                if (known == ids.end())
                    fail("names (" + std::to_string(id) + ") before it is defined");
                return known->second;
            }
            const std::size_t index = intern(rest);
            ids[id] = index;
            return index;
        }
        return intern(value);
    }

    std::size_t intern(std::string_view text) {
        const auto [at, added] = interned_.try_emplace(std::string(text), names_.size());
        if (added) names_.push_back(at->first);
        return at->second;
    }

    void assignment(std::string_view key, std::string_view value) {
        if (key == "fl" || key == "fi" || key == "fe") {
            const std::size_t file = name(value, files_);
            if (key == "fl") {
                endCall();
                file_ = file;
            }
        } else if (key == "fn") {
            endCall();
            if (calls_.size() >= limits_.calls) {
                fail("is one call more than " + std::to_string(limits_.calls) + ": too large");
            }
            Call c;
            c.function = name(value, functions_);
            c.file = file_;
            current_ = c;
        } else if (key == "cfl" || key == "cfi") {
            name(value, files_);
        } else if (key == "cfn") {
            if (!current_) fail("names a callee outside a function's block");
            calleeNames_.push_back(name(value, functions_));
        } else if (key == "calls") {
            if (!current_ || calleeNames_.size() != current_->callees + 1U) {
                fail("has calls= without its cfn= line");
            }
            ++current_->callees;
            callCostNext_ = true;
        }
        // Any other key (ob=, jump=, ...) is not Xdebug's and is left out.
    }

    void numbers(std::string_view text, std::vector<std::int64_t>& out) {
        out.clear();
        while (!text.empty()) {
            const auto space = text.find_first_of(" \t");
            const std::string_view word = text.substr(0, space);
            if (!word.empty()) {
                std::int64_t n = 0;
                const auto [end, error] =
                    std::from_chars(word.data(), word.data() + word.size(), n);
                if (error != std::errc() || end != word.data() + word.size()) {
                    fail("has a cost that is no whole number");
                }
                out.push_back(n);
            }
            if (space == std::string_view::npos) break;
            text.remove_prefix(space + 1);
        }
    }

    void cost(std::string_view text) {
        if (!eventsSeen_) fail("has a cost before the events: line: not a cachegrind file");
        if (!current_) fail("has a cost outside a function's block");
        // The position first ("+N", "-N" and "*" are relative to the last).
        const auto space = text.find_first_of(" \t");
        const std::string_view position = text.substr(0, space);
        std::int64_t line = 0;
        const bool relative = position.front() == '+' || position.front() == '-';
        if (position != "*") {
            const std::string_view digits = position.substr(position.front() == '+' ? 1 : 0);
            const auto [end, error] =
                std::from_chars(digits.data(), digits.data() + digits.size(), line);
            if (error != std::errc() || end != digits.data() + digits.size()) {
                fail("has a position that is no line number");
            }
        }
        line = relative || position == "*" ? add(lastLine_, line) : line;
        lastLine_ = line;
        numbers(space == std::string_view::npos ? std::string_view() : text.substr(space + 1),
                costs_);
        if (callCostNext_) {
            callCostNext_ = false;  // the callee's inclusive cost: its own block has it
            return;
        }
        if (!current_->lineSeen) {
            current_->line = line;
            current_->lineSeen = true;
        }
        const auto column = [&](std::optional<std::size_t> c) {
            return c && *c < costs_.size() ? costs_[*c] : 0;
        };
        current_->time = add(current_->time, column(timeColumn_));
        current_->memory = add(current_->memory, column(memoryColumn_));
    }

    /// The block ends: the calls it names are the last calls that ended and
    /// have no caller yet, in the order they were made.
    void endCall() {
        if (!current_) return;
        const std::size_t n = current_->callees;
        if (n > waiting_.size()) fail("names a call that was not profiled before it");
        const std::size_t from = waiting_.size() - n;
        const std::size_t self = calls_.size();
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t callee = waiting_[from + i];
            if (calls_[callee].function != calleeNames_[i]) {
                fail("names a call its block did not make: not a profile of Xdebug's");
            }
            parents_[callee] = self;
        }
        waiting_.resize(from);
        waiting_.push_back(self);
        calls_.push_back(*current_);
        parents_.push_back(kNone);
        current_.reset();
        calleeNames_.clear();
        callCostNext_ = false;
    }

    ProfileRun build() {
        // Callers come after their callees: from the last call back, each
        // call is merged into its caller's frame of the same function.
        std::vector<std::size_t> nodeOf(calls_.size());
        std::vector<Node> nodes(1);  // 0: above the calls no one made
        std::unordered_map<std::uint64_t, std::size_t> byParent;
        for (std::size_t i = calls_.size(); i-- > 0;) {
            const Call& c = calls_[i];
            const std::size_t parent = parents_[i] == kNone ? 0 : nodeOf[parents_[i]];
            const std::uint64_t key = (static_cast<std::uint64_t>(parent) << 32) ^ c.function;
            auto [found, added] = byParent.try_emplace(key, nodes.size());
            if (added) {
                Node n;
                n.function = c.function;
                n.file = c.file;
                n.line = c.line;
                n.parent = parent;
                nodes.push_back(n);
                nodes[parent].children.push_back(found->second);
            }
            Node& n = nodes[found->second];
            n.selfTime = add(n.selfTime, c.time);
            n.selfMemory = add(n.selfMemory, c.memory);
            n.calls = add(n.calls, 1);
            n.firstCall = i;
            nodeOf[i] = found->second;
        }
        for (std::size_t i = nodes.size(); i-- > 1;) {
            Node& n = nodes[i];
            n.totalTime = add(n.totalTime, n.selfTime);
            n.totalMemory = add(n.totalMemory, n.selfMemory);
            nodes[n.parent].totalTime = add(nodes[n.parent].totalTime, n.totalTime);
            nodes[n.parent].totalMemory = add(nodes[n.parent].totalMemory, n.totalMemory);
        }
        const auto scaled = [&](std::int64_t t) {
            return timeDivisor_ == 1 ? t : (t + timeDivisor_ / 2) / timeDivisor_;
        };
        std::vector<CallFrame> built(nodes.size());
        for (std::size_t i = nodes.size(); i-- > 0;) {
            Node& n = nodes[i];
            std::sort(n.children.begin(), n.children.end(), [&](std::size_t a, std::size_t b) {
                return nodes[a].firstCall < nodes[b].firstCall;
            });
            CallFrame& f = built[i];
            f.id = UUID::random();
            f.function = names_[n.function];
            f.file = names_[n.file];
            f.line = n.line;
            f.selfTime = scaled(n.selfTime);
            f.totalTime = scaled(n.totalTime);
            f.selfMemory = n.selfMemory;
            f.totalMemory = n.totalMemory;
            f.callCount = n.calls;
            std::vector<CallFrame> callees;
            callees.reserve(n.children.size());
            for (const std::size_t c : n.children) callees.push_back(std::move(built[c]));
            f.children = SharedChildren<CallFrame>(std::move(callees));
        }
        ProfileRun run;
        run.id = UUID::random();
        for (const CallFrame& root : built[0].children) run.frames.push_back(root);
        run.totalTime = scaled(nodes[0].totalTime);
        run.totalMemory = nodes[0].totalMemory;
        if (summary_ && timeColumn_ && *timeColumn_ < summary_->size()) {
            run.totalTime = scaled((*summary_)[*timeColumn_]);
            if (memoryColumn_ && *memoryColumn_ < summary_->size()) {
                run.totalMemory = (*summary_)[*memoryColumn_];
            }
        }
        run.date = Date::now();
        run.requestURI = command_;
        run.label = label_;
        return run;
    }

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    std::string label_;
    Limits limits_;
    std::size_t lineNumber_ = 0;
    std::vector<std::string> names_;
    std::unordered_map<std::string, std::size_t> interned_;
    std::unordered_map<std::int64_t, std::size_t> files_;
    std::unordered_map<std::int64_t, std::size_t> functions_;
    std::string command_;
    bool eventsSeen_ = false;
    std::optional<std::size_t> timeColumn_;
    std::optional<std::size_t> memoryColumn_;
    std::int64_t timeDivisor_ = 1;
    std::optional<std::vector<std::int64_t>> summary_;
    std::size_t file_ = 0;
    std::optional<Call> current_;
    std::vector<std::size_t> calleeNames_;
    bool callCostNext_ = false;
    std::int64_t lastLine_ = 0;
    std::vector<std::int64_t> costs_;
    std::vector<Call> calls_;
    std::vector<std::size_t> parents_;
    std::vector<std::size_t> waiting_;  ///< calls that ended and have no caller yet
};

}  // namespace

bool looksLike(std::string_view start) {
    for (const std::string_view opening :
         {"version:", "# callgrind format", "creator:", "events:"}) {
        if (start.rfind(opening, 0) == 0) return true;
    }
    return false;
}

ProfileRun read(std::istream& in, const std::string& label, const Limits& limits) {
    Reader reader(label, limits);
    char buffer[1 << 16];
    std::string pending;
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        std::string_view piece(buffer, static_cast<std::size_t>(in.gcount()));
        while (!piece.empty()) {
            const auto newline = piece.find('\n');
            if (newline == std::string_view::npos) {
                pending.append(piece);
                if (pending.size() > limits.lineLength) reader.tooLong();
                break;
            }
            if (pending.empty()) {
                reader.line(piece.substr(0, newline));
            } else {
                pending.append(piece.substr(0, newline));
                if (pending.size() > limits.lineLength) reader.tooLong();
                reader.line(pending);
                pending.clear();
            }
            piece.remove_prefix(newline + 1);
        }
    }
    if (!pending.empty()) reader.line(pending);
    return reader.finish();
}

}  // namespace vesk::cachegrind

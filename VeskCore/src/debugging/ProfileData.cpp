#include "vesk/debugging/ProfileData.hpp"

#include <charconv>
#include <limits>
#include <unordered_map>

#include "vesk/foundation/Unicode.hpp"

namespace vesk {

std::string CallFrame::module() const {
    if (file.empty()) return "unknown";
    std::string_view name(file);
    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    if (const auto slash = name.rfind('/'); slash != std::string_view::npos) {
        name.remove_prefix(slash + 1);
    }
    // The extension is what follows the last dot, unless the dot starts the name.
    if (const auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) {
        name = name.substr(0, dot);
    }
    return std::string(name);
}

}  // namespace vesk

namespace vesk {

namespace {

/// A frame while the stacks are read: its name, self time and callees.
struct Building {
    std::string_view function;
    std::int64_t self = 0;
    std::int64_t total = 0;
    std::size_t parent = 0;
    std::vector<std::size_t> children;
};

std::int64_t saturatedAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::int64_t>::max() : sum;
}

}  // namespace

ProfileRun profileFromFoldedStacks(std::string_view text, const std::string& label,
                                   std::size_t& skipped) {
    skipped = 0;
    // Frame 0 is a root above the stacks' first frames; each frame is found
    // among its parent's callees by (parent, name).
    std::vector<Building> frames(1);
    std::unordered_map<std::string, std::size_t> byPath;
    std::string key;
    for (std::string_view line : Unicode::lines(text)) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.empty()) continue;
        const auto space = line.find_last_of(' ');
        std::int64_t count = 0;
        const std::string_view digits =
            space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), count);
        const std::string_view stack =
            space == std::string_view::npos ? std::string_view() : line.substr(0, space);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            count < 0 || stack.empty()) {
            ++skipped;
            continue;
        }
        std::size_t at = 0;
        std::size_t start = 0;
        while (start <= stack.size()) {
            const auto semicolon = stack.find(';', start);
            const std::string_view name =
                stack.substr(start, semicolon == std::string_view::npos ? std::string_view::npos
                                                                        : semicolon - start);
            key.assign(std::to_string(at)).append(1, '\0').append(name);
            const auto [found, added] = byPath.try_emplace(key, frames.size());
            if (added) {
                frames.push_back(Building{name, 0, 0, at, {}});
                frames[at].children.push_back(found->second);
            }
            at = found->second;
            if (semicolon == std::string_view::npos) break;
            start = semicolon + 1;
        }
        frames[at].self = saturatedAdd(frames[at].self, count);
    }
    // Callees come after their callers: totals add up from the last frame back.
    for (std::size_t i = frames.size(); i-- > 1;) {
        frames[i].total = saturatedAdd(frames[i].total, frames[i].self);
        frames[frames[i].parent].total =
            saturatedAdd(frames[frames[i].parent].total, frames[i].total);
    }
    std::vector<CallFrame> built(frames.size());
    for (std::size_t i = frames.size(); i-- > 1;) {
        CallFrame& f = built[i];
        f.id = UUID::random();
        f.function = std::string(frames[i].function);
        f.selfTime = frames[i].self;
        f.totalTime = frames[i].total;
        f.callCount = 1;
        std::vector<CallFrame> callees;
        callees.reserve(frames[i].children.size());
        for (const std::size_t c : frames[i].children) callees.push_back(std::move(built[c]));
        f.children = SharedChildren<CallFrame>(std::move(callees));
    }
    ProfileRun run;
    run.id = UUID::random();
    for (const std::size_t c : frames[0].children) run.frames.push_back(std::move(built[c]));
    run.totalTime = frames[0].total;
    run.date = Date::now();
    run.label = label;
    return run;
}

}  // namespace vesk

// Text rules fed arbitrary bytes: environment files, code-snippet windows,
// fuzzy matching, numeric version order, and folded stacks of trees built
// from the input (both forms must give the same text).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "vesk/app/GitHubRelease.hpp"
#include "vesk/app/QuickSwitcherTypes.hpp"
#include "vesk/debugging/ErrorEntry.hpp"
#include "vesk/debugging/FlameGraphNode.hpp"
#include "vesk/services/PHPVersion.hpp"
#include "vesk/sites/SiteInfo.hpp"

namespace {

// A tree from the bytes: each byte makes a node, its low bits say how many
// levels to climb before it is added; names are slices of the input.
vesk::FlameGraphNode treeOf(std::string_view bytes) {
    std::vector<vesk::FlameGraphNode> flat(1);
    std::vector<std::size_t> parent(1, 0);
    std::vector<std::size_t> path{0};
    for (std::size_t i = 0; i < bytes.size() && flat.size() < 4096; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const std::size_t climb = b & 3;
        while (path.size() > 1 && path.size() > climb && climb > 0) {
            path.pop_back();
            if (path.size() <= climb) break;
        }
        vesk::FlameGraphNode n;
        n.function = std::string(bytes.substr(i, 1 + (b >> 5)));
        n.selfTime = static_cast<std::int64_t>(b) - 64;
        parent.push_back(path.back());
        path.push_back(flat.size());
        flat.push_back(std::move(n));
    }
    for (std::size_t i = flat.size(); i-- > 1;) {
        flat[parent[i]].children.push_back(std::move(flat[i]));
    }
    // Children were added last first; order does not matter to the property.
    return std::move(flat[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 3, size - 3);
    const auto half = text.size() / 2;
    switch (data[0] % 5) {
        case 0:
            (void)vesk::SiteInfo::parseServices(text);
            break;
        case 1: {
            const auto line =
                static_cast<std::int64_t>(static_cast<std::int8_t>(data[1])) * 1000003;
            const auto context = static_cast<std::int64_t>(static_cast<std::int8_t>(data[2]));
            const auto s = vesk::CodeSnippet::from(text, line, context);
            for (std::size_t i = 1; i < s.lines.size(); ++i) {
                if (s.lines[i].number != s.lines[i - 1].number + 1) std::abort();
            }
            break;
        }
        case 2: {
            const std::string_view q = text.substr(0, half);
            const std::string_view t = text.substr(half);
            const bool m = vesk::fuzzyMatch(q, t);
            // A control character breaks clusters on both sides, so the text
            // stays a part of the longer one, character for character.
            const std::string longer = std::string(t) + '\x01' + std::string(t);
            if (m && !vesk::fuzzyMatch(q, longer)) std::abort();
            if (!vesk::fuzzyMatch("", t)) std::abort();
            break;
        }
        case 3: {
            const std::string_view a = text.substr(0, half);
            const std::string_view b = text.substr(half);
            if (vesk::compareNumerically(a, b) != -vesk::compareNumerically(b, a)) std::abort();
            if (vesk::compareNumerically(a, a) != 0) std::abort();
            (void)vesk::GitHubRelease::isNewer(a, b);
            break;
        }
        default: {
            const auto tree = treeOf(text);
            std::string streamed;
            tree.appendFoldedStacks(std::string_view(reinterpret_cast<const char*>(data) + 1, 2),
                                    streamed);
            std::string joined;
            for (const auto& l :
                 tree.foldedStacks(std::string_view(reinterpret_cast<const char*>(data) + 1, 2))) {
                joined += l;
                joined += '\n';
            }
            if (joined != streamed) std::abort();
            (void)vesk::topFunctions({tree}, vesk::FunctionSortOrder::callCount, 5);
            if (!(vesk::FlameGraphNode(tree) == tree)) std::abort();
        }
    }
    return 0;
}

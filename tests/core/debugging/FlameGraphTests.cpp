// Flame graphs as pictures, profiles read from folded stacks, and the change
// between two runs.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "vesk/debugging/FlameGraphNode.hpp"
#include "vesk/debugging/ProfileDiff.hpp"

namespace {

using vesk::FlameGraphNode;

FlameGraphNode node(const std::string& name, std::int64_t self, std::int64_t total,
                    std::vector<FlameGraphNode> children = {}) {
    FlameGraphNode n;
    n.function = name;
    n.selfTime = self;
    n.totalTime = total;
    n.children = vesk::SharedChildren<FlameGraphNode>(std::move(children));
    return n;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(FlameGraphSVG, FramesAreAsWideAsTheirTimesAndEveryTextIsEscaped) {
    const auto root =
        node("main", 10, 100, {node("a<b>&\"c\"'", 50, 50), node("bad\xff\x01utf8", 40, 40)});
    const std::string svg = vesk::flameGraphSVG({root});
    EXPECT_EQ(count(svg, "<g class=\"f\">"), 3U);
    // 1200 wide with 10 px margins: 1180 for 100.
    EXPECT_NE(svg.find("width=\"1180.00\""), std::string::npos);
    EXPECT_NE(svg.find("width=\"590.00\""), std::string::npos);
    EXPECT_NE(svg.find("width=\"472.00\""), std::string::npos);
    EXPECT_NE(svg.find("a&lt;b&gt;&amp;&quot;c&quot;&apos;"), std::string::npos);
    EXPECT_EQ(svg.find("a<b>"), std::string::npos);
    // Not UTF-8 becomes U+FFFD; control characters, which XML cannot carry, go.
    EXPECT_NE(svg.find("bad\xEF\xBF\xBDutf8"), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
    EXPECT_NE(svg.find("(50.00%)"), std::string::npos);
    // The same name has the same colour in every picture.
    const std::string again = vesk::flameGraphSVG({node("main", 1, 1)});
    const std::regex fill("<title>main\\n[^<]*</title><rect [^>]*fill=\"(rgb\\([0-9,]+\\))\"");
    std::smatch a;
    std::smatch b;
    ASSERT_TRUE(std::regex_search(svg, a, fill));
    ASSERT_TRUE(std::regex_search(again, b, fill));
    EXPECT_EQ(a[1], b[1]);
}

TEST(FlameGraphSVG, HugeTreesDrawInBoundedOutput) {
    // 100,000 levels deep: only the levels drawn cost bytes.
    FlameGraphNode deep = node("leaf", 1, 1);
    for (int i = 0; i < 100'000; ++i) deep = node("f" + std::to_string(i), 0, 1, {deep});
    vesk::FlameGraphStyle style;
    const std::string svg = vesk::flameGraphSVG({deep}, style);
    EXPECT_EQ(count(svg, "<g class=\"f\">"), style.maxDepth);
    EXPECT_NE(svg.find("frames too narrow or too deep to draw"), std::string::npos);
    EXPECT_LT(svg.size(), style.maxDepth * 400 + 16384);

    // 100,000 callees side by side: those narrower than the minimum go.
    std::vector<FlameGraphNode> wide;
    for (int i = 0; i < 100'000; ++i) wide.push_back(node("w" + std::to_string(i), 1, 1));
    wide.push_back(node("big", 100'000, 100'000));
    const std::string picture = vesk::flameGraphSVG({node("root", 0, 200'000, wide)});
    EXPECT_EQ(count(picture, "<g class=\"f\">"), 2U) << "only root and big are wide enough";
}

TEST(FlameGraphSVG, ADifferentialGraphColoursByChange) {
    const auto root = node("main", 0, 100, {node("slower", 50, 50), node("faster", 50, 50)});
    const std::string svg = vesk::differentialFlameGraphSVG({root}, [](std::string_view f) {
        return f == "slower" ? 100.0 : f == "faster" ? -50.0 : 0.0;
    });
    EXPECT_NE(svg.find("<title>slower\n\nself 50, total 50 (50.00%)\nchange +100.00%</title>"
                       "<rect x=\"10.00\" y=\"54.00\" width=\"590.00\" height=\"15.00\" "
                       "fill=\"rgb(250,50,50)\""),
              std::string::npos);
    EXPECT_NE(svg.find("fill=\"rgb(150,150,250)\""), std::string::npos);
    EXPECT_NE(svg.find("fill=\"rgb(250,250,250)\""), std::string::npos);
}

TEST(FoldedStacks, StacksShareTheirPathsAndBadLinesAreCounted) {
    std::size_t skipped = 0;
    const auto run = vesk::profileFromFoldedStacks(
        "main;load;parse 30\nmain;load;read 10\r\nmain 5\nother 2\n\nno count\nmain;x -3\n"
        "main;y 99999999999999999999\nmain;z 1.5\n;\n",
        "t", skipped);
    EXPECT_EQ(skipped, 5U);
    ASSERT_EQ(run.frames.size(), 2U);
    const auto& main = run.frames[0];
    EXPECT_EQ(main.function, "main");
    EXPECT_EQ(main.selfTime, 5);
    EXPECT_EQ(main.totalTime, 45);
    ASSERT_EQ(main.children.size(), 1U);
    EXPECT_EQ(main.children[0].totalTime, 40);
    EXPECT_EQ(main.children[0].children.size(), 2U);
    EXPECT_EQ(run.frames[1].function, "other");
    EXPECT_EQ(run.totalTime, 47);
    EXPECT_EQ(run.label, "t");

    // Counts that would overflow saturate.
    const auto big = vesk::profileFromFoldedStacks(
        "a;b 9223372036854775807\na;c 9223372036854775807\n", "t", skipped);
    EXPECT_EQ(big.totalTime, INT64_MAX);
    // A stack 100,000 frames deep is read (and freed) without recursion.
    std::string deep;
    for (int i = 0; i < 100'000; ++i) deep += "f;";
    deep += "leaf 1\n";
    const auto tall = vesk::profileFromFoldedStacks(deep, "t", skipped);
    EXPECT_EQ(tall.totalTime, 1);
}

TEST(ProfileComparison, EachChangedFunctionOnceWithItsKind) {
    std::size_t skipped = 0;
    const auto before = vesk::profileFromFoldedStacks(
        "main;a 10\nmain;b 10\nmain;gone 5\nmain;same 3\n", "1", skipped);
    const auto after = vesk::profileFromFoldedStacks(
        "main;a 15\nmain;b 5\nmain;new 2\nmain;same 3\nx;a 5\n", "2", skipped);
    const auto diff = vesk::ProfileDiff::compare(before, after);
    EXPECT_EQ(diff.baselineTotalTime, 28);
    EXPECT_EQ(diff.currentTotalTime, 30);
    EXPECT_EQ(diff.totalTimeDelta, 2);
    // main (no self time in either) is left out; x is new, with no self time.
    ASSERT_EQ(diff.diffs.size(), 5U);
    EXPECT_EQ(diff.diffs[0].function, "a");
    EXPECT_EQ(diff.diffs[0].delta, 10);  // 15 + 5 under x
    EXPECT_EQ(diff.diffs[0].kind, vesk::DiffKind::regression);
    EXPECT_DOUBLE_EQ(diff.diffs[0].percentChange, 100.0);
    EXPECT_EQ(diff.diffs[1].kind, vesk::DiffKind::improvement);
    EXPECT_EQ(diff.diffs[2].function, "new");
    EXPECT_EQ(diff.diffs[2].kind, vesk::DiffKind::added);
    EXPECT_EQ(diff.diffs[3].function, "x");
    EXPECT_EQ(diff.diffs[3].kind, vesk::DiffKind::added);
    EXPECT_EQ(diff.diffs[4].function, "gone");
    EXPECT_EQ(diff.diffs[4].kind, vesk::DiffKind::removed);
    EXPECT_DOUBLE_EQ(diff.diffs[4].percentChange, -100.0);
}

}  // namespace

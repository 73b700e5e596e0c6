#include "vesk/debugging/Cachegrind.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "vesk/system/PHPPool.hpp"

namespace {

using vesk::CallFrame;
using vesk::ProfileRun;
namespace cachegrind = vesk::cachegrind;

ProfileRun read(const std::string& text, const cachegrind::Limits& limits = {}) {
    std::istringstream in(text);
    return cachegrind::read(in, "label", limits);
}

std::string refusal(const std::string& text, const cachegrind::Limits& limits = {}) {
    try {
        read(text, limits);
    } catch (const cachegrind::FormatError& e) {
        return e.what();
    }
    return "read";
}

const CallFrame& child(const CallFrame& f, const std::string& name) {
    for (const auto& c : f.children) {
        if (c.function == name) return c;
    }
    throw std::runtime_error("no " + name + " under " + f.function);
}

// What Xdebug 3.2 writes for: fast() three times, then slow(), which sleeps
// and calls leaf(); fast() calls leaf() too. One block a call, written as
// the call ends.
const std::string kProfile = R"(version: 1
creator: xdebug 3.2.0 (PHP 8.2.36)
cmd: /srv/app/p.php
part: 1
positions: line

events: Time_(10ns) Memory_(bytes)

fl=(2) /srv/app/p.php
fn=(1) leaf
2 400 0

fl=(2)
fn=(2) fast
4 500 16
cfl=(2)
cfn=(1)
calls=1 0 0
4 400 0

fl=(2)
fn=(1)
2 100 0

fl=(2)
fn=(2)
4 100 0
cfl=(2)
cfn=(1)
calls=1 0 0
4 100 0

fl=(2)
fn=(1)
2 100 0

fl=(2)
fn=(2)
4 100 0
cfl=(2)
cfn=(1)
calls=1 0 0
4 100 0

fl=(1) php:internal
fn=(3) php::usleep
3 2000000 0

fl=(2)
fn=(1)
2 6000 0

fl=(2)
fn=(4) slow
3 3600 -8
cfl=(1)
cfn=(3)
calls=1 0 0
3 2000000 0
cfl=(2)
cfn=(1)
calls=1 0 0
3 6000 0

fl=(2)
fn=(5) {main}
1 13000 32
cfl=(2)
cfn=(2)
calls=1 0 0
5 900 0
cfl=(2)
cfn=(2)
calls=1 0 0
5 200 0
cfl=(2)
cfn=(2)
calls=1 0 0
5 200 0
cfl=(2)
cfn=(4)
calls=1 0 0
6 2009600 0

summary: 2055588 429792
)";

TEST(Cachegrind, XdebugsCallsBecomeATreeWithEachCallersCallsOfAFunctionMerged) {
    const ProfileRun run = read(kProfile);
    EXPECT_EQ(run.requestURI, "/srv/app/p.php");
    EXPECT_EQ(run.label, "label");
    EXPECT_EQ(run.totalTime, 20556);  // the summary, from 10 ns to microseconds
    EXPECT_EQ(run.totalMemory, 429792);
    ASSERT_EQ(run.frames.size(), 1U);
    const CallFrame& main = run.frames.front();
    EXPECT_EQ(main.function, "{main}");
    EXPECT_EQ(main.file, "/srv/app/p.php");
    EXPECT_EQ(main.line, 1);
    EXPECT_EQ(main.callCount, 1);
    // fast() first (called first), slow() after.
    ASSERT_EQ(main.children.size(), 2U);
    EXPECT_EQ(main.children[0].function, "fast");
    const CallFrame& fast = main.children[0];
    EXPECT_EQ(fast.callCount, 3);
    EXPECT_EQ(fast.selfTime, 7);    // 700 x 10 ns
    EXPECT_EQ(fast.totalTime, 13);  // and leaf's 600
    EXPECT_EQ(child(fast, "leaf").callCount, 3);
    EXPECT_EQ(fast.selfMemory, 16);
    const CallFrame& slow = child(main, "slow");
    EXPECT_EQ(slow.callCount, 1);
    EXPECT_EQ(child(slow, "php::usleep").selfTime, 20000);
    EXPECT_EQ(child(slow, "php::usleep").file, "php:internal");
    EXPECT_EQ(child(slow, "leaf").selfTime, 60);
    EXPECT_EQ(slow.totalTime, 20096);
    EXPECT_EQ(slow.totalMemory, -8);
    EXPECT_EQ(main.totalTime, 130 + 13 + 20096);
}

TEST(Cachegrind, RelativePositionsUnknownKeysAndNoSummary) {
    const ProfileRun run = read(
        "# callgrind format\nevents: Memory Time_(ns)\nob=x\nfl=a.php\nfn=f\n+5 1 2000\n"
        "-2 1 1000\nfn=g\ncfn=f\ncalls=1 0\n* 0 3000\n* 0 500\n");
    ASSERT_EQ(run.frames.size(), 1U);
    const CallFrame& g = run.frames.front();
    EXPECT_EQ(g.function, "g");
    ASSERT_EQ(g.children.size(), 1U);
    EXPECT_EQ(g.children[0].line, 5);
    EXPECT_EQ(g.children[0].selfTime, 3);  // ns to microseconds
    EXPECT_EQ(g.children[0].selfMemory, 2);
    EXPECT_EQ(g.line, 3);
    EXPECT_EQ(run.totalTime, 4);
}

TEST(Cachegrind, WhatIsNoXdebugProfileIsRefusedWithItsLine) {
    EXPECT_EQ(refusal(""), "line 0 holds no call: no profile");
    EXPECT_EQ(refusal("fl=a\nfn=f\n1 2\n"),
              "line 3 has a cost before the events: line: not a cachegrind file");
    EXPECT_EQ(refusal("events: Memory\n"), "line 1 names no Time event");
    EXPECT_EQ(refusal("events: Time\nfn=(7)\n"), "line 2 names (7) before it is defined");
    EXPECT_EQ(refusal("events: Time\nfn=(x) f\n"), "line 2 has a name that is no \"(N) name\"");
    EXPECT_EQ(refusal("events: Time\nfn=(1 f\n"), "line 2 has a name that is no \"(N) name\"");
    EXPECT_EQ(refusal("events: Time\n1 2\n"), "line 2 has a cost outside a function's block");
    EXPECT_EQ(refusal("events: Time\nfn=f\n1 99999999999999999999\n"),
              "line 3 has a cost that is no whole number");
    // A call to a function whose block never came, or another one's block.
    EXPECT_EQ(refusal("events: Time\nfn=f\ncfn=g\ncalls=1 0\n1 5\n"),
              "line 5 names a call that was not profiled before it");
    EXPECT_EQ(refusal("events: Time\nfn=h\n1 1\nfn=f\ncfn=g\ncalls=1 0\n1 5\n"),
              "line 7 names a call its block did not make: not a profile of Xdebug's");
    EXPECT_EQ(refusal("events: Time\nfn=f\ncalls=1 0\n"),
              "line 3 has calls= without its cfn= line");
    EXPECT_EQ(refusal("events: Time\nnonsense\n"),
              "line 2 is neither a cost, a name nor a header line");
}

TEST(Cachegrind, TheBoundsHold) {
    cachegrind::Limits limits;
    limits.calls = 3;
    std::string text = "events: Time\n";
    for (int i = 0; i < 4; ++i) text += "fn=f\n1 1\n";
    EXPECT_EQ(refusal(text, limits), "line 8 is one call more than 3: too large");
    limits.lineLength = 100;
    EXPECT_EQ(refusal("events: Time\nfn=" + std::string(200 * 1024, 'a') + "\n", limits),
              "line 2 is longer than the limit");
    // Costs that overflow saturate instead of wrapping.
    const ProfileRun run = read(
        "events: Time\nfn=a\n1 9223372036854775807\nfn=b\n1 9223372036854775807\nfn=c\ncfn=a\n"
        "calls=1 0\n1 1\ncfn=b\ncalls=1 0\n1 1\n");
    EXPECT_EQ(run.frames.front().totalTime, INT64_MAX);
}

TEST(Cachegrind, DeepRecursionIsReadWithoutRecursing) {
    std::string text = "events: Time\nfn=(1) r\n1 1\n";
    for (int i = 0; i < 100'000; ++i) text += "fn=(1)\n1 1\ncfn=(1)\ncalls=1 0\n1 1\n";
    const ProfileRun run = read(text);
    std::size_t depth = 0;
    for (const CallFrame* f = &run.frames.front(); f != nullptr;
         f = f->children.empty() ? nullptr : &f->children[0]) {
        ++depth;
    }
    EXPECT_EQ(depth, 100'001U);
    EXPECT_EQ(run.frames.front().totalTime, 100'001);
}

TEST(Cachegrind, OpeningsThatLookLikeAProfile) {
    EXPECT_TRUE(cachegrind::looksLike("version: 1\ncreator: xdebug"));
    EXPECT_TRUE(cachegrind::looksLike("# callgrind format\n"));
    EXPECT_FALSE(cachegrind::looksLike("main;a;b 5\n"));
}

TEST(PHPPool, NamesOfTheEnvironmentsMasters) {
    EXPECT_EQ(vesk::PHPPool::parse("8.2"), (vesk::PHPPool{"8.2", std::nullopt}));
    EXPECT_EQ(vesk::PHPPool::parse("8.2-profile"),
              (vesk::PHPPool{"8.2", vesk::XdebugMode::profile}));
    EXPECT_EQ((vesk::PHPPool{"8.3", vesk::XdebugMode::trace}).name(), "8.3-trace");
    for (const char* bad : {"", "8", "8.", ".2", "8.2.1", "8.2-", "8.2-off", "8.2-debug-x",
                            "../8.2", "8.2 ", "1234.2", "8.2-DEBUG"}) {
        EXPECT_FALSE(vesk::PHPPool::parse(bad)) << bad;
    }
}

}  // namespace

// Call trees, flame graphs, folded stacks, top functions, profile files and
// comparisons, on small trees and on a chain 100,000 frames deep.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "vesk/debugging/FlameGraphNode.hpp"
#include "vesk/debugging/ProfileDiff.hpp"

namespace {

namespace fs = std::filesystem;
using vesk::CallFrame;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
using vesk::FlameGraphNode;
using vesk::FunctionSortOrder;

CallFrame frame(const std::string& fn, std::int64_t self, std::vector<CallFrame> children = {},
                const std::string& file = "/srv/app/x.php") {
    CallFrame f;
    f.id = vesk::UUID::random();
    f.function = fn;
    f.file = file;
    f.line = 1;
    f.selfTime = self;
    f.totalTime = self * 2;
    f.callCount = 1;
    f.children = vesk::SharedChildren<CallFrame>(std::move(children));
    return f;
}

// A chain `depth` frames deep, built iteratively, self time at the leaf and
// at every 1,000th frame.
CallFrame chain(std::size_t depth) {
    std::vector<CallFrame> frames;
    frames.reserve(depth);
    for (std::size_t i = 0; i < depth; ++i) {
        frames.push_back(frame("f" + std::to_string(i), i + 1 == depth || i % 1000 == 999 ? 1 : 0));
    }
    for (std::size_t i = depth - 1; i > 0; --i) {
        frames[i - 1].children = vesk::SharedChildren<CallFrame>({std::move(frames[i])});
    }
    return std::move(frames[0]);
}

TEST(CallFrame, Module) {
    EXPECT_EQ(frame("f", 0, {}, "").module(), "unknown");
    EXPECT_EQ(frame("f", 0, {}, "/srv/app/Http/Kernel.php").module(), "Kernel");
    EXPECT_EQ(frame("f", 0, {}, "index.php").module(), "index");
    EXPECT_EQ(frame("f", 0, {}, "/bin/artisan").module(), "artisan");
    EXPECT_EQ(frame("f", 0, {}, "/app/UserController.php").module(), "UserController");
}

TEST(FlameGraph, ConversionGivesFreshIdsAndKeepsOrder) {
    const CallFrame root = frame("main", 0, {frame("A", 5, {frame("B", 3)}), frame("C", 1)});
    const FlameGraphNode a = FlameGraphNode::from(root);
    const FlameGraphNode b = FlameGraphNode::from(root);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.children[0].id, b.children[0].id);
    EXPECT_FALSE(a == b) << "equal content, different ids";
    EXPECT_EQ(a.children.size(), 2U);
    EXPECT_EQ(a.children[0].children[0].function, "B");
    EXPECT_EQ(a.children[1].function, "C");
    const auto flat = a.flattened();
    ASSERT_EQ(flat.size(), 4U);
    EXPECT_EQ(flat[0].function, "main");
    EXPECT_EQ(flat[1].function, "A");
    EXPECT_EQ(flat[2].function, "B");
    EXPECT_EQ(flat[3].function, "C");
    EXPECT_EQ(flat[1], a.children[0]) << "each element is the whole subtree";
    EXPECT_EQ(vesk::decodeJSON<FlameGraphNode>(vesk::encodeJSON(a)), a);
    EXPECT_EQ(std::hash<FlameGraphNode>{}(a), std::hash<FlameGraphNode>{}(flat[0]));
}

TEST(FlameGraph, FoldedStacksAsThePartShows) {
    const auto main0 = FlameGraphNode::from(frame("main", 0, {frame("A", 5, {frame("B", 3)})}));
    EXPECT_EQ(main0.foldedStacks(""), (std::vector<std::string>{"main;A 5", "main;A;B 3"}));
    const auto fn = FlameGraphNode::from(frame("fn", 2, {frame("leaf", 7)}));
    EXPECT_EQ(fn.foldedStacks(""), (std::vector<std::string>{"fn 2", "fn;leaf 7"}));
    EXPECT_EQ(fn.foldedStacks("p"), (std::vector<std::string>{"p;fn 2", "p;fn;leaf 7"}));
    const auto zeros = FlameGraphNode::from(frame("a", 0, {frame("b", 0), frame("c", -4)}));
    EXPECT_TRUE(zeros.foldedStacks("").empty());
    const auto odd = FlameGraphNode::from(frame("a b;c\nd", 1));
    EXPECT_EQ(odd.foldedStacks(""), (std::vector<std::string>{"a b;c\nd 1"})) << "nothing escaped";
    std::string streamed = "x\n";
    fn.appendFoldedStacks("", streamed);
    EXPECT_EQ(streamed, "x\nfn 2\nfn;leaf 7\n");
    const auto emptyName = FlameGraphNode::from(frame("", 0, {frame("k", 1)}));
    EXPECT_EQ(emptyName.foldedStacks(""), (std::vector<std::string>{"k 1"}));
}

TEST(FlameGraph, TopFunctionsAggregateByNameInPreOrder) {
    const auto r1 = FlameGraphNode::from(frame("main", 1, {frame("f", 5, {}, "/first.php")}));
    auto secondFrame = frame("other", 2, {frame("f", 7, {}, "/second.php")});
    secondFrame.children.at(0).callCount = 10;
    const auto r2 = FlameGraphNode::from(secondFrame);
    const auto rows = vesk::topFunctions({r1, r2}, FunctionSortOrder::selfTime, 10);
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0].function, "f");
    EXPECT_EQ(rows[0].selfTime, 12);
    EXPECT_EQ(rows[0].callCount, 11);
    EXPECT_EQ(rows[0].file, "/first.php") << "the first node seen in pre-order";
    EXPECT_EQ(rows[1].function, "other");
    EXPECT_EQ(vesk::topFunctions({r1, r2}, FunctionSortOrder::callCount, 1)[0].function, "f");
    EXPECT_TRUE(vesk::topFunctions({r1, r2}, FunctionSortOrder::totalTime, 0).empty());
    // Stable: ties keep the order first seen.
    const auto ties = FlameGraphNode::from(frame("r", 1, {frame("x", 1), frame("y", 1)}));
    const auto tied = vesk::topFunctions({ties}, FunctionSortOrder::selfTime, 5);
    EXPECT_EQ(tied[0].function, "r");
    EXPECT_EQ(tied[1].function, "x");
    EXPECT_EQ(tied[2].function, "y");
}

TEST(DeepTree, HundredThousandFramesThroughEveryOperation) {
    constexpr std::size_t kDepth = 100'000;
    const CallFrame root = chain(kDepth);
    const CallFrame copy = root;  // shares the children
    EXPECT_EQ(copy, root);
    EXPECT_EQ(std::hash<CallFrame>{}(copy), std::hash<CallFrame>{}(root));

    const FlameGraphNode node = FlameGraphNode::from(root);
    const auto flat = node.flattened();
    ASSERT_EQ(flat.size(), kDepth);
    EXPECT_EQ(flat.back().function, "f99999");
    EXPECT_EQ(flat[1], node.children[0]);

    std::string folded;
    node.appendFoldedStacks("", folded);
    const auto lines = node.foldedStacks("");
    ASSERT_EQ(lines.size(), 100U);
    EXPECT_EQ(lines.back().substr(lines.back().size() - 9), ";f99999 1");
    std::string joined;
    for (const auto& l : lines) joined += l + "\n";
    EXPECT_EQ(joined, folded) << "both forms give the same text";

    const auto top = vesk::topFunctions({node}, FunctionSortOrder::selfTime, 3);
    ASSERT_EQ(top.size(), 3U);
    EXPECT_EQ(top[0].selfTime, 1);

    vesk::ProfileRun run{vesk::UUID::random(), {root}, 1, 2, vesk::Date{7.0e8}, "/", "deep"};
    const std::string dir =
        (fs::temp_directory_path() / ("vesk-deep-" + std::to_string(::getpid()))).string();
    const vesk::ProfileStore store(dir);
    const std::string path = store.save(run);
    // About 13 lines a frame, none indented past 32 levels of 2 spaces:
    // linear, where uncapped indentation would take some 20 GB.
    EXPECT_LT(fs::file_size(path), std::size_t{1200} * kDepth) << "indentation is capped";
    const vesk::ProfileRun back = store.load(path);
    EXPECT_EQ(back, run);
    fs::remove_all(dir);

    // Modifying a copy leaves the original alone.
    CallFrame changed = root;
    changed.children.at(0).function = "changed";
    EXPECT_EQ(root.children[0].function, "f1");
    EXPECT_FALSE(changed == root);
}

class ProfileStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("vesk-profiles-" + std::to_string(::getpid())) / "a" /
               "b")
                  .string();
    }
    void TearDown() override { fs::remove_all(fs::path(dir).parent_path().parent_path()); }
    static vesk::ProfileRun run(const std::string& label) {
        return {vesk::UUID::random(),
                {frame("main", 1, {frame("x", 2)})},
                10,
                20,
                vesk::Date{7.0e8 + 0.75},
                "/api",
                label};
    }
    std::string dir;
};

TEST_F(ProfileStoreTest, SaveListLoadRoundTrip) {
    const vesk::ProfileStore store(dir);
    EXPECT_TRUE(store.listProfiles().empty()) << "a missing directory lists nothing";
    auto a = run("A");
    const std::string pathA = store.save(a);
    EXPECT_EQ(pathA, dir + "/profile-" + a.id.uuidString() + ".json");
    EXPECT_EQ(store.save(a), pathA) << "the same run overwrites its file";
    const std::string text = readAll(pathA);
    const auto at = text.find("\"date\": \"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.substr(at + 8, 22), "\"" + vesk::Date{7.0e8}.iso8601() + "\"")
        << "ISO 8601, whole seconds, Z";
    EXPECT_NE(text.find("\n  "), std::string::npos) << "pretty-printed";
    const auto b = run("B");
    const std::string pathB = store.save(b);
    struct timespec times[2] = {{0, UTIME_OMIT}, {2'000'000'000, 0}};
    ::utimensat(AT_FDCWD, pathB.c_str(), times, 0);
    times[1] = {1'000'000'000, 0};
    ::utimensat(AT_FDCWD, pathA.c_str(), times, 0);
    for (const char* other : {"Profile-y.json", "profile-z.txt", "notes.json"}) {
        std::ofstream(dir + "/" + other) << "{}";
    }
    EXPECT_EQ(store.listProfiles(), (std::vector<std::string>{pathB, pathA}));
    const auto back = store.load(pathA);
    EXPECT_EQ(back.date, vesk::Date{7.0e8}) << "whole seconds";
    a.date = vesk::Date{7.0e8};
    EXPECT_EQ(back, a);
    EXPECT_THROW((void)store.load(dir + "/missing.json"), std::system_error);
    std::ofstream(dir + "/profile-bad.json") << R"({"id":"x"})";
    EXPECT_THROW((void)store.load(dir + "/profile-bad.json"), vesk::DecodingError);
    EXPECT_THROW((void)vesk::ProfileStore(pathA).listProfiles(), std::system_error)
        << "a file is no directory";
}

TEST_F(ProfileStoreTest, NothingIsSavedThatCannotBeLoaded) {
    const vesk::ProfileStore store(dir);
    for (const double seconds : {-62135596801.0, 253402300800.0, std::nan(""), HUGE_VAL}) {
        auto r = run("far");
        r.date = vesk::Date::fromUnix(seconds);
        try {
            (void)store.save(r);
            ADD_FAILURE() << "saved a profile dated " << seconds;
        } catch (const vesk::EncodingError& e) {
            EXPECT_EQ(e.path(), "date");
        }
        EXPECT_FALSE(fs::exists(dir + "/profile-" + r.id.uuidString() + ".json"));
    }
    for (const double seconds : {-62135596800.0, 253402300799.0}) {
        auto r = run("edge");
        r.date = vesk::Date::fromUnix(seconds);
        EXPECT_EQ(store.load(store.save(r)).date, r.date) << "years 0001 and 9999 round-trip";
    }
    for (const char* text : {"0000-12-31T23:59:59Z", "0001-01-01T00:30:00+01:00",
                             "9999-12-31T23:30:00-01:00", "9999-12-31T23:59:60Z"}) {
        EXPECT_FALSE(vesk::Date::parseISO8601(text)) << text << ": could never be written again";
    }
    EXPECT_EQ(vesk::Date::parseISO8601("0001-01-01T00:00:00Z")->iso8601(), "0001-01-01T00:00:00Z");
    const vesk::ProfileDiff diff{vesk::UUID::random(), 0, 5, 5, HUGE_VAL, {}};
    try {
        (void)vesk::encodeJSON(diff);
        ADD_FAILURE() << "an infinite change was written";
    } catch (const vesk::EncodingError& e) {
        EXPECT_EQ(e.path(), "totalTimePercentChange");
    }
}

TEST(ProfileDiff, FiltersAndStableTopLists) {
    using K = vesk::DiffKind;
    const auto d = [](const std::string& fn, std::int64_t delta, K kind) {
        return vesk::FunctionDiff{vesk::UUID::random(), fn, 0, delta, delta, 0, kind};
    };
    vesk::ProfileDiff diff{
        vesk::UUID::random(),
        100,
        120,
        20,
        20.0,
        {d("a", 10, K::regression), d("b", 50, K::regression), d("c", 30, K::regression),
         d("d", 50, K::regression), d("e", -5, K::improvement), d("f", -40, K::improvement),
         d("g", -10, K::improvement), d("h", 0, K::added)}};
    const auto top = diff.topRegressions(3);
    ASSERT_EQ(top.size(), 3U);
    EXPECT_EQ(top[0].function, "b");
    EXPECT_EQ(top[1].function, "d");
    EXPECT_EQ(top[2].function, "c");
    const auto better = diff.topImprovements(2);
    EXPECT_EQ(better[0].delta, -40);
    EXPECT_EQ(better[1].delta, -10);
    EXPECT_EQ(diff.added().size(), 1U);
    EXPECT_TRUE(diff.removed().empty());
    EXPECT_TRUE(diff.topRegressions(0).empty());
    EXPECT_EQ(vesk::decodeJSON<vesk::ProfileDiff>(vesk::encodeJSON(diff)), diff);
}

}  // namespace

// Profiles past the kept size are streamed: the same runs come back, and
// anything the stream leaves (an unknown key, a broken text) is decided by
// the whole parse, errors included.
TEST_F(ProfileStoreTest, LargeProfilesAreStreamedWithTheSameResults) {
    const vesk::ProfileStore store(dir);
    struct Restore {
        ~Restore() {
            vesk::ProfileStore::setKeptTextBytes(vesk::ProfileStore::kDefaultKeptTextBytes);
        }
    } restore;
    vesk::ProfileStore::setKeptTextBytes(0);
    auto a = run("streamed");
    a.date = vesk::Date{7.0e8};
    const std::string path = store.save(a);
    EXPECT_EQ(store.load(path), a);
    EXPECT_EQ(store.load(path), a) << "and again";

    std::string text = readAll(path);
    text.insert(text.find('{') + 1, R"("comment": [1, {"x": null}], )");
    std::ofstream(path, std::ios::trunc) << text;
    EXPECT_EQ(store.load(path), a) << "an unknown key is read by the whole parse";

    std::ofstream(path, std::ios::trunc) << text.substr(0, text.size() / 2);
    try {
        (void)store.load(path);
        ADD_FAILURE() << "half a profile loaded";
    } catch (const vesk::DecodingError& e) {
        EXPECT_EQ(e.fault(), vesk::DecodingError::Fault::corrupted);
    }
    std::ofstream(path, std::ios::trunc) << R"({"id":"x"})";
    EXPECT_THROW((void)store.load(path), vesk::DecodingError);
}

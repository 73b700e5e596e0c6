// The generic coding layer, shown on a small record of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <variant>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/json/Stream.hpp"

namespace {

enum class Colour { red, green };

struct Inner {
    std::int32_t count = 0;
    friend bool operator==(const Inner&, const Inner&) = default;
};

struct Sample {
    std::string name;
    std::optional<std::string> note;
    std::uint16_t mode = 0;
    bool flag = false;
    Colour colour = Colour::red;
    std::vector<Inner> items;
    std::map<Colour, std::int32_t> weights;
    friend bool operator==(const Sample&, const Sample&) = default;
};

}  // namespace

VESK_RAW_ENUM(Colour, {Colour::red, "red"}, {Colour::green, "green"});
namespace {
enum class Scattered : std::int8_t { low = -1, high = 7, middle = 1 };
}  // namespace
VESK_RAW_ENUM(Scattered, {Scattered::high, "high"}, {Scattered::low, "low"},
              {Scattered::middle, "middle"});
VESK_RECORD(Inner, vesk::field("count", &Inner::count));
VESK_RECORD(Sample, vesk::field("name", &Sample::name), vesk::field("note", &Sample::note),
            vesk::field("mode", &Sample::mode), vesk::field("flag", &Sample::flag),
            vesk::field("colour", &Sample::colour), vesk::field("items", &Sample::items),
            vesk::field("weights", &Sample::weights));

namespace {

using vesk::DecodingError;

const char* kValid =
    R"({"name":"a","mode":420,"flag":true,"colour":"green","items":[{"count":1},{"count":-2}],"weights":["red",3,"green",4]})";

DecodingError decodeError(const std::string& text) {
    try {
        (void)vesk::decodeJSON<Sample>(text);
    } catch (const DecodingError& e) {
        return e;
    }
    ADD_FAILURE() << "decoded without error: " << text;
    return DecodingError(DecodingError::Fault::corrupted, "", "");
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(RawEnum, RawValuesCasesAndExactConstruction) {
    EXPECT_EQ(vesk::rawValue(Colour::green), "green");
    EXPECT_EQ(vesk::fromRawValue<Colour>("red"), Colour::red);
    EXPECT_EQ(vesk::fromRawValue<Colour>("Red"), std::nullopt);
    EXPECT_EQ(vesk::fromRawValue<Colour>(""), std::nullopt);
    const auto all = vesk::allCases<Colour>();
    ASSERT_EQ(all.size(), 2U);
    EXPECT_EQ(all[0], Colour::red);
    EXPECT_EQ(all[1], Colour::green);

    // Looked up by value when the cases are 0, 1, ... in order, searched
    // otherwise; a value that is no case has no text either way.
    EXPECT_EQ(vesk::rawValue(static_cast<Colour>(2)), "");
    EXPECT_EQ(vesk::rawValue(static_cast<Colour>(-1)), "");
    EXPECT_EQ(vesk::rawValue(Scattered::low), "low");
    EXPECT_EQ(vesk::rawValue(Scattered::middle), "middle");
    EXPECT_EQ(vesk::rawValue(Scattered::high), "high");
    EXPECT_EQ(vesk::rawValue(static_cast<Scattered>(0)), "");
    EXPECT_EQ(vesk::encodeJSON(std::vector{Scattered::high, Scattered::low}), R"(["high","low"])");
}

TEST(JsonCoding, RoundTripAndShape) {
    const Sample s = vesk::decodeJSON<Sample>(kValid);
    EXPECT_EQ(s.name, "a");
    EXPECT_EQ(s.note, std::nullopt);
    EXPECT_EQ(s.mode, 420);
    EXPECT_EQ(s.colour, Colour::green);
    ASSERT_EQ(s.items.size(), 2U);
    EXPECT_EQ(s.items[1].count, -2);
    EXPECT_EQ(s.weights.at(Colour::green), 4);
    const std::string out = vesk::encodeJSON(s);
    EXPECT_EQ(out.find("note"), std::string::npos) << "absent optionals are left out";
    EXPECT_NE(out.find(R"("weights":["red",3,"green",4])"), std::string::npos) << out;
    EXPECT_EQ(vesk::decodeJSON<Sample>(out), s);
}

TEST(JsonCoding, OptionalMayBeNullOrMissingAndUnknownKeysAreIgnored) {
    const Sample withNull = vesk::decodeJSON<Sample>(
        replaced(kValid, R"("name":"a")", R"("name":"a","note":null,"zzz":[1])"));
    EXPECT_EQ(withNull.note, std::nullopt);
    const Sample withNote =
        vesk::decodeJSON<Sample>(replaced(kValid, R"("name":"a")", R"("name":"a","note":"n")"));
    EXPECT_EQ(withNote.note, "n");
}

TEST(JsonCoding, StrictFaultsNameTheKeyPath) {
    auto e = decodeError(replaced(kValid, R"("flag":true,)", ""));
    EXPECT_EQ(e.fault(), DecodingError::Fault::keyMissing);
    EXPECT_EQ(e.path(), "flag");

    e = decodeError(replaced(kValid, R"({"count":-2})", R"({"count":1.5})"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType);
    EXPECT_EQ(e.path(), "items[1].count");
    EXPECT_NE(std::string(e.what()).find("items[1].count"), std::string::npos);

    e = decodeError(replaced(kValid, R"({"count":1})", R"({"count":"1"})"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType);

    e = decodeError(replaced(kValid, R"("flag":true)", R"("flag":0)"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType);

    e = decodeError(replaced(kValid, R"("colour":"green")", R"("colour":"Green")"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::invalidValue);
    EXPECT_EQ(e.path(), "colour");

    e = decodeError(replaced(kValid, R"("mode":420)", R"("mode":65536)"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::invalidValue);

    e = decodeError(replaced(kValid, R"("mode":420)", R"("mode":-1)"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::invalidValue);

    e = decodeError(replaced(kValid, R"("name":"a")", R"("name":null)"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType) << "null is only for optionals";

    e = decodeError(replaced(kValid, R"(["red",3,"green",4])", R"(["red",3,"green"])"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::invalidValue);

    e = decodeError("[1,2]");
    EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType);
    e = decodeError("{\"name\":");
    EXPECT_EQ(e.fault(), DecodingError::Fault::corrupted);
}

TEST(JsonCoding, IntegralNumbersWrittenWithFractionStillDecode) {
    const Sample s = vesk::decodeJSON<Sample>(replaced(kValid, R"("mode":420)", R"("mode":420.0)"));
    EXPECT_EQ(s.mode, 420);
}

}  // namespace

// ---------------------------------------------------------------------------
// The parser and the writer underneath

#include "vesk/sites/SiteFilterCategory.hpp"

namespace {

// A call-tree node: a record whose children are records of its own type.
struct Frame {
    std::string name;
    double selfTime = 0;
    std::vector<Frame> children;

    Frame() = default;
    Frame(std::string n, double t) : name(std::move(n)), selfTime(t) {}
    Frame(const Frame&) = default;
    Frame(Frame&&) noexcept = default;
    Frame& operator=(const Frame&) = default;
    Frame& operator=(Frame&&) noexcept = default;
    // A deep chain must not be torn down by recursion either.
    ~Frame() {
        std::vector<Frame> pending = std::move(children);
        while (!pending.empty()) {
            Frame last = std::move(pending.back());
            pending.pop_back();
            for (auto& c : last.children) pending.push_back(std::move(c));
            last.children.clear();
        }
    }
};

struct Widths {
    std::int8_t i8 = 0;
    std::int16_t i16 = 0;
    std::int32_t i32 = 0;
    std::int64_t i64 = 0;
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
};

struct Text {
    std::string text;
    double number = 0;
};

}  // namespace

VESK_RECORD(Frame, vesk::field("name", &Frame::name), vesk::field("selfTime", &Frame::selfTime),
            vesk::field("children", &Frame::children));
VESK_TREE_CHILDREN(Frame, &Frame::children);
VESK_RECORD(Widths, vesk::field("i8", &Widths::i8), vesk::field("i16", &Widths::i16),
            vesk::field("i32", &Widths::i32), vesk::field("i64", &Widths::i64),
            vesk::field("u8", &Widths::u8), vesk::field("u16", &Widths::u16),
            vesk::field("u32", &Widths::u32), vesk::field("u64", &Widths::u64));
VESK_RECORD(Text, vesk::field("text", &Text::text), vesk::field("number", &Text::number));

static_assert(!vesk::JsonCodable<vesk::SiteFilterCategory>, "a tab of the window is never JSON");
static_assert(vesk::JsonCodable<vesk::ProjectType>);
static_assert(vesk::JsonCodable<Frame>);

namespace {

DecodingError::Fault faultOf(const std::function<void()>& decode) {
    try {
        decode();
    } catch (const DecodingError& e) {
        return e.fault();
    }
    ADD_FAILURE() << "decoded without error";
    return DecodingError::Fault::keyMissing;
}

std::string nested(std::size_t levels) {
    return std::string(levels, '[') + "0" + std::string(levels, ']');
}

// Walks the leftmost chain without recursion.
std::size_t chainDepth(const Frame& root, const Frame** leaf) {
    std::size_t depth = 1;
    const Frame* f = &root;
    while (!f->children.empty()) {
        f = &f->children.front();
        ++depth;
    }
    *leaf = f;
    return depth;
}

TEST(JsonParser, InvalidUtf8AndTrailingGarbageAreCorrupted) {
    using F = DecodingError::Fault;
    EXPECT_EQ(faultOf([] { (void)vesk::decodeJSON<std::string>("\"caf\xC3\""); }), F::corrupted);
    EXPECT_EQ(faultOf([] { (void)vesk::decodeJSON<std::string>("\"\xED\xA0\x80\""); }),
              F::corrupted)
        << "an encoded surrogate is not UTF-8";
    EXPECT_EQ(faultOf([] { (void)vesk::decodeJSON<std::string>("\"a\" \xFF"); }), F::corrupted);
    EXPECT_EQ(faultOf([] { (void)vesk::decodeJSON<std::vector<int>>("[1] x"); }), F::corrupted);
    EXPECT_EQ(faultOf([] { (void)vesk::decodeJSON<std::vector<int>>("[1][2]"); }), F::corrupted);
    EXPECT_EQ(faultOf([] { (void)vesk::decodeJSON<std::vector<int>>(""); }), F::corrupted);
    EXPECT_EQ(vesk::decodeJSON<std::vector<int>>(" \n[1]\t\r\n "), std::vector<int>{1});
    EXPECT_EQ(vesk::decodeJSON<std::string>("\"\\u00e9\\ud83d\\ude00\""), "é\xF0\x9F\x98\x80");
}

TEST(JsonParser, DepthLimitIsExactAndNeverCrashes) {
    vesk::CodingOptions options;
    options.maxDepth = 40;
    EXPECT_NO_THROW((void)vesk::JsonDocument::parse(nested(40), options));
    EXPECT_EQ(faultOf([&] { (void)vesk::JsonDocument::parse(nested(41), options); }),
              DecodingError::Fault::corrupted);
    // Far beyond the default limit: an error, not a stack overflow.
    const std::string tooDeep = nested(vesk::kDefaultMaxDepth + 1);
    EXPECT_EQ(faultOf([&] { (void)vesk::JsonDocument::parse(tooDeep); }),
              DecodingError::Fault::corrupted);
    EXPECT_NO_THROW((void)vesk::JsonDocument::parse(nested(vesk::kDefaultMaxDepth)));
}

TEST(JsonParser, DuplicateKeysTheLastOneWins) {
    const Text t = vesk::decodeJSON<Text>(R"({"text":"a","number":1,"text":"b"})");
    EXPECT_EQ(t.text, "b");
    const vesk::JsonDocument doc = vesk::JsonDocument::parse(R"({"k":1,"k":2})");
    EXPECT_EQ(doc.root().require("k").integer(), 2);
    const auto m = vesk::decodeJSON<std::map<std::string, int>>(R"({"k":1,"j":0,"k":3})");
    EXPECT_EQ(m.at("k"), 3);
}

TEST(JsonParser, IntegersAtTheEdgesOfEachWidth) {
    const auto decodes = [](const std::string& key, const std::string& value) {
        std::string doc = R"({"i8":0,"i16":0,"i32":0,"i64":0,"u8":0,"u16":0,"u32":0,"u64":0})";
        doc.replace(doc.find("\"" + key + "\":0"), key.size() + 4, "\"" + key + "\":" + value);
        return vesk::decodeJSON<Widths>(doc);
    };
    const auto invalid = [&](const std::string& key, const std::string& value) {
        return faultOf([&] { (void)decodes(key, value); });
    };
    using F = DecodingError::Fault;
    EXPECT_EQ(decodes("i8", "-128").i8, -128);
    EXPECT_EQ(decodes("i8", "127").i8, 127);
    EXPECT_EQ(invalid("i8", "128"), F::invalidValue);
    EXPECT_EQ(invalid("i8", "-129"), F::invalidValue);
    EXPECT_EQ(decodes("i16", "-32768").i16, -32768);
    EXPECT_EQ(invalid("i16", "32768"), F::invalidValue);
    EXPECT_EQ(decodes("i32", "2147483647").i32, 2147483647);
    EXPECT_EQ(invalid("i32", "-2147483649"), F::invalidValue);
    EXPECT_EQ(decodes("i64", "-9223372036854775808").i64, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(decodes("i64", "9223372036854775807").i64, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(invalid("i64", "9223372036854775808"), F::invalidValue);
    EXPECT_EQ(invalid("i64", "18446744073709551615"), F::invalidValue)
        << "never wraps around to -1";
    EXPECT_EQ(decodes("u8", "255").u8, 255);
    EXPECT_EQ(invalid("u8", "256"), F::invalidValue);
    EXPECT_EQ(invalid("u8", "-1"), F::invalidValue);
    EXPECT_EQ(decodes("u16", "65535").u16, 65535);
    EXPECT_EQ(decodes("u32", "4294967295").u32, 4294967295U);
    EXPECT_EQ(invalid("u32", "4294967296"), F::invalidValue);
    EXPECT_EQ(decodes("u64", "18446744073709551615").u64,
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(invalid("u64", "-9223372036854775808"), F::invalidValue);
    EXPECT_EQ(decodes("u64", "1e3").u64, 1000U);
    EXPECT_EQ(decodes("i64", "-2.0").i64, -2);
    EXPECT_EQ(invalid("i32", "1.5"), F::wrongType);
    EXPECT_EQ(invalid("u16", "\"1\""), F::wrongType);
    EXPECT_EQ(invalid("u64", "18446744073709551616"), F::corrupted) << "wider than 64 bits";
}

TEST(JsonWriter, TextsNumbersAndPrettyPrinting) {
    EXPECT_EQ(vesk::encodeJSON(std::string("a\"b\\c/d\n\t\x01\x1F\x7F")),
              "\"a\\\"b\\\\c/d\\n\\t\\u0001\\u001f\x7F\"");
    EXPECT_EQ(vesk::encodeJSON(std::string("ok \xC3\xA9 \xF0\x9F\x98\x80")),
              "\"ok \xC3\xA9 \xF0\x9F\x98\x80\"");
    // Invalid UTF-8 is never written: each maximal ill-formed part becomes U+FFFD.
    EXPECT_EQ(vesk::encodeJSON(std::string("a\xFF"
                                           "b\xE2\x82"
                                           "c\xED\xA0\x80"
                                           "d\xC3")),
              "\"a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
              "d\xEF\xBF\xBD\"");

    const std::vector<std::pair<double, std::string>> numbers = {
        {1.0, "1.0"},
        {-2.5, "-2.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {60.5, "60.5"},
        {0.001, "0.001"},
        {1e-5, "1e-05"},
        {1e21, "1e+21"},
        {1.5e300, "1.5e+300"},
        {123456789012345.0, "123456789012345.0"},
        {1e15, "1e+15"},
        {0.1, "0.1"},
        {1e14, "100000000000000.0"},
        {-999999999999999.0, "-999999999999999.0"},
        {700000000.0, "700000000.0"},
        {-7.0, "-7.0"},
        {2.5e-310, "2.5e-310"}};
    for (const auto& [value, text] : numbers) EXPECT_EQ(vesk::encodeJSON(value), text) << text;
    for (double v : {0.1, 1.0 / 3, 2.0 / 3e-200, 123.456e78, 5e-324}) {
        EXPECT_EQ(vesk::decodeJSON<double>(vesk::encodeJSON(v)), v) << "round trip of " << v;
    }

    Sample s;
    s.name = "p";
    s.items = {Inner{1}};
    vesk::CodingOptions pretty;
    pretty.indent = 2;
    EXPECT_EQ(
        vesk::encodeJSON(s, pretty),
        "{\n  \"colour\": \"red\",\n  \"flag\": false,\n  \"items\": [\n    {\n      "
        "\"count\": 1\n    }\n  ],\n  \"mode\": 0,\n  \"name\": \"p\",\n  \"weights\": []\n}");
    EXPECT_EQ(vesk::encodeJSON(std::map<std::string, int>{}, pretty), "{}");
    pretty.maxIndentLevels = 1;
    EXPECT_EQ(vesk::encodeJSON(std::vector<std::vector<int>>{{1}}, pretty), "[\n  [\n  1\n  ]\n]");
    // Indents are stored in blocks: one wider than a block, and levels
    // deeper than one, come out exact.
    pretty.indent = 33;
    pretty.maxIndentLevels = 8;
    const std::string one(33, ' ');
    EXPECT_EQ(vesk::encodeJSON(std::vector<std::vector<int>>{{1, 2}}, pretty),
              "[\n" + one + "[\n" + one + one + "1,\n" + one + one + "2\n" + one + "]\n]");
}

TEST(JsonWriter, EveryByteThatNeedsCareIsFoundWhereverItStands) {
    // Plain bytes are copied eight at a time: a byte that needs escaping or
    // checking must be found at every position of a word, next to any other.
    const auto reference = [](const std::string& s) {
        std::string out = "\"";
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (c == '\n') {
                out += "\\n";
            } else if (u < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", u);
                out += hex;
            } else {
                out += c;
            }
        }
        return out + "\"";
    };
    const std::vector<std::string> specials = {
        "\"", "\\", "\n", std::string(1, '\x01'), "\x1f", "\x7f", "\xC3\xA9", " ", "~"};
    for (const std::string& special : specials) {
        for (std::size_t at = 0; at < 24; ++at) {
            std::string s(24, 'a');
            s.replace(at, 1, special);
            EXPECT_EQ(vesk::encodeJSON(s), reference(s)) << "at " << at;
        }
    }
    // An ill-formed byte after a long plain run is still replaced.
    EXPECT_EQ(vesk::encodeJSON(std::string(17, 'b') + "\xFF"),
              "\"" + std::string(17, 'b') + "\xEF\xBF\xBD\"");
}

TEST(JsonIn, KeysAreFoundInAnyOrder) {
    // Records look for their keys in the order they write them; any other
    // order, duplicates and unknown keys in between read the same.
    const Sample expected = vesk::decodeJSON<Sample>(kValid);
    EXPECT_EQ(
        vesk::decodeJSON<Sample>(
            R"({"weights":["red",3,"green",4],"x":1,"name":"a","items":[{"count":1},{"count":-2}],"colour":"green","flag":true,"mode":420,"y":{}})"),
        expected);
    EXPECT_EQ(
        vesk::decodeJSON<Sample>(
            R"({"colour":"red","flag":true,"items":[{"count":1},{"count":-2}],"mode":420,"name":"a","weights":["red",3,"green",4],"colour":"green"})"),
        expected)
        << "the later duplicate wins";
}

TEST(JsonWriter, NumbersWithNoJsonFormAreRefusedWithTheirKeyPath) {
    const auto pathOf = [](const auto& value) {
        try {
            (void)vesk::encodeJSON(value);
        } catch (const vesk::EncodingError& e) {
            return e.path() + " | " + e.what();
        }
        return std::string("encoded");
    };
    EXPECT_EQ(pathOf(std::nan("")), " | (root): NaN has no JSON form");
    EXPECT_EQ(pathOf(std::vector<double>{1, 2, -HUGE_VAL}), "[2] | [2]: infinity has no JSON form");
    const std::map<std::string, std::vector<std::map<std::string, double>>> nested{
        {"a", {{{"x", 1}}}}, {"b\"q", {{{"y", 1}}, {{"w", 2}, {"z", HUGE_VAL}}}}};
    EXPECT_EQ(pathOf(nested), "b\\\"q[1].z | b\\\"q[1].z: infinity has no JSON form");
    const std::map<std::string, Colour> stray{{"c", static_cast<Colour>(7)}};
    EXPECT_EQ(pathOf(stray), "c | c: a value that is no case has no JSON form");
    vesk::CodingOptions pretty;
    pretty.indent = 2;
    EXPECT_THROW((void)vesk::encodeJSON(nested, pretty), vesk::EncodingError);
    // A refused text leaves the writer's thread fine for the next one.
    EXPECT_EQ(vesk::encodeJSON(std::vector<double>{0.5}), "[0.5]");
}

TEST(JsonTree, HundredThousandDeepChainDecodesAndEncodes) {
    constexpr std::size_t kDepth = 100'000;
    Frame root("f0", 0);
    Frame* tip = &root;
    for (std::size_t i = 1; i < kDepth; ++i) {
        tip = &tip->children.emplace_back("f" + std::to_string(i), i % 1000 == 0 ? 1.5 : 0.0);
    }
    const std::string compact = vesk::encodeJSON(root);
    EXPECT_EQ(compact.substr(0, 39), R"({"children":[{"children":[{"children":[)");
    vesk::CodingOptions pretty;
    pretty.indent = 2;
    pretty.maxIndentLevels = 32;
    const std::string text = vesk::encodeJSON(root, pretty);
    // Six lines a frame, none indented more than 32 levels of 2 spaces.
    EXPECT_LT(text.size(), compact.size() + kDepth * 6 * (2 + 64)) << "size stays linear";

    for (const std::string* doc : {&compact, &text}) {
        const Frame back = vesk::decodeJSON<Frame>(*doc);
        const Frame* leaf = nullptr;
        EXPECT_EQ(chainDepth(back, &leaf), kDepth);
        EXPECT_EQ(leaf->name, "f99999");
        EXPECT_EQ(vesk::encodeJSON(back), compact);
    }

    // A fault deep down names its whole path.
    std::string broken = compact;
    broken.replace(broken.find("\"f99999\""), 8, "7");
    try {
        (void)vesk::decodeJSON<Frame>(broken);
        ADD_FAILURE() << "decoded a number as a name";
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType);
        EXPECT_EQ(e.path().size(), std::string("children[0].").size() * (kDepth - 1) + 4);
        EXPECT_EQ(e.path().substr(e.path().size() - 16), "children[0].name");
    }
    EXPECT_EQ(faultOf([] { (void)vesk::decodeJSON<Frame>(R"({"name":"a","selfTime":0})"); }),
              DecodingError::Fault::keyMissing);
}

}  // namespace

namespace {

// The value, or the fault and path, that decoding through JsonIn alone gives.
template <class T>
std::variant<T, std::pair<DecodingError::Fault, std::string>> throughJsonIn(
    const std::string& text) {
    try {
        const vesk::JsonDocument doc = vesk::JsonDocument::parse(text);
        return vesk::decodeValue<T>(doc.root());
    } catch (const DecodingError& e) {
        return std::make_pair(e.fault(), e.path());
    }
}

template <class T>
std::variant<T, std::pair<DecodingError::Fault, std::string>> throughDecodeJSON(
    const std::string& text) {
    try {
        return vesk::decodeJSON<T>(text);
    } catch (const DecodingError& e) {
        return std::make_pair(e.fault(), e.path());
    }
}

// Whether the one pass over the tape reads the text by itself.
template <class T>
bool readInOnePass(const std::string& text) {
    const vesk::JsonDocument doc = vesk::JsonDocument::parse(text);
    T value{};
    vesk::JsonTape tape = doc.tape();
    return vesk::readValue(tape, value);
}

bool operator==(const Frame& a, const Frame& b) {
    return a.name == b.name && a.selfTime == b.selfTime && a.children == b.children;
}

}  // namespace

TEST(JsonTape, OnePassGivesWhatJsonInGivesForEveryText) {
    const std::vector<std::string> samples = {
        kValid,
        R"({"name":"a","note":null,"mode":1,"flag":false,"colour":"red","items":[],"weights":[]})",
        R"({"name":"a","mode":"x","flag":true,"colour":"green","items":[],"weights":[],"mode":2})",
        R"({"name":"a","mode":2,"flag":true,"colour":"green","items":[],"weights":[],"mode":"x"})",
        R"({"name":"a","mode":70000,"flag":true,"colour":"green","items":[],"weights":[]})",
        R"({"name":"a","mode":1.0,"flag":true,"colour":"blue","items":[],"weights":[]})",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[{"count":1.5}],"weights":[]})",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[],"weights":["red"]})",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[],"weights":["red",1,"red",2]})",
        R"({"mode":1,"flag":true,"colour":"red","items":[],"weights":[]})",
        R"({"name":"a","mode":1,"flag":1,"colour":"red","items":{},"weights":[]})",
        R"([])",
    };
    for (const auto& text : samples) {
        EXPECT_EQ(throughDecodeJSON<Sample>(text), throughJsonIn<Sample>(text)) << text;
    }
    // Trees: children before, between and after the other members, unknown
    // members anywhere, children missing or of the wrong kind.
    const std::vector<std::string> trees = {
        R"({"children":[{"name":"b","children":[],"selfTime":2}],"name":"a","selfTime":1})",
        R"({"name":"a","x":[1,{"y":2}],"children":[{"children":[{"selfTime":3,"name":"c","children":[]}],"name":"b","selfTime":2},{"name":"d","selfTime":4,"children":[]}],"selfTime":1,"z":null})",
        R"({"name":"a","selfTime":1,"children":[{"name":"b","selfTime":2}]})",
        R"({"name":"a","selfTime":1,"children":[{"name":"b","selfTime":2,"children":{}}]})",
        R"({"name":"a","selfTime":1,"children":[],"children":[{"name":"b","selfTime":2,"children":[]}]})",
        R"({"name":"a","selfTime":1,"children":[{"name":"b","selfTime":"2","children":[]}]})",
        R"({"name":"a","selfTime":1,"children":[3]})",
    };
    for (const auto& text : trees) {
        EXPECT_EQ(throughDecodeJSON<Frame>(text), throughJsonIn<Frame>(text)) << text;
    }
    const auto maps = std::vector<std::string>{R"({"k":1,"j":0,"k":3})", R"({"k":"1"})", "[]"};
    for (const auto& text : maps) {
        using M = std::map<std::string, int>;
        EXPECT_EQ(throughDecodeJSON<M>(text), throughJsonIn<M>(text)) << text;
    }
}

TEST(JsonTape, WrittenTextIsReadInOnePassAndOddTextIsLeftToJsonIn) {
    Sample sample = vesk::decodeJSON<Sample>(kValid);
    sample.note = "n";
    EXPECT_TRUE(readInOnePass<Sample>(vesk::encodeJSON(sample)));
    Frame root("a", 1);
    root.children.emplace_back("b", 2);
    root.children[0].children.emplace_back("c", 3);
    root.children.emplace_back("d", 4);
    EXPECT_TRUE(readInOnePass<Frame>(vesk::encodeJSON(root)));
    EXPECT_TRUE(readInOnePass<Sample>(
        R"({"weights":[],"x":[1],"name":"a","items":[],"colour":"green","flag":true,"mode":4})"))
        << "keys in any order and unknown keys are read in one pass";

    EXPECT_FALSE(readInOnePass<Text>(R"({"text":"a","number":1,"text":"b"})"))
        << "which of two equal keys counts is JsonIn's to say";
    EXPECT_EQ(vesk::decodeJSON<Text>(R"({"text":1,"number":1,"text":"b"})").text, "b");
    EXPECT_FALSE(readInOnePass<Sample>(R"({"name":"a"})"));
    EXPECT_FALSE(readInOnePass<Widths>(
        R"({"i8":128,"i16":0,"i32":0,"i64":0,"u8":0,"u16":0,"u32":0,"u64":0})"));
}

namespace {

// The value a stream reads in one pass, when it reads the text by itself.
template <class T>
std::optional<T> throughStream(const std::string& text,
                               std::function<void(std::size_t)> consumed = {}) {
    std::string padded = text;
    padded.reserve(padded.size() + vesk::kJsonPadding);
    vesk::JsonStream stream(vesk::PaddedText{padded}, {}, std::move(consumed));
    T value{};
    if (vesk::readValue(stream, value) && stream.finish()) return value;
    return std::nullopt;
}

}  // namespace

TEST(JsonStream, ReadsWrittenTextAndNeverDiffersFromJsonIn) {
    Sample sample = vesk::decodeJSON<Sample>(kValid);
    sample.note = "n";
    EXPECT_EQ(throughStream<Sample>(vesk::encodeJSON(sample)), sample);
    Frame root("a", 1);
    root.children.emplace_back("b", 2);
    root.children[0].children.emplace_back("c", 3);
    root.children.emplace_back("d", 4);
    EXPECT_EQ(throughStream<Frame>(vesk::encodeJSON(root)), root);

    // Whatever the stream does read agrees with JsonIn; what it leaves
    // (unknown keys, duplicates, odd forms, trailing text) is left whole.
    const std::vector<std::string> odd = {
        R"({"name":"a","mode":1.0,"flag":true,"colour":"red","items":[],"weights":[]})",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[],"weights":[],"x":1})",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[],"weights":[],"name":"b"})",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[],"weights":[]} 1)",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[],"weights":[]  )",
        R"({"na\u006de":"a","mode":1,"flag":true,"colour":"red","items":[],"weights":[]})",
        R"({"name":"a","mode":1,"flag":true,"colour":"red","items":[,],"weights":[]})",
        R"({"name":"a","note":null,"mode":1,"flag":true,"colour":"red","items":[{"count":2}],"weights":["red",1]})",
    };
    for (const auto& text : odd) {
        const auto streamed = throughStream<Sample>(text);
        const auto whole = throughJsonIn<Sample>(text);
        if (streamed) {
            ASSERT_TRUE(std::holds_alternative<Sample>(whole)) << text;
            EXPECT_EQ(*streamed, std::get<Sample>(whole)) << text;
        }
    }
    EXPECT_FALSE(throughStream<Sample>(odd[1])) << "an unknown key is left to the document";
    EXPECT_FALSE(throughStream<Sample>(odd[3])) << "text after the value";
    EXPECT_FALSE(throughStream<Sample>(odd[6]));
    EXPECT_TRUE(throughStream<Sample>(odd[7]));

    // Numbers read as the tape holds them: an integer wider than 64 bits is
    // no number to the document, and -0 is the integer 0.
    EXPECT_FALSE(throughStream<Text>(R"({"text":"a","number":18446744073709551616})"));
    const auto zero = throughStream<Text>(R"({"text":"a","number":-0})");
    ASSERT_TRUE(zero);
    EXPECT_FALSE(std::signbit(zero->number));
    EXPECT_EQ(throughStream<Text>(R"({"text":"a","number":-2.5e1})")->number, -25.0);
}

TEST(JsonStream, TellsHowMuchOfTheTextIsBehindIt) {
    // A wide tree of some megabytes: the reports grow and stay inside the text.
    Frame root("root", 0);
    for (int i = 0; i < 40000; ++i) {
        Frame& child = root.children.emplace_back("frame-" + std::to_string(i), i);
        child.children.emplace_back(std::string(100, 'x'), 1);
    }
    const std::string text = vesk::encodeJSON(root);
    std::vector<std::size_t> reports;
    const auto read = throughStream<Frame>(text, [&](std::size_t n) { reports.push_back(n); });
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, root);
    ASSERT_FALSE(reports.empty());
    EXPECT_GE(reports.front(), std::size_t{4} << 20) << "reported now and then, not each time";
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_LT(reports.back(), text.size());
}

TEST(JsonTape, ALongArrayOfSomethingElseReservesNoGigabytes) {
    // Two million numbers where records belong: the decoder reserves a
    // bounded room, not two million records, and says what is wrong.
    struct Big {
        std::array<char, 4096> bytes{};
    };
    EXPECT_LE(vesk::detail::reserveFor<Big>(2'000'000) * sizeof(Big), std::size_t{17} << 20);
    std::string text = "[";
    for (int i = 0; i < 2'000'000; ++i) text += "0,";
    text.back() = ']';
    try {
        (void)vesk::decodeJSON<std::vector<Sample>>(text);
        ADD_FAILURE() << "numbers decoded as records";
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType);
        EXPECT_EQ(e.path(), "[0]");
    }
}

TEST(JsonWriter, EveryTextGetsRoomOfItsOwnSize) {
    // Long texts, short ones and long ones again on one thread: each text
    // is whole, and a short one never comes with a long one's room.
    std::vector<std::string> lines;
    for (int i = 0; i < 60000; ++i)
        lines.push_back("line " + std::to_string(i) + std::string(80, 'x'));
    const std::string first = vesk::encodeJSON(lines);
    ASSERT_GT(first.size(), std::size_t{4} << 20);
    const std::string small = vesk::encodeJSON(std::string("short"));
    EXPECT_EQ(small, "\"short\"");
    EXPECT_LT(small.capacity(), std::size_t{4096});
    const std::string again = vesk::encodeJSON(lines);
    EXPECT_EQ(again, first);
    EXPECT_LE(again.capacity(), again.size() + again.size() / 4 + 4096);
    lines.resize(lines.size() * 2, std::string(90, 'y'));
    const std::string longer = vesk::encodeJSON(lines);
    EXPECT_EQ(vesk::decodeJSON<std::vector<std::string>>(longer), lines) << "past the last size";
    EXPECT_EQ(vesk::encodeJSON(std::vector<int>{1, 2}), "[1,2]");

    // A text past what the allocator's heap serves (32 MiB), written again
    // into one chunk of its size: the same text, whole.
    lines.assign(400000, std::string(90, 'z'));
    lines.back() = "last";
    const std::string huge = vesk::encodeJSON(lines);
    ASSERT_GT(huge.size(), std::size_t{32} << 20);
    const std::string hugeAgain = vesk::encodeJSON(lines);
    EXPECT_EQ(hugeAgain, huge);
    EXPECT_TRUE(hugeAgain.ends_with(R"(,"last"])"));
}

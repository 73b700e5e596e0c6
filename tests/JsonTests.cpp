// The generic coding layer, shown on a small record of its own.
#include <gtest/gtest.h>

#include <map>

#include "vesk/Json.hpp"

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

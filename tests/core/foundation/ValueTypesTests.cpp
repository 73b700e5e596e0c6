#include <gtest/gtest.h>

#include <set>

#include "vesk/foundation/Data.hpp"
#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/UUID.hpp"

namespace {

using vesk::Data;
using vesk::Date;
using vesk::UUID;

TEST(UUIDValue, ParsesEitherCaseWritesUpperCase) {
    const auto u = UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(UUID::parse(u->uuidString()), u);
    EXPECT_FALSE(UUID::parse("e621e1f8c36c495a93fc0c247a3e6e5f"));
    EXPECT_FALSE(UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5g"));
    EXPECT_FALSE(UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f0"));
    EXPECT_EQ(vesk::encodeJSON(*u), "\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\"");
    EXPECT_THROW((void)vesk::decodeJSON<UUID>("\"nope\""), vesk::DecodingError);
}

TEST(UUIDValue, RandomIsVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const UUID u = UUID::random();
        EXPECT_EQ(u.bytes()[6] >> 4, 4);
        EXPECT_EQ(u.bytes()[8] >> 6, 2);
        seen.insert(u.uuidString());
    }
    EXPECT_EQ(seen.size(), 100U);
}

TEST(DateValue, DefaultStrategyIsSecondsSinceReferenceDate) {
    const Date d = Date::fromUnix(978307200.0 + 60.5);
    EXPECT_EQ(vesk::encodeJSON(d), "60.5");
    EXPECT_EQ(vesk::decodeJSON<Date>("60.5"), d);
    EXPECT_THROW((void)vesk::decodeJSON<Date>("\"2001-01-01T00:01:00Z\""), vesk::DecodingError);
}

TEST(DateValue, Iso8601StrategyWholeSecondsUTC) {
    const vesk::CodingOptions iso{vesk::DateStrategy::iso8601};
    const Date d = Date::fromUnix(1706702400.7);  // 2024-01-31T12:00:00.7Z
    EXPECT_EQ(vesk::encodeJSON(d, iso), "\"2024-01-31T12:00:00Z\"");
    EXPECT_EQ(vesk::decodeJSON<Date>("\"2024-01-31T12:00:00Z\"", iso), Date::fromUnix(1706702400));
    EXPECT_EQ(Date::parseISO8601("2024-01-31T14:00:00+02:00"), Date::fromUnix(1706702400));
    EXPECT_EQ(Date::parseISO8601("1999-12-31T23:59:59Z"), Date::fromUnix(946684799));
    EXPECT_FALSE(Date::parseISO8601("2023-02-29T00:00:00Z"));
    EXPECT_FALSE(Date::parseISO8601("2024-01-31 12:00:00Z"));
    EXPECT_FALSE(Date::parseISO8601("2024-01-31T12:00:00"));
    EXPECT_THROW((void)vesk::decodeJSON<Date>("12", iso), vesk::DecodingError);
}

TEST(DataValue, StandardBase64) {
    EXPECT_EQ(Data::fromString("").base64(), "");
    EXPECT_EQ(Data::fromString("f").base64(), "Zg==");
    EXPECT_EQ(Data::fromString("fo").base64(), "Zm8=");
    EXPECT_EQ(Data::fromString("foo").base64(), "Zm9v");
    const Data bin{{0xFB, 0xFF, 0x00}};
    EXPECT_EQ(bin.base64(), "+/8A");
    EXPECT_EQ(Data::fromBase64("+/8A"), bin);
    EXPECT_EQ(Data::fromBase64("Zg=="), Data::fromString("f"));
    EXPECT_EQ(Data::fromBase64("Zm8="), Data::fromString("fo"));
    EXPECT_FALSE(Data::fromBase64("Zg="));
    EXPECT_FALSE(Data::fromBase64("Z=g="));
    EXPECT_FALSE(Data::fromBase64("-_8A"));
    EXPECT_FALSE(Data::fromBase64("Zm 9"));
}

}  // namespace

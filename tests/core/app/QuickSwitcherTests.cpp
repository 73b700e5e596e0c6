// Fuzzy matching on user-perceived characters, and the switcher's rows.
#include <gtest/gtest.h>

#include "vesk/app/QuickSwitcherTypes.hpp"

namespace {

using vesk::fuzzyMatch;
using vesk::QuickSwitcherItem;

vesk::Site site(const std::string& domain, const std::string& path, bool secured) {
    vesk::Site s;
    s.id = vesk::UUID::random();
    s.name = domain;
    s.domain = domain;
    s.tld = "test";
    s.path = path;
    s.isSecured = secured;
    return s;
}

vesk::Service service(vesk::ServiceType type, vesk::ServiceStatus status, std::int64_t port) {
    return vesk::Service(vesk::UUID::random(), type, std::nullopt, "8.0", status, port, "/d", "/c",
                         "/l");
}

TEST(FuzzyMatch, ThePartsExamples) {
    EXPECT_TRUE(fuzzyMatch("abc", "a-b-c"));
    EXPECT_FALSE(fuzzyMatch("acb", "abc"));
    EXPECT_FALSE(fuzzyMatch("aa", "a"));
    EXPECT_TRUE(fuzzyMatch("", ""));
    EXPECT_TRUE(fuzzyMatch("", "anything"));
    EXPECT_FALSE(fuzzyMatch("A", "abc"));
}

TEST(FuzzyMatch, GraphemeClustersAndCanonicalEquivalence) {
    const std::string precomposed = "caf\xC3\xA9";  // é as one code point
    const std::string decomposed = "cafe\xCC\x81";  // e + combining acute
    EXPECT_TRUE(fuzzyMatch(precomposed, decomposed));
    EXPECT_TRUE(fuzzyMatch(decomposed, precomposed));
    EXPECT_FALSE(fuzzyMatch("cafe", decomposed)) << "e with its accent is one character, not e";
    EXPECT_TRUE(fuzzyMatch("caf", decomposed));
    const std::string family =
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    const std::string man = "\xF0\x9F\x91\xA8";
    EXPECT_FALSE(fuzzyMatch(man, family)) << "a part of an emoji sequence is no character of it";
    EXPECT_TRUE(fuzzyMatch(family, "x" + family + "y"));
    EXPECT_FALSE(fuzzyMatch("\r", "a\r\nb")) << "CR LF is one character";
    EXPECT_TRUE(fuzzyMatch("\r\n", "a\r\nb"));
}

TEST(QuickSwitcher, RowsOfEachKind) {
    const QuickSwitcherItem shop{site("shop", "/Users/a/Sites/shop", true)};
    EXPECT_EQ(shop.title(), "shop.test");
    EXPECT_EQ(shop.section(), "Sites");
    EXPECT_EQ(shop.iconName(), "lock.fill");
    EXPECT_EQ(shop.id().rfind("site-", 0), 0U);
    EXPECT_TRUE(shop.matches("SHT"));
    EXPECT_TRUE(shop.matches("sites")) << "through the path";
    EXPECT_FALSE(shop.matches("zzz"));
    EXPECT_EQ(QuickSwitcherItem{site("x", "/p", false)}.iconName(), "globe");

    const QuickSwitcherItem php{QuickSwitcherItem::PHPVersionChoice{"8.3", true}};
    EXPECT_EQ(php.title(), "PHP 8.3");
    EXPECT_EQ(php.subtitle(), "Current");
    EXPECT_EQ(php.id(), "php-8.3");
    EXPECT_TRUE(php.matches("cur"));
    EXPECT_EQ((QuickSwitcherItem{QuickSwitcherItem::PHPVersionChoice{"8.2", false}}).subtitle(),
              "Switch to this version");

    const QuickSwitcherItem mysql{
        service(vesk::ServiceType::mysql, vesk::ServiceStatus::running, 3306)};
    EXPECT_EQ(mysql.title(), "MySQL");
    EXPECT_EQ(mysql.subtitle(), "Running on port 3306");
    EXPECT_EQ(mysql.iconName(), "cylinder.split.1x2");
    EXPECT_EQ(mysql.section(), "Services");
    for (const auto status : {vesk::ServiceStatus::stopped, vesk::ServiceStatus::error,
                              vesk::ServiceStatus::installing}) {
        EXPECT_EQ((QuickSwitcherItem{service(vesk::ServiceType::minio, status, 9000)}).subtitle(),
                  "Stopped");
    }
    EXPECT_EQ(
        (QuickSwitcherItem{service(vesk::ServiceType::minio, vesk::ServiceStatus::stopped, 1)})
            .iconName(),
        "externaldrive");
}

TEST(QuickSwitcher, UnicodeLowerCasingNotLocaleSpecific) {
    const QuickSwitcherItem item{site("\xC3\x84rger", "/p", false)};  // Ärger
    EXPECT_TRUE(item.matches("\xC3\xA4rg"));                          // ärg
    EXPECT_TRUE(item.matches("\xC3\x84RG"));
    const QuickSwitcherItem turkish{site("ISTANBUL", "/p", false)};
    EXPECT_TRUE(turkish.matches("ist")) << "root lower-casing: I becomes i";
}

}  // namespace

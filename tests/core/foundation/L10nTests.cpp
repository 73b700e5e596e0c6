#include <gtest/gtest.h>

#include <regex>

#include "vesk/foundation/L10n.hpp"
#include "vesk/foundation/Strings.hpp"

namespace {

using vesk::Locale;
namespace L10n = vesk::L10n;

class L10nTest : public ::testing::Test {
  protected:
    void TearDown() override { L10n::setLocale(Locale::en); }
};

std::vector<std::string> placeholders(std::string_view text) {
    std::vector<std::string> out;
    static const std::regex re("%[@d]");
    const std::string s(text);
    for (auto it = std::sregex_iterator(s.begin(), s.end(), re); it != std::sregex_iterator();
         ++it) {
        out.push_back(it->str());
    }
    return out;
}

TEST_F(L10nTest, TablesShareKeysOrderAndPlaceholders) {
    const auto& en = vesk::Strings::enEntries();
    const auto& hant = vesk::Strings::zhHantEntries();
    const auto& hans = vesk::Strings::zhHansEntries();
    ASSERT_EQ(en.size(), 74U);
    ASSERT_EQ(hant.size(), 74U);
    ASSERT_EQ(hans.size(), 74U);
    EXPECT_EQ(vesk::Strings::en().size(), 74U) << "keys are unique";
    for (std::size_t i = 0; i < en.size(); ++i) {
        EXPECT_EQ(hant[i].first, en[i].first);
        EXPECT_EQ(hans[i].first, en[i].first);
        EXPECT_EQ(placeholders(hant[i].second), placeholders(en[i].second)) << en[i].first;
        EXPECT_EQ(placeholders(hans[i].second), placeholders(en[i].second)) << en[i].first;
    }
    EXPECT_EQ(vesk::Strings::zhHant().at("app.name"), "Vesk");
    EXPECT_EQ(vesk::Strings::zhHans().at("php.pools.default"), "（默认）");
    EXPECT_EQ(vesk::Strings::zhHant().at("migrate.dryRun"), "【模擬】將會遷移：");
    EXPECT_EQ(vesk::Strings::en().at("share.noProvider"),
              "No tunnel provider found. Install cloudflared, ngrok, or expose.");
}

TEST_F(L10nTest, LookupFollowsCurrentLanguageWithFallbacks) {
    EXPECT_EQ(L10n::current(), Locale::en);
    L10n::setLocale(Locale::zhHant);
    EXPECT_EQ(L10n::tr("general.yes"), "是");
    L10n::setLocale(Locale::zhHans);
    EXPECT_EQ(L10n::tr("migrate.herd.detected"), "检测到 Laravel Herd");
    EXPECT_EQ(L10n::tr("foo.bar"), "foo.bar");
    L10n::setLocale(Locale::en);
    EXPECT_EQ(L10n::tr("foo.bar"), "foo.bar");
}

TEST_F(L10nTest, FormattingSubstitutesInOrder) {
    EXPECT_EQ(L10n::tr("services.start", "nginx"), "Starting nginx...");
    EXPECT_EQ(L10n::tr("update.available", "1.0.0", "1.1.0"), "Update available: 1.0.0 → 1.1.0");
    EXPECT_EQ(L10n::tr("migrate.sites", 12345), "Sites: 12345");
    EXPECT_EQ(L10n::tr("migrate.sites", -3), "Sites: -3");
    L10n::setLocale(Locale::zhHant);
    EXPECT_EQ(L10n::tr("php.isolate.success", "app", "8.3"), "站點 app 已隔離至 PHP 8.3");
    EXPECT_EQ(L10n::tr("unknown %@ key", "x"), "unknown x key");
    EXPECT_EQ(L10n::format("100%% of %@", {std::string("it")}), "100% of it");
}

TEST_F(L10nTest, LocaleRawValuesAreExact) {
    EXPECT_EQ(vesk::fromRawValue<Locale>("zh-Hant"), Locale::zhHant);
    EXPECT_EQ(vesk::fromRawValue<Locale>("zh-hant"), std::nullopt);
    EXPECT_EQ(vesk::fromRawValue<Locale>("zh"), std::nullopt);
    EXPECT_EQ(vesk::encodeJSON(Locale::zhHans), "\"zh-Hans\"");
}

TEST_F(L10nTest, SystemLocaleNames) {
    EXPECT_EQ(vesk::localeFromPOSIXName("zh_HK.UTF-8"), Locale::zhHant);
    EXPECT_EQ(vesk::localeFromPOSIXName("zh_TW.UTF-8"), Locale::zhHant);
    EXPECT_EQ(vesk::localeFromPOSIXName("zh_MO"), Locale::zhHant);
    EXPECT_EQ(vesk::localeFromPOSIXName("zh_SG.UTF-8"), Locale::zhHans);
    EXPECT_EQ(vesk::localeFromPOSIXName("zh"), Locale::zhHans);
    EXPECT_EQ(vesk::localeFromPOSIXName("zh-Hant-SG"), Locale::zhHans) << "script plays no part";
    EXPECT_EQ(vesk::localeFromPOSIXName("zh_tw"), Locale::zhHans) << "region is exact upper case";
    EXPECT_EQ(vesk::localeFromPOSIXName("ja_JP.UTF-8"), Locale::en);
    EXPECT_EQ(vesk::localeFromPOSIXName("C"), Locale::en);
    EXPECT_EQ(vesk::localeFromPOSIXName(""), Locale::en);
}

TEST_F(L10nTest, SystemLocaleVariablesInPosixOrder) {
    const auto set = [](const char* all, const char* messages, const char* lang) {
        for (auto [k, v] : {std::pair{"LC_ALL", all}, {"LC_MESSAGES", messages}, {"LANG", lang}}) {
            if (v) {
                setenv(k, v, 1);
            } else {
                unsetenv(k);
            }
        }
    };
    set(nullptr, "zh_TW.UTF-8", "en_US.UTF-8");
    EXPECT_EQ(vesk::localeFromSystem(), Locale::zhHant);
    set("zh_CN.UTF-8", "zh_TW.UTF-8", "en_US.UTF-8");
    EXPECT_EQ(vesk::localeFromSystem(), Locale::zhHans);
    set("", "", "zh_HK.UTF-8");
    EXPECT_EQ(vesk::localeFromSystem(), Locale::zhHant);
    set(nullptr, nullptr, nullptr);
    EXPECT_EQ(vesk::localeFromSystem(), Locale::en);
}

}  // namespace

#include <gtest/gtest.h>

#include <unordered_set>

#include "vesk/foundation/AppConfig.hpp"

namespace {

using vesk::AppConfig;
using vesk::DecodingError;
using vesk::Editor;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

DecodingError::Fault faultOf(const std::string& doc) {
    try {
        (void)vesk::decodeJSON<AppConfig>(doc);
    } catch (const DecodingError& e) {
        return e.fault();
    }
    ADD_FAILURE() << "decoded: " << doc;
    return DecodingError::Fault::corrupted;
}

TEST(AppConfig, DefaultEncodesToTheDocumentedShape) {
    const std::string doc = vesk::encodeJSON(AppConfig::defaultValue());
    EXPECT_EQ(
        doc,
        R"({"alwaysOnTop":false,"autoDetectPublicFolder":true,"autoStartCoreServices":true,)"
        R"("autoStartOnLogin":false,"autoStartServices":[],"defaultPHPVersion":"8.4",)"
        R"("defaultTLD":"test","globalShortcuts":{"quickSwitcher":"⌥⇧S","toggleApp":"⌘⇧B",)"
        R"("toggleAppKeyCode":11,"toggleAppModifiers":768},"hasCompletedOnboarding":false,)"
        R"("menuBarOnly":false,"parkedPaths":[],"preferredBrowser":"systemDefault",)"
        R"("preferredEditor":"vscode","preferredTerminal":"terminal","sitesDirectory":"~/Sites",)"
        R"("stopServicesOnQuit":false,"theme":"auto"})");
    EXPECT_EQ(vesk::decodeJSON<AppConfig>(doc), AppConfig::defaultValue());
    EXPECT_EQ(AppConfig::defaultValue().sitesDirectory(), "~/Sites");
}

TEST(AppConfig, RoundTripsEveryField) {
    AppConfig c = AppConfig::defaultValue();
    c.parkedPaths = {"/a", "/b"};
    c.defaultParkedPath = "/a";
    c.autoStartServices = {vesk::ServiceType::redis, vesk::ServiceType::mysql};
    c.preferredEditor = Editor::zed;
    c.theme = vesk::AppTheme::dark;
    c.locale = vesk::Locale::zhHant;
    c.setSitesDirectory("/srv");
    const std::string doc = vesk::encodeJSON(c);
    EXPECT_NE(doc.find(R"("locale":"zh-Hant")"), std::string::npos);
    EXPECT_NE(doc.find(R"("sitesDirectory":"/srv")"), std::string::npos);
    EXPECT_EQ(vesk::decodeJSON<AppConfig>(doc), c);
}

TEST(AppConfig, StrictDecoding) {
    const std::string doc = vesk::encodeJSON(AppConfig::defaultValue());
    EXPECT_EQ(faultOf(replaced(doc, R"("sitesDirectory")", R"("_sitesDirectory")")),
              DecodingError::Fault::keyMissing);
    EXPECT_EQ(faultOf(replaced(doc, R"("theme":"auto")", R"("theme":"auto","locale":"fr")")),
              DecodingError::Fault::invalidValue);
    EXPECT_EQ(faultOf(replaced(doc, R"("menuBarOnly":false)", R"("menuBarOnly":0)")),
              DecodingError::Fault::wrongType);
    EXPECT_EQ(faultOf(replaced(doc, R"("toggleAppKeyCode":11)", R"("toggleAppKeyCode":"11")")),
              DecodingError::Fault::wrongType);
    EXPECT_EQ(faultOf(replaced(doc, R"("toggleAppKeyCode":11,)", "")),
              DecodingError::Fault::keyMissing);
    EXPECT_EQ(
        faultOf(replaced(doc, R"("autoStartServices":[])", R"("autoStartServices":["nginx"])")),
        DecodingError::Fault::invalidValue);
    const auto withNulls = vesk::decodeJSON<AppConfig>(
        replaced(doc, R"("theme":"auto")",
                 R"("theme":"auto","locale":null,"defaultParkedPath":null,"extra":1)"));
    EXPECT_EQ(withNulls.locale, std::nullopt);
    EXPECT_EQ(withNulls.defaultParkedPath, std::nullopt);
}

TEST(AppConfig, EqualityAndHashCoverEveryField) {
    AppConfig a = AppConfig::defaultValue();
    AppConfig b = a;
    EXPECT_EQ(a, b);
    b.theme = vesk::AppTheme::light;
    EXPECT_NE(a, b);
    std::unordered_set<AppConfig> set{a, b};
    EXPECT_EQ(set.size(), 2U);
    EXPECT_EQ(std::hash<AppConfig>{}(a), std::hash<AppConfig>{}(AppConfig::defaultValue()));
}

TEST(ChoiceLists, RawValuesAndOrder) {
    EXPECT_EQ(vesk::rawValue(vesk::AppTheme::automatic), "auto");
    EXPECT_EQ(vesk::fromRawValue<vesk::Browser>("systemDefault"), vesk::Browser::systemDefault);
    EXPECT_EQ(vesk::fromRawValue<vesk::Terminal>("iTerm"), std::nullopt);
    EXPECT_EQ(vesk::allCases<Editor>().size(), 5U);
    EXPECT_EQ(vesk::allCases<Editor>()[3], Editor::cursor);
    EXPECT_EQ(vesk::ShortcutConfig::defaultToggleModifiers, 768U);
}

TEST(Editor, FileURLs) {
    const std::string path = "/Users/a/app/index.php";
    EXPECT_EQ(vesk::fileURL(Editor::vscode, path, 12)->absoluteString(),
              "vscode://file//Users/a/app/index.php:12");
    EXPECT_EQ(vesk::fileURL(Editor::sublime, path, 12)->absoluteString(),
              "subl://open?url=file:///Users/a/app/index.php&line=12");
    EXPECT_EQ(vesk::fileURL(Editor::phpstorm, path, -1)->absoluteString(),
              "phpstorm://open?file=/Users/a/app/index.php&line=-1");
    EXPECT_EQ(vesk::fileURL(Editor::zed, path, 1)->scheme(), "zed");
    EXPECT_EQ(vesk::fileURL(Editor::vscode, "/with space/x", 1), std::nullopt);
    EXPECT_EQ(vesk::fileURL(Editor::cursor, "/bad%zz", 1), std::nullopt);
    EXPECT_EQ(vesk::URL::parse("no-scheme/path"), std::nullopt);
}

}  // namespace

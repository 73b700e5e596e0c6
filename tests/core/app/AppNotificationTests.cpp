// Notifications and their preferences, plug-ins, and migration reports.
#include <gtest/gtest.h>

#include <limits>

#include "vesk/app/AppNotification.hpp"
#include "vesk/app/HerdConfig.hpp"
#include "vesk/app/HerdYamlConfig.hpp"
#include "vesk/app/MigrationReport.hpp"
#include "vesk/app/PluginManifest.hpp"
#include "vesk/app/VeskPlugin.hpp"

namespace {

using vesk::NotificationPreferences;
using vesk::NotificationType;

TEST(NotificationPreferences, ThreeShapes) {
    const auto d = NotificationPreferences::defaultValue();
    for (const auto t : vesk::allCases<NotificationType>()) EXPECT_TRUE(d.isTypeEnabled(t));
    auto off = d;
    off.isEnabled = false;
    for (const auto t : vesk::allCases<NotificationType>()) EXPECT_FALSE(off.isTypeEnabled(t));
    const NotificationPreferences one(
        true, false, std::map<NotificationType, bool>{{NotificationType::portConflict, false}});
    EXPECT_FALSE(one.isTypeEnabled(NotificationType::portConflict));
    EXPECT_TRUE(one.isTypeEnabled(NotificationType::sslExpiring));
    const NotificationPreferences empty(true, true, std::map<NotificationType, bool>{});
    EXPECT_TRUE(empty.isTypeEnabled(NotificationType::debugCapture));
    EXPECT_EQ(NotificationPreferences(true, true).enabledTypes.size(), 5U);
    EXPECT_EQ(NotificationPreferences(), d) << "the default constructor gives the default";

    const std::string doc = vesk::encodeJSON(one);
    EXPECT_NE(doc.find(R"("enabledTypes":["portConflict",false])"), std::string::npos) << doc;
    EXPECT_EQ(vesk::decodeJSON<NotificationPreferences>(doc), one);
    EXPECT_THROW(
        (void)vesk::decodeJSON<NotificationPreferences>(
            R"({"isEnabled":true,"playSounds":true,"enabledTypes":{"portConflict":false}})"),
        vesk::DecodingError)
        << "an object is rejected";
}

TEST(AppNotification, LooksAndCoding) {
    EXPECT_EQ(vesk::label(NotificationType::sslExpiring), "SSL Expiring");
    EXPECT_EQ(vesk::iconName(NotificationType::portConflict), "network.badge.shield.half.filled");
    EXPECT_EQ(vesk::colorName(NotificationType::debugCapture), "purple");
    vesk::AppNotification n{vesk::UUID::random(),
                            NotificationType::serviceCrashed,
                            "MySQL",
                            "crashed",
                            vesk::Date{10},
                            false,
                            std::nullopt};
    std::string doc = vesk::encodeJSON(n);
    EXPECT_EQ(doc.find("\"action\""), std::string::npos);
    EXPECT_EQ(vesk::decodeJSON<vesk::AppNotification>(doc), n);
    doc.insert(1, R"("action":null,)");
    EXPECT_EQ(vesk::decodeJSON<vesk::AppNotification>(doc), n);
    doc.replace(doc.find("serviceCrashed"), 14, "serviceCrash");
    EXPECT_THROW((void)vesk::decodeJSON<vesk::AppNotification>(doc), vesk::DecodingError);
    n.action = vesk::NotificationAction{
        "Restart", vesk::NotificationAction::ActionType::restartService, std::string("mysql")};
    EXPECT_EQ(vesk::decodeJSON<vesk::AppNotification>(vesk::encodeJSON(n)), n);
}

class SilentPlugin final : public vesk::VeskPlugin {
  public:
    [[nodiscard]] std::string identifier() const override { return "test.silent"; }
    [[nodiscard]] std::string name() const override { return "Silent"; }
    [[nodiscard]] std::string version() const override { return "1.0"; }
};

TEST(Plugins, ManifestHooksAndDefaults) {
    const auto m = vesk::decodeJSON<vesk::PluginManifest>(
        R"({"identifier":"x.y","name":"X","version":"1","services":[],"hooks":[]})");
    EXPECT_EQ(m.author, std::nullopt);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::PluginManifest>(
                     R"({"identifier":"x.y","name":"X","version":"1","services":[]})"),
                 vesk::DecodingError);
    vesk::PluginManifest full = m;
    full.services.push_back({"meili", "Meili", 7700, "meili --port 7700", std::nullopt, "curl"});
    full.hooks = {"siteCreated"};
    EXPECT_EQ(vesk::decodeJSON<vesk::PluginManifest>(vesk::encodeJSON(full)), full);

    using H = vesk::PluginHook;
    EXPECT_EQ((H{H::ServiceCrashed{"mysql", std::nullopt}}).name(), "serviceCrashed");
    EXPECT_EQ((H{H::ServiceCrashed{"mysql", 139}}).name(), "serviceCrashed");
    EXPECT_EQ((H{H::SiteCreated{"a.test", "/a"}}).name(), "siteCreated");
    EXPECT_EQ((H{H::AppShuttingDown{}}).name(), "appShuttingDown");

    SilentPlugin plugin;
    int completed = 0;
    const auto count = [&](std::optional<std::string> error) {
        EXPECT_EQ(error, std::nullopt);
        ++completed;
    };
    plugin.onLoad(count);
    plugin.handle(H{H::AppLaunching{}}, count);
    plugin.onUnload(count);
    EXPECT_EQ(completed, 3);
}

TEST(MigrationReport, SummaryLinesExactly) {
    vesk::MigrationReport r{"Laravel Valet", 3, 1, 2, {}, {}, {}, true, vesk::Date{0}};
    EXPECT_EQ(
        r.summary(),
        "[DRY RUN] Migration from Laravel Valet:\n  Sites: 3\n  SSL Certs: 1\n  Parked Paths: 2");
    EXPECT_EQ(r.totalMigrated(), 6);
    r.isDryRun = false;
    r.phpVersionsDetected = {"8.2", "8.3"};
    r.servicesDetected = {"mysql"};
    r.warnings = {"a.test has no path", "b.test: certificate unreadable"};
    EXPECT_EQ(r.summary(),
              "Migration from Laravel Valet:\n  Sites: 3\n  SSL Certs: 1\n  Parked Paths: 2\n"
              "  PHP Versions: 8.2, 8.3\n  Services: mysql\n  Warnings: 2\n"
              "    \xE2\x9A\xA0\xEF\xB8\x8F a.test has no path\n"
              "    \xE2\x9A\xA0\xEF\xB8\x8F b.test: certificate unreadable");
    EXPECT_EQ(vesk::decodeJSON<vesk::MigrationReport>(vesk::encodeJSON(r)), r);

    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    r.sitesMigrated = kMax;
    r.certsMigrated = kMax;
    r.parkedPathsMigrated = 1;
    EXPECT_EQ(r.totalMigrated(), kMax) << "held at the bound, never wrapped";
    r.parkedPathsMigrated = kMin;
    EXPECT_EQ(r.totalMigrated(), kMax - 1) << "summed exactly where the sum fits";
    r.sitesMigrated = kMin;
    r.certsMigrated = -1;
    EXPECT_EQ(r.totalMigrated(), kMin);
}

TEST(HerdConfig, OptionalDefaultPhpAndStrictLists) {
    const auto c = vesk::decodeJSON<vesk::HerdConfig>(
        R"({"paths":["/Sites"],"links":[{"domain":"a","path":"/a","secured":true}],"tld":"test","isolatedSites":[]})");
    EXPECT_EQ(c.defaultPHP, std::nullopt);
    EXPECT_EQ(c.links.at(0), (vesk::HerdConfig::HerdLink{"a", "/a", true}));
    EXPECT_EQ(vesk::encodeJSON(c).find("defaultPHP"), std::string::npos);
    EXPECT_THROW(
        (void)vesk::decodeJSON<vesk::HerdConfig>(R"({"paths":[],"links":[],"tld":"test"})"),
        vesk::DecodingError);
    const vesk::HerdYamlConfig y{
        "shop", {{"mysql", std::string("8.0"), std::nullopt}}, std::nullopt};
    EXPECT_EQ(y, y);
    static_assert(!vesk::JsonCodable<vesk::HerdYamlConfig>);
}

}  // namespace

// Per-site tools (queue workers, Vite, Xdebug) and resource samples.
#include <gtest/gtest.h>

#include "vesk/debugging/XdebugConfig.hpp"
#include "vesk/services/QueueWorker.hpp"
#include "vesk/services/ResourceMetrics.hpp"
#include "vesk/services/ResourceUsage.hpp"
#include "vesk/services/ViteConfig.hpp"

namespace {

vesk::QueueWorker worker(const std::string& queue) {
    return vesk::QueueWorker{vesk::UUID::random(),
                             "app.test",
                             "redis",
                             queue,
                             std::nullopt,
                             vesk::WorkerStatus::running,
                             0,
                             0,
                             std::nullopt,
                             128,
                             60,
                             3};
}

TEST(QueueWorker, ArtisanCommandAndCoding) {
    EXPECT_EQ(worker("default").artisanCommand(),
              "php artisan queue:work redis --queue=default --memory=128 --timeout=60 --tries=3");
    EXPECT_EQ(worker("").artisanCommand(),
              "php artisan queue:work redis --queue= --memory=128 --timeout=60 --tries=3");
    EXPECT_EQ(vesk::label(vesk::WorkerStatus::crashed), "Crashed");
    const auto w = worker("emails");
    const std::string doc = vesk::encodeJSON(w);
    EXPECT_EQ(doc.find("\"pid\""), std::string::npos);
    EXPECT_EQ(doc.find("startedAt"), std::string::npos);
    EXPECT_EQ(vesk::decodeJSON<vesk::QueueWorker>(doc), w);
    std::string noTries = doc;
    noTries.replace(noTries.find("\"tries\""), 7, "\"other\"");
    EXPECT_THROW((void)vesk::decodeJSON<vesk::QueueWorker>(noTries), vesk::DecodingError);
}

TEST(ViteConfig, StartCommandPerPackageManager) {
    vesk::ViteConfig v{"app.test", "/p",        5173, true, vesk::PackageManager::pnpm,
                       true,       std::nullopt};
    EXPECT_EQ(v.startCommand(), "pnpm vite --port 5173");
    v.packageManager = vesk::PackageManager::npm;
    EXPECT_EQ(v.startCommand().rfind("npx ", 0), 0U);
    v.packageManager = vesk::PackageManager::bun;
    EXPECT_EQ(v.startCommand().rfind("bunx ", 0), 0U);
    EXPECT_EQ(vesk::lockFile(vesk::PackageManager::yarn), "yarn.lock");
    EXPECT_EQ(vesk::lockFile(vesk::PackageManager::bun), "bun.lockb");
    EXPECT_EQ(vesk::decodeJSON<vesk::ViteConfig>(vesk::encodeJSON(v)), v);
}

TEST(XdebugConfig, PresetsAndPerSiteValue) {
    const auto c = vesk::XdebugConfig::preset(vesk::IDEPreset::phpstorm, vesk::XdebugMode::profile);
    EXPECT_EQ(c.ideKey, "PHPSTORM");
    EXPECT_EQ(c.clientPort, 9003);
    EXPECT_EQ(c.clientHost, "127.0.0.1");
    EXPECT_EQ(c.mode, vesk::XdebugMode::profile);
    EXPECT_TRUE(c.startWithRequest);
    EXPECT_EQ(c.perSiteEnvValue(), "PHPSTORM");
    EXPECT_EQ(vesk::XdebugConfig::perSiteEnvVar, "XDEBUG_SESSION");
    EXPECT_EQ(vesk::ideKey(vesk::IDEPreset::vscode), "VSCODE");
    EXPECT_EQ(vesk::decodeJSON<vesk::XdebugConfig>(vesk::encodeJSON(c)), c);
}

TEST(ResourceHistory, KeepsTheNewestAndAverages) {
    vesk::ResourceHistory h(3);
    for (int i = 1; i <= 5; ++i) h.append({vesk::Date{double(i)}, 10.0 * i, 100.0 * i});
    ASSERT_EQ(h.snapshots().size(), 3U);
    EXPECT_EQ(h.snapshots().front().timestamp, vesk::Date{3});
    EXPECT_EQ(h.latest()->timestamp, vesk::Date{5});
    EXPECT_EQ(h.cpuValues(), (std::vector<double>{30, 40, 50}));
    EXPECT_EQ(h.memoryValues(), (std::vector<double>{300, 400, 500}));

    vesk::ResourceHistory avg(10);
    EXPECT_EQ(avg.averageCPU(), 0);
    EXPECT_EQ(avg.latest(), std::nullopt);
    for (double cpu : {10.0, 20.0, 60.0}) avg.append({vesk::Date{}, cpu, 0});
    EXPECT_EQ(avg.averageCPU(), 30);

    vesk::ResourceHistory none(0);
    none.append({vesk::Date{}, 1, 1});
    EXPECT_TRUE(none.snapshots().empty());
}

TEST(ResourceAlert, KindsAndThresholds) {
    using K = vesk::ResourceAlert::AlertKind;
    EXPECT_EQ(vesk::fromRawValue<K>("highMemory"), K::highMemory);
    EXPECT_EQ(vesk::fromRawValue<K>("highmemory"), std::nullopt);
    static_assert(!vesk::JsonCodable<K>, "warnings are never stored");
    EXPECT_EQ(vesk::ResourceThresholds::cpuPercent, 80);
    EXPECT_EQ(vesk::ResourceThresholds::memoryMB, 1024);
    const vesk::ResourceUsage u{12.5, 256, 1024, 3600};
    EXPECT_EQ(vesk::decodeJSON<vesk::ResourceUsage>(vesk::encodeJSON(u)), u);
    const vesk::SystemResources s({{vesk::ServiceType::redis, u}}, 12.5, 256, 1024, {{"nginx", u}});
    EXPECT_EQ(s.coreServices.at("nginx"), u);
}

}  // namespace

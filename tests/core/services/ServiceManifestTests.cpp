// Build manifests, PHP versions and where the builds come from.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "vesk/services/PHPDistributionConfig.hpp"
#include "vesk/services/PHPManifest.hpp"
#include "vesk/services/PHPVersion.hpp"
#include "vesk/services/ServiceDistributionConfig.hpp"
#include "vesk/services/ServiceManifest.hpp"

namespace {

using vesk::DecodingError;

const std::string kServices = R"({
  "services": {
    "postgresql": {
      "defaultPort": 5432,
      "requiresInit": true,
      "versions": {
        "16": {
          "latest": "16.4",
          "releases": {
            "16.4": {
              "arm64": {"url": "https://dl.example/pg-16.4-arm64.tar.gz", "sha256": "ab12",
                        "size": 123456, "binaries": ["postgres", "psql"]},
              "x86_64": {"url": "https://dl.example/pg-16.4-x64.tar.gz", "sha256": "cd34",
                         "size": 654321}
            }
          }
        }
      }
    },
    "redis": {"versions": {}}
  }
})";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

DecodingError manifestError(const std::string& doc) {
    try {
        (void)vesk::decodeJSON<vesk::ServiceManifest>(doc);
    } catch (const DecodingError& e) {
        return e;
    }
    ADD_FAILURE() << "decoded";
    return DecodingError(DecodingError::Fault::corrupted, "", "");
}

TEST(ServiceManifest, DecodesWithItsOptionalParts) {
    const auto m = vesk::decodeJSON<vesk::ServiceManifest>(kServices);
    const auto pg = m.versions(vesk::ServiceType::postgresql);
    ASSERT_TRUE(pg.has_value());
    EXPECT_EQ(pg->defaultPort, 5432);
    EXPECT_EQ(pg->requiresInit, true);
    const auto& line = pg->versions.at("16");
    EXPECT_EQ(line.latest, "16.4");
    const auto& arm = line.releases.at("16.4").at("arm64");
    EXPECT_EQ(arm.size, 123456);
    EXPECT_EQ(arm.binaries, (std::vector<std::string>{"postgres", "psql"}));
    EXPECT_EQ(line.releases.at("16.4").at("x86_64").binaries, std::nullopt);
    const auto redis = m.versions(vesk::ServiceType::redis);
    ASSERT_TRUE(redis.has_value());
    EXPECT_EQ(redis->defaultPort, std::nullopt);
    EXPECT_EQ(redis->requiresInit, std::nullopt);
    EXPECT_EQ(m.versions(vesk::ServiceType::mariadb), std::nullopt);
    EXPECT_EQ(vesk::decodeJSON<vesk::ServiceManifest>(vesk::encodeJSON(m)), m);
}

TEST(ServiceManifest, AKeyMissingAnywhereFailsTheWholeManifestWithItsPath) {
    auto e = manifestError(replaced(kServices, R"("redis": {"versions": {}})", R"("redis": {})"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::keyMissing);
    EXPECT_EQ(e.path(), "services.redis.versions");

    e = manifestError(replaced(kServices, R"("latest": "16.4",)", ""));
    EXPECT_EQ(e.fault(), DecodingError::Fault::keyMissing);
    EXPECT_EQ(e.path(), "services.postgresql.versions.16.latest");

    e = manifestError(replaced(kServices, R"("sha256": "cd34",
                         "size": 654321)",
                               R"("sha256": "cd34")"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::keyMissing);
    EXPECT_EQ(e.path(), "services.postgresql.versions.16.releases.16.4.x86_64.size");

    e = manifestError(replaced(kServices, R"("size": 123456)", R"("size": "big")"));
    EXPECT_EQ(e.fault(), DecodingError::Fault::wrongType);
    e = manifestError(replaced(kServices, R"("defaultPort": 5432)", R"("defaultPort": true)"));
    EXPECT_EQ(e.path(), "services.postgresql.defaultPort");
}

TEST(ServiceManifest, AliasesDoNotMatch) {
    const auto m = vesk::decodeJSON<vesk::ServiceManifest>(
        R"({"services":{"postgres":{"versions":{}},"PostgreSQL":{"versions":{}}}})");
    EXPECT_EQ(m.versions(vesk::ServiceType::postgresql), std::nullopt);
}

TEST(PHPManifest, StrictAtEachLevel) {
    const std::string doc = R"({"extensions":["intl","redis"],"versions":{"8.4":{"latest":"8.4.2",
        "releases":{"8.4.2":{"arm64":{"url":"u","sha256":"s","size":1}}}}}})";
    const auto m = vesk::decodeJSON<vesk::PHPManifest>(doc);
    EXPECT_EQ(m.extensions.size(), 2U);
    EXPECT_EQ(m.versions.at("8.4").releases.at("8.4.2").at("arm64").url, "u");
    EXPECT_THROW(
        (void)vesk::decodeJSON<vesk::PHPManifest>(replaced(doc, R"("size":1)", R"("x":1)")),
        DecodingError);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::PHPManifest>(
                     replaced(doc, R"("extensions":["intl","redis"],)", "")),
                 DecodingError);
}

TEST(PHPVersion, DigitRunsCompareByValue) {
    const auto v = [](const std::string& version) {
        return vesk::PHPVersion{version, version, "/b", "/c", "/s", {}, false};
    };
    EXPECT_LT(v("8.9"), v("8.10"));
    EXPECT_FALSE(v("8.10") < v("8.9"));
    EXPECT_LT(v("8.4"), v("8.4.1"));
    EXPECT_FALSE(v("8.4") < v("8.4"));
    EXPECT_LT(v("7.4"), v("8.0"));
    EXPECT_LT(v("8.1-rc"), v("8.1.0"));
    EXPECT_EQ(vesk::compareNumerically("8.010", "8.10"), 0);
    EXPECT_LT(vesk::compareNumerically("1.99999999999999999999999", "1.100000000000000000000000"),
              0)
        << "runs longer than any integer still compare by value";
    std::vector<vesk::PHPVersion> list{v("8.10"), v("7.4"), v("8.2"), v("8.9")};
    std::sort(list.begin(), list.end());
    EXPECT_EQ(list.front().version, "7.4");
    EXPECT_EQ(list.back().version, "8.10");
    EXPECT_EQ(vesk::availablePHPVersions(),
              (std::vector<std::string>{"8.4", "8.3", "8.2", "8.1", "8.0", "7.4"}));
}

TEST(DistributionConfig, EndpointsAndSettingsSafeFromAnyThread) {
    namespace S = vesk::ServiceDistributionConfig;
    namespace P = vesk::PHPDistributionConfig;
    EXPECT_NE(S::manifestURL().get().find("/vesk-service-builds/main/config/services.json"),
              std::string::npos);
    EXPECT_NE(P::manifestURL().get().find("/master/config/php-versions.json"), std::string::npos);
    EXPECT_EQ(S::repoName().get(), "vesk-service-builds");
    EXPECT_EQ(P::repoName().get(), "vesk-php-builds");
    EXPECT_EQ(P::repoOwner().get(), S::repoOwner().get());
    EXPECT_EQ(S::baseDownloadURL().substr(S::baseDownloadURL().size() - 18), "/releases/download");

    const std::string original = S::repoOwner().get();
    std::thread writer([] {
        for (int i = 0; i < 2000; ++i) S::repoOwner().set(i % 2 ? "alpha" : "beta");
    });
    for (int i = 0; i < 2000; ++i) {
        const std::string url = S::baseDownloadURL();
        EXPECT_TRUE(url.find("/alpha/") != std::string::npos ||
                    url.find("/beta/") != std::string::npos ||
                    url.find(original) != std::string::npos);
    }
    writer.join();
    S::repoOwner().set(original);
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "vesk/sites/SiteInfo.hpp"

namespace {

namespace fs = std::filesystem;
using vesk::SiteInfo;

class SiteInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vesk-siteinfo-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
    }
    void TearDown() override { fs::remove_all(dir); }
    void env(const std::string& text) { std::ofstream(dir + "/.env", std::ios::binary) << text; }
    vesk::Site site() const {
        vesk::Site s;
        s.name = "app";
        s.path = dir;
        return s;
    }
    std::string dir;
};

TEST_F(SiteInfoTest, WithoutEnvFile) {
    const auto info = SiteInfo::fromDisk(site(), "laravel", 10);
    EXPECT_EQ(info.driverName, "laravel");
    EXPECT_EQ(info.envPreview, std::nullopt);
    EXPECT_TRUE(info.detectedServices.empty());
    ASSERT_TRUE(info.lastAccessed);
    EXPECT_NEAR(info.lastAccessed->timeIntervalSince1970(), static_cast<double>(::time(nullptr)),
                60);
}

TEST_F(SiteInfoTest, PreviewLinesAndServices) {
    env("APP_NAME=x\n   CACHE_DRIVER=redis\nREDIS_HOST=127.0.0.1\nDB_CONNECTION=mysql\n");
    const auto info = SiteInfo::fromDisk(site(), "d", 10);
    ASSERT_TRUE(info.envPreview);
    EXPECT_EQ(*info.envPreview,
              (std::vector<std::string>{"APP_NAME=x", "   CACHE_DRIVER=redis",
                                        "REDIS_HOST=127.0.0.1", "DB_CONNECTION=mysql", ""}));
    EXPECT_EQ(info.detectedServices, (std::vector<std::string>{"Redis", "MySQL"}));
    const auto none = SiteInfo::fromDisk(site(), "d", 0);
    ASSERT_TRUE(none.envPreview);
    EXPECT_TRUE(none.envPreview->empty());
    EXPECT_EQ(none.detectedServices.size(), 2U) << "services come from the whole file";
    EXPECT_EQ(SiteInfo::fromDisk(site(), "d", 2).envPreview->size(), 2U);
}

TEST_F(SiteInfoTest, EveryNewlineCharacterSeparatesByItself) {
    env("A=1\r\nB=2\u2028C=3\x0b"
        "D=4");
    const auto info = SiteInfo::fromDisk(site(), "d", 100);
    EXPECT_EQ(*info.envPreview, (std::vector<std::string>{"A=1", "", "B=2", "C=3", "D=4"}));
}

TEST_F(SiteInfoTest, UnreadableOrNotUTF8IsAbsent) {
    env("DB_CONNECTION=mysql\n\xFF\xFE\n");
    const auto info = SiteInfo::fromDisk(site(), "d", 5);
    EXPECT_EQ(info.envPreview, std::nullopt);
    EXPECT_TRUE(info.detectedServices.empty());
    vesk::Site gone = site();
    gone.path = dir + "/missing";
    const auto missing = SiteInfo::fromDisk(gone, "d", 5);
    EXPECT_EQ(missing.lastAccessed, std::nullopt);
    EXPECT_EQ(missing.envPreview, std::nullopt);
    vesk::Site slash = site();
    slash.path = dir + "/";
    env("X=1");
    EXPECT_EQ(SiteInfo::fromDisk(slash, "d", 5).envPreview, std::vector<std::string>{"X=1"});
}

TEST(SiteInfoParse, PrefixRules) {
    EXPECT_EQ(SiteInfo::parseServices(""), std::vector<std::string>{});
    EXPECT_EQ(SiteInfo::parseServices(
                  "#DB_CONNECTION=mysql\nDB_CONNECTION = pgsql\nDB_CONNECTION=\"mysql\""),
              std::vector<std::string>{});
    EXPECT_EQ(
        SiteInfo::parseServices("REDIS_HOST_EXTRA=1\nDB_CONNECTION=mysql2\nQUEUE_CONNECTION=redis"),
        (std::vector<std::string>{"Redis", "MySQL"}));
    EXPECT_EQ(SiteInfo::parseServices(
                  "\t\u00A0MAIL_MAILER=smtp\u3000\nMEILISEARCH_HOST=x\nMEMCACHED_HOST=y\n"
                  "ELASTICSEARCH_HOST=z\nMAIL_MAILER=mailhog\nDB_CONNECTION=sqlite"),
              (std::vector<std::string>{"SMTP Mail", "Meilisearch", "Memcached", "Elasticsearch",
                                        "MailHog", "SQLite"}));
    EXPECT_EQ(SiteInfo::parseServices("db_connection=mysql"), std::vector<std::string>{});
}

}  // namespace

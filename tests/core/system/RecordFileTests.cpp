// Record files and the sites they serve: locked read-modify-write, files that
// cannot be read left untouched, and parked and linked sites put together.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "vesk/sites/ServedSites.hpp"
#include "vesk/system/RecordFile.hpp"

namespace {

namespace fs = std::filesystem;

class RecordFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("vesk-records-" + std::to_string(::getpid()))).string();
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(RecordFileTest, MissingThenWrittenThenReadBack) {
    vesk::RecordFile<std::vector<std::string>> file(dir + "/a/b/list.json");
    EXPECT_EQ(file.read({"fallback"}), (std::vector<std::string>{"fallback"}));
    EXPECT_FALSE(fs::exists(file.path())) << "reading writes nothing";
    file.update({}, [](auto& v) { v.push_back("one"); });
    EXPECT_EQ(file.read({}), (std::vector<std::string>{"one"}));
    EXPECT_EQ(fs::status(dir + "/a/b").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(file.path()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(RecordFileTest, AFileThatCannotBeReadIsReportedAndNeverOverwritten) {
    fs::create_directories(dir);
    const std::string path = dir + "/settings.json";
    for (const std::string& text : {std::string("{\"parkedPaths\": 3"), std::string("[1, 2]")}) {
        std::ofstream(path) << text;
        vesk::RecordFile<std::map<std::string, std::string>> file(path);
        try {
            file.update({}, [](auto& m) { m["x"] = "y"; });
            ADD_FAILURE() << "updated over " << text;
        } catch (const vesk::RecordFileError& e) {
            EXPECT_EQ(e.path(), path);
            EXPECT_NE(std::string(e.what()).find(path + ": cannot be read"), std::string::npos)
                << e.what();
        }
        EXPECT_EQ(readAll(path), text) << "left as it is";
    }
}

TEST_F(RecordFileTest, ConcurrentUpdatesNeverLoseAChange) {
    const std::string path = dir + "/list.json";
    constexpr int kWriters = 8;
    std::vector<pid_t> children;
    for (int i = 0; i < kWriters; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            vesk::RecordFile<std::vector<int>> file(path);
            for (int k = 0; k < 20; ++k)
                file.update({}, [&](auto& v) { v.push_back(i * 100 + k); });
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(vesk::RecordFile<std::vector<int>>(path).read({}).size(), 160U);
}

TEST(ServedSites, ParkedDirectoriesAndLinkedSitesTogether) {
    using vesk::ServedSites::siteName;
    EXPECT_EQ(siteName("Blog"), "blog");
    EXPECT_EQ(siteName("my-app2"), "my-app2");
    for (const char* bad : {"", ".hidden", "a b", "-x", "x-", "a.b", "caf\xC3\xA9"}) {
        EXPECT_EQ(siteName(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(siteName(std::string(64, 'a')), std::nullopt);
    // Parked directories are served under a host name when one follows.
    using vesk::ServedSites::parkedSiteName;
    EXPECT_EQ(parkedSiteName("My_Shop"), "my-shop");
    EXPECT_EQ(parkedSiteName("my.blog"), "my-blog");
    EXPECT_EQ(parkedSiteName("My  App__2"), "my-app-2");
    EXPECT_EQ(parkedSiteName("Blog"), "blog");
    for (const char* none : {".git", ".env.d", "caf\xC3\xA9", "_", "a/b", ""}) {
        EXPECT_EQ(parkedSiteName(none), std::nullopt) << none;
    }

    auto config = vesk::AppConfig::defaultValue();
    config.parkedPaths = {"/p1", "/p2", "/gone"};
    const auto lister = [](const std::string& path) -> std::optional<std::vector<std::string>> {
        if (path == "/p1") return std::vector<std::string>{"shop", "Blog", ".git", "api"};
        if (path == "/p2") return std::vector<std::string>{"blog", "docs"};
        return std::nullopt;
    };
    vesk::Site linked;
    linked.name = linked.domain = "api";
    linked.path = "/elsewhere/api";
    linked.tld = "test";
    linked.isLinked = true;
    vesk::Site isolated;
    isolated.name = isolated.domain = "shop";
    isolated.path = "/p1/shop";
    isolated.tld = "test";
    isolated.isParked = true;
    isolated.phpVersion = "8.2";
    const auto sites = vesk::ServedSites::all(config, {linked, isolated}, lister);
    std::vector<std::string> seen;
    for (const auto& s : sites) seen.push_back(s.fullDomain() + " " + s.path);
    EXPECT_EQ(seen, (std::vector<std::string>{"api.test /elsewhere/api", "blog.test /p1/Blog",
                                              "docs.test /p2/docs", "shop.test /p1/shop"}))
        << "a link wins its name; the first parked path wins a name; ordered by name";
    EXPECT_EQ(vesk::ServedSites::find(sites, "shop")->phpVersion, "8.2")
        << "a parked site's record stands in for it";
    EXPECT_EQ(vesk::ServedSites::find(sites, "docs.test")->path, "/p2/docs");
    EXPECT_FALSE(vesk::ServedSites::find(sites, "nope"));

    // Many records in no order, a name linked twice: every site once, the
    // first link of a name kept, all in the order of their names.
    std::vector<vesk::Site> many;
    for (int i = 199; i >= 0; --i) {
        vesk::Site s = linked;
        s.name = s.domain = "s" + std::to_string((i * 37) % 200);
        s.path = "/first/" + s.domain;
        many.push_back(s);
    }
    vesk::Site again = many[5];
    again.path = "/second";
    many.push_back(again);
    many.push_back(isolated);
    const auto ordered = vesk::ServedSites::all(config, many, lister);
    ASSERT_EQ(ordered.size(), 200U + 4U) << "200 links; parked api, blog, docs and shop";
    for (std::size_t i = 1; i < ordered.size(); ++i) {
        EXPECT_LT(ordered[i - 1].domain, ordered[i].domain);
    }
    EXPECT_EQ(vesk::ServedSites::find(ordered, again.domain)->path, "/first/" + again.domain);
    EXPECT_EQ(vesk::ServedSites::find(ordered, "shop")->phpVersion, "8.2");
}

}  // namespace

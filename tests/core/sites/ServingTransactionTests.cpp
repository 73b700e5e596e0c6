// A change of the site blocks as one step, checked by Debian's nginx: what it
// refuses leaves the blocks served before, what it takes replaces them whole.
#include "vesk/sites/ServingTransaction.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

class ServingTransactionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "no nginx here";
        base =
            (fs::temp_directory_path() / ("vesk-serving-" + std::to_string(::getpid()))).string();
        fs::remove_all(base);
        layout.veskBase = base;
        for (const auto& dir :
             {layout.sitesDir(), layout.logDir(), layout.runDir(), base + "/tmp"}) {
            fs::create_directories(dir);
        }
        fs::copy_file("/etc/nginx/fastcgi_params", layout.etcDir() + "/fastcgi_params");
        const passwd* pw = ::getpwuid(::geteuid());
        const group* gr = ::getgrgid(::getegid());
        layout.user = pw != nullptr ? pw->pw_name : "root";
        layout.group = gr != nullptr ? gr->gr_name : "root";
        layout.ipv6 = false;
        std::ofstream(layout.sitesDir() + "/old.conf") << block("old.test");
    }
    void TearDown() override {
        if (!base.empty()) fs::remove_all(base);
    }
    std::string block(const std::string& name) const {
        return "server {\n" + vesk::ServerConfig::listenLines(layout, 8089, "") +
               "    server_name " + name + ";\n    return 204;\n}\n";
    }
    std::string base;
    vesk::ServerConfig::Layout layout;
};

TEST_F(ServingTransactionTest, WhatNginxRefusesLeavesTheBlocksServedBefore) {
    {
        vesk::serving::Transaction change(layout);
        change.add("new.conf", block("new.test"));
        change.add("broken.conf", "server { listen 8089; no_such_directive on; }\n");
        try {
            change.commit();
            FAIL() << "nginx took a directive it does not know";
        } catch (const vesk::serving::Refused& refused) {
            EXPECT_NE(std::string(refused.what()).find("no_such_directive"), std::string::npos)
                << refused.what();
            // nginx's words name the staged file by the live directory's name.
            EXPECT_EQ(std::string(refused.what()).find(".check"), std::string::npos);
        }
    }
    EXPECT_EQ(readAll(layout.sitesDir() + "/old.conf"), block("old.test"));
    EXPECT_FALSE(fs::exists(layout.sitesDir() + "/new.conf"));
    EXPECT_FALSE(fs::exists(layout.sitesDir() + ".new")) << "nothing staged is left";
    EXPECT_FALSE(fs::exists(layout.etcDir() + "/nginx-check.conf"));
}

TEST_F(ServingTransactionTest, WhatNginxTakesReplacesTheBlocksWhole) {
    {
        vesk::serving::Transaction change(layout);
        change.add("new.conf", block("new.test"));
        change.commit();
    }
    EXPECT_EQ(readAll(layout.sitesDir() + "/new.conf"), block("new.test"));
    EXPECT_FALSE(fs::exists(layout.sitesDir() + "/old.conf")) << "the old set went whole";
    EXPECT_FALSE(fs::exists(layout.sitesDir() + ".new"));
    // A transaction never committed changes nothing.
    {
        vesk::serving::Transaction abandoned(layout);
        abandoned.add("other.conf", block("other.test"));
    }
    EXPECT_FALSE(fs::exists(layout.sitesDir() + "/other.conf"));
    EXPECT_TRUE(fs::exists(layout.sitesDir() + "/new.conf"));
    EXPECT_EQ(vesk::serving::check(layout, layout.sitesDir()).status, 0);
}

TEST(Serving, AFileIsWrittenOnlyWhenItChanges) {
    const fs::path file =
        fs::temp_directory_path() / ("vesk-changed-" + std::to_string(::getpid()));
    vesk::serving::writeIfChanged(file.string(), "one");
    struct timespec past[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), past, 0), 0);
    const auto old = fs::last_write_time(file);
    vesk::serving::writeIfChanged(file.string(), "one");
    EXPECT_EQ(fs::last_write_time(file), old) << "the same text is not written again";
    vesk::serving::writeIfChanged(file.string(), "two");
    EXPECT_EQ(readAll(file), "two");
    EXPECT_NE(fs::last_write_time(file), old);
    fs::remove(file);
}

}  // namespace

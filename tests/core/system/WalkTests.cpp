// Trees root hands over to the developer or removes: links planted in them
// never lead root elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "vesk/system/Walk.hpp"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

class WalkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "handing files over needs root";
        root = fs::temp_directory_path() / ("vesk-tree-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "env/a/b");
        fs::create_directories(root / "outside/dir");
        std::ofstream(root / "env/a/b/file") << "mine";
        std::ofstream(root / "outside/secret") << "root's";
        std::ofstream(root / "outside/dir/kept") << "root's";
        // What a developer who owned the tree before could have planted.
        fs::create_symlink(root / "outside/secret", root / "env/a/to-file");
        fs::create_symlink(root / "outside/dir", root / "env/a/to-dir");
        fs::create_symlink(root / "outside", root / "env/b");
    }
    void TearDown() override {
        if (!root.empty()) fs::remove_all(root);
    }
    static uid_t ownerOf(const fs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
    }
    fs::path root;
};

TEST_F(WalkTest, HandingOverNeverFollowsALink) {
    vesk::walk::chownTree((root / "env").string(), kNobody, kNobody);
    EXPECT_EQ(ownerOf(root / "env"), kNobody);
    EXPECT_EQ(ownerOf(root / "env/a/b/file"), kNobody);
    EXPECT_EQ(ownerOf(root / "env/a/to-file"), kNobody) << "the link itself is handed over";
    for (const char* p : {"outside", "outside/secret", "outside/dir", "outside/dir/kept"}) {
        EXPECT_EQ(ownerOf(root / p), 0u) << p << " was handed over through a link";
    }
    // A link given as the tree itself is refused.
    EXPECT_THROW(vesk::walk::chownTree((root / "env/b").string(), kNobody, kNobody),
                 vesk::walk::WalkError);
    EXPECT_EQ(ownerOf(root / "outside"), 0u);
}

TEST_F(WalkTest, RemovingNeverFollowsALink) {
    vesk::walk::removeTree((root / "env").string());
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "env")));
    for (const char* p : {"outside/secret", "outside/dir/kept"}) {
        EXPECT_TRUE(fs::exists(root / p)) << p << " was removed through a link";
    }
    fs::create_symlink(root / "outside", root / "link");
    vesk::walk::removeTree((root / "link").string());
    EXPECT_TRUE(fs::exists(root / "outside/secret"));
}

TEST_F(WalkTest, ATreeTooDeepIsRefusedNotRecursedWithoutEnd) {
    fs::path deep = root / "env";
    for (int i = 0; i <= vesk::walk::kMaxDepth + 2; ++i) deep /= "d";
    fs::create_directories(deep);
    EXPECT_THROW(vesk::walk::chownTree((root / "env").string(), kNobody, kNobody),
                 vesk::walk::WalkError);
    vesk::walk::removeTree((root / "env").string());
    EXPECT_TRUE(fs::exists(root / "outside/secret"));
}

TEST_F(WalkTest, WritingBelowReplacesAPlantedLinkAndNeverWritesThroughOne) {
    const std::string env = (root / "env").string();
    // A link at the file's place: the link is replaced, its target kept.
    fs::create_directories(root / "env/etc");
    fs::create_symlink(root / "outside/secret", root / "env/etc/fastcgi_params");
    vesk::walk::writeFileBelow(env, "etc/fastcgi_params", "params", 0644);
    EXPECT_FALSE(fs::is_symlink(root / "env/etc/fastcgi_params"));
    std::ifstream written(root / "env/etc/fastcgi_params");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "params");
    std::ifstream secret(root / "outside/secret");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "root's");

    // A link on the way: refused, nothing written where it points.
    EXPECT_THROW(vesk::walk::writeFileBelow(env, "a/to-dir/php-fpm", "x", 0755),
                 vesk::walk::WalkError);
    EXPECT_FALSE(fs::exists(root / "outside/dir/php-fpm"));
    EXPECT_THROW(vesk::walk::writeFileBelow(env, "../outside/x", "x", 0644), vesk::walk::WalkError);
    EXPECT_FALSE(fs::exists(root / "outside/x"));

    // Missing directories are made; the mode is the one asked for.
    vesk::walk::writeFileBelow(env, "php/8.2/sbin/php-fpm", "program", 0755);
    struct stat st {};
    ASSERT_EQ(::stat((root / "env/php/8.2/sbin/php-fpm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

}  // namespace

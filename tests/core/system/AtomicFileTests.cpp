#include "vesk/system/AtomicFile.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("vesk-atomic-" + std::to_string(::getpid()))).string();
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    [[nodiscard]] std::string text(const std::string& name) const {
        std::ifstream in(dir + "/" + name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    [[nodiscard]] std::size_t entries() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
    std::string dir;
};

TEST_F(AtomicFileTest, TheNewTextTakesTheNameWholeWithTheModeAsked) {
    vesk::atomicfile::Options options;
    options.mode = 0640;
    ASSERT_EQ(vesk::atomicfile::replace(dir + "/a.conf", "first", options), 0);
    ASSERT_EQ(vesk::atomicfile::replace(dir + "/a.conf", "second, longer", options), 0);
    EXPECT_EQ(text("a.conf"), "second, longer");
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/a.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640U) << "exactly, whatever the umask";
    EXPECT_EQ(entries(), 1U) << "no staged file left";
    EXPECT_EQ(vesk::atomicfile::replace(dir + "/none/a.conf", "x"), ENOENT);
}

TEST_F(AtomicFileTest, ALinkInTheNamesPlaceIsReplacedNeverFollowed) {
    const std::string outside = dir + "-outside";
    std::ofstream(outside) << "kept";
    fs::create_symlink(outside, dir + "/b.conf");
    ASSERT_EQ(vesk::atomicfile::replace(dir + "/b.conf", "mine"), 0);
    EXPECT_FALSE(fs::is_symlink(dir + "/b.conf"));
    EXPECT_EQ(text("b.conf"), "mine");
    std::ifstream in(outside);
    std::string was;
    in >> was;
    EXPECT_EQ(was, "kept") << "the link's target was not written";
    fs::remove(outside);
}

TEST_F(AtomicFileTest, AFailedReplacementLeavesTheOldFileAndNoStagedOne) {
    // A directory in the name's place: the rename fails, nothing is left.
    fs::create_directories(dir + "/c.conf");
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(vesk::atomicfile::replaceAt(fd, "c.conf", "x"), 0);
    ::close(fd);
    EXPECT_TRUE(fs::is_directory(dir + "/c.conf"));
    EXPECT_EQ(entries(), 1U) << "the staged file went";
}

}  // namespace

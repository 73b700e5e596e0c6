// The access log read in the process: the format's lines taken, the rest
// counted, a large log read in two halves that count every line once.
#include "vesk/sites/AccessLog.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "vesk/foundation/Date.hpp"

namespace {

namespace fs = std::filesystem;

std::string line(double at, const char* path, int status, const char* host) {
    std::ostringstream out;
    out << "127.0.0.1\t" << std::fixed << at << "\tGET\t" << path << "\tHTTP/1.1\t" << status
        << "\t100\t0.010\tcurl/8.0\t" << host << "\n";
    return out.str();
}

class AccessLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = (fs::temp_directory_path() / ("vesk-access-" + std::to_string(::getpid()))).string();
    }
    void TearDown() override { fs::remove(path); }
    std::string path;
};

TEST_F(AccessLogTest, LinesInTheFormatAreTakenAndTheRestCounted) {
    const double now = vesk::Date::now().timeIntervalSince1970();
    {
        std::ofstream out(path, std::ios::binary);
        out << line(now - 5, "/", 200, "blog.test") << line(now - 6, "/a", 404, "shop.test")
            << line(now - 7200, "/old", 500, "blog.test") << "garbage\n"
            << "127.0.0.1\t" << now << "\tGET\t/half";
    }
    const auto all = vesk::accesslog::read(path, now - 3600, std::nullopt);
    EXPECT_EQ(all.requests, 2U);
    EXPECT_EQ(all.skipped, 1U);
    EXPECT_EQ(all.truncated, 1U);
    const auto blog = vesk::accesslog::read(path, now - 3600, std::string("blog.test"));
    EXPECT_EQ(blog.requests, 1U);
    EXPECT_THROW((void)vesk::accesslog::read(path + ".none", 0, std::nullopt),
                 vesk::accesslog::AccessLogError);
    EXPECT_THROW((void)vesk::accesslog::read(fs::temp_directory_path().string(), 0, std::nullopt),
                 vesk::accesslog::AccessLogError);
}

TEST_F(AccessLogTest, ALogReadInTwoHalvesCountsEachLineOnce) {
    const double now = vesk::Date::now().timeIntervalSince1970();
    std::size_t written = 0;
    {
        std::ofstream out(path, std::ios::binary);
        const std::string one = line(now - 1, "/some/longer/path/to/fill", 200, "blog.test");
        // Past the size that splits the reading, with lines of two lengths
        // so the middle falls inside one.
        while (static_cast<std::size_t>(out.tellp()) < (std::size_t{17} << 20)) {
            out << one << line(now - 2, "/x", 301, "blog.test");
            written += 2;
        }
    }
    const auto reading = vesk::accesslog::read(path, now - 60, std::nullopt);
    EXPECT_EQ(reading.requests, written);
    EXPECT_EQ(reading.skipped, 0U);
    EXPECT_EQ(reading.truncated, 0U);
}

}  // namespace

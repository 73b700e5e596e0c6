// Builds, releases, the Homebrew formula and the machine's identity.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

#include "vesk/app/BuildInfo.hpp"
#include "vesk/app/GitHubRelease.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/services/HomebrewFormula.hpp"
#include "vesk/system/MachineIdentifier.hpp"

namespace {

namespace fs = std::filesystem;
using vesk::BuildInfo;
using vesk::VersionComponent;
using vesk::VersionComponents;

BuildInfo build(const std::string& version, std::int64_t number = 57) {
    return BuildInfo{version,
                     number,
                     std::string("abc123"),
                     std::nullopt,
                     vesk::BuildConfiguration::release,
                     std::string("arm64")};
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(BuildInfo, VersionsComponentsAndBumps) {
    EXPECT_EQ(build("1.4.2").fullVersion(), "1.4.2 (57)");
    EXPECT_EQ(build("2.10").versionComponents(), (VersionComponents{2, 10, 0}));
    EXPECT_EQ(build("").versionComponents(), (VersionComponents{0, 0, 0}));
    EXPECT_EQ(build("1..2").versionComponents(), (VersionComponents{1, 2, 0}));
    EXPECT_EQ(build("1.x.3").versionComponents(), (VersionComponents{1, 3, 0}));
    const auto minor = build("1.4.9").bumped(VersionComponent::minor);
    EXPECT_EQ(minor.version, "1.5.0");
    EXPECT_EQ(minor.buildNumber, 58);
    EXPECT_EQ(minor.gitCommit, "abc123");
    EXPECT_EQ(build("1.4.9").bumped(VersionComponent::major).version, "2.0.0");
    EXPECT_EQ(build("1.4").bumped(VersionComponent::patch).version, "1.4.1");
    EXPECT_EQ(build("1.2.3.4-beta").bumped(VersionComponent::patch).version, "1.2.4");
    EXPECT_EQ(build("1.+-2.+3.-4.+.-").versionComponents(), (VersionComponents{1, 3, -4}))
        << "an optional sign followed by digits, nothing else";
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const auto far = BuildInfo{"9223372036854775807.9223372036854775807.9223372036854775807",
                               kMax,
                               std::nullopt,
                               std::nullopt,
                               vesk::BuildConfiguration::release,
                               std::string("arm64")};
    EXPECT_EQ(far.bumped(VersionComponent::major).version, "9223372036854775807.0.0");
    EXPECT_EQ(far.bumped(VersionComponent::minor).version,
              "9223372036854775807.9223372036854775807.0");
    EXPECT_EQ(far.bumped(VersionComponent::patch).version, far.version);
    EXPECT_EQ(far.bumped(VersionComponent::patch).buildNumber, kMax) << "saturated, not wrapped";
    const auto b = build("1.0.0");
    EXPECT_EQ(vesk::decodeJSON<BuildInfo>(vesk::encodeJSON(b)), b);
    EXPECT_THROW((void)vesk::decodeJSON<BuildInfo>(
                     R"({"version":"1","buildNumber":1,"configuration":"beta"})"),
                 vesk::DecodingError);
}

TEST(GitHubRelease, ListingAndComparison) {
    const auto r = vesk::decodeJSON<vesk::GitHubRelease>(
        R"({"tag_name":"v2.1.0","name":null,"prerelease":false,"draft":false,"body":null,"html_url":"x",
            "assets":[{"name":"vesk-darwin-arm64","browser_download_url":"https://d/x","size":12,"id":1}]})");
    EXPECT_EQ(r.version(), "2.1.0");
    EXPECT_EQ(r.body, std::nullopt);
    EXPECT_EQ(r.assets.at(0).browserDownloadUrl, "https://d/x");
    EXPECT_NE(vesk::encodeJSON(r).find("\"tag_name\":\"v2.1.0\""), std::string::npos);
    vesk::GitHubRelease upper = r;
    upper.tagName = "V2.1.0";
    EXPECT_EQ(upper.version(), "V2.1.0");
    using R = vesk::GitHubRelease;
    EXPECT_TRUE(R::isNewer("1.10.0", "1.9.9"));
    EXPECT_FALSE(R::isNewer("1.2", "1.2.0"));
    EXPECT_TRUE(R::isNewer("1.2.0.1", "1.2"));
    EXPECT_FALSE(R::isNewer("1.2.0", "1.2.0"));
    EXPECT_FALSE(R::isNewer("1.2.0-beta", "1.2"));
    EXPECT_FALSE(R::isNewer("1.9", "1.10"));
}

TEST(HomebrewFormula, TwentyFourLinesByteForByte) {
    vesk::HomebrewFormula f{"Vesk",
                            "Local web development for PHP, Node.js and static sites",
                            "https://code.example.com/vesk/vesk",
                            "1.2.0",
                            "MIT",
                            "",
                            "aaaa1111",
                            "bbbb2222",
                            "https://mirror.example.com/vesk-1.2.0-intel",
                            "vesk"};
    EXPECT_EQ(f.downloadURL("arm64"),
              "https://code.example.com/vesk/vesk/releases/download/v1.2.0/vesk-darwin-arm64");
    const std::string ruby = f.generateRuby();
    EXPECT_EQ(ruby, readAll(std::string(VESK_GOLDEN_DIR) + "/homebrew/vesk.rb"));
    EXPECT_EQ(std::count(ruby.begin(), ruby.end(), '\n'), 23);
    f.x86URL.clear();
    EXPECT_NE(f.generateRuby().find("releases/download/v1.2.0/vesk-darwin-x86_64\""),
              std::string::npos);
}

class MachineIdentifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("vesk-machine-" + std::to_string(::getpid()))).string();
        fs::create_directories(dir);
        sources.productUUID = dir + "/product_uuid";
        sources.machineIdAllowed = false;
        sources.machineInfo = dir + "/machine-info";
        sources.defaultsFile = dir + "/config/vesk/defaults.json";
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
    vesk::MachineIdentifier::Sources sources;
};

TEST_F(MachineIdentifierTest, ProductUuidThenDerivedThenAStableFallback) {
    std::ofstream(sources.productUUID) << "4c4c4544-0042-3510-8052-b4c04f4d4e31\n";
    EXPECT_EQ(vesk::MachineIdentifier::hardwareUUID(sources),
              "4C4C4544-0042-3510-8052-B4C04F4D4E31");
    std::ofstream(sources.productUUID) << "00000000-0000-0000-0000-000000000000\n";
    const std::string first = vesk::MachineIdentifier::hardwareUUID(sources);
    EXPECT_TRUE(vesk::UUID::parse(first).has_value());
    EXPECT_EQ(vesk::MachineIdentifier::hardwareUUID(sources), first) << "stored once, stable after";
    EXPECT_NE(readAll(sources.defaultsFile).find(first), std::string::npos);

    std::ifstream machineId("/etc/machine-id");
    std::string raw;
    if (machineId >> raw) {
        vesk::MachineIdentifier::Sources derived = sources;
        derived.machineIdAllowed = true;
        const std::string id = vesk::MachineIdentifier::hardwareUUID(derived);
        std::string plain;
        for (const char c : id) {
            if (c != '-') plain += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_NE(plain, raw) << "the machine id itself never leaks";
        EXPECT_EQ(vesk::MachineIdentifier::hardwareUUID(derived), id);
    }
}

TEST_F(MachineIdentifierTest, DefaultsItCannotReadAreNeverOverwritten) {
    std::ofstream(sources.productUUID) << "not a uuid";
    fs::create_directories(fs::path(sources.defaultsFile).parent_path());
    std::string big = R"({"Other":")" + std::string(8000, 'x') + R"(","Count":3,)";
    std::ofstream(sources.defaultsFile) << big;
    const std::string id = vesk::MachineIdentifier::hardwareUUID(sources);
    EXPECT_TRUE(vesk::UUID::parse(id).has_value());
    EXPECT_TRUE(readAll(sources.defaultsFile) == big)
        << "defaults that are not JSON stay as they were";
    EXPECT_EQ(vesk::MachineIdentifier::hardwareUUID(sources), id) << "stable for the process";
    big = R"({"Other":")" + std::string(8000, 'x') + R"("})";
    std::ofstream(sources.defaultsFile) << big;
    const std::string stored = vesk::MachineIdentifier::hardwareUUID(sources);
    EXPECT_NE(readAll(sources.defaultsFile).find(std::string(8000, 'x')), std::string::npos)
        << "long defaults are read whole and kept";
    EXPECT_EQ(vesk::MachineIdentifier::hardwareUUID(sources), stored);
}

TEST_F(MachineIdentifierTest, DefaultsOfEveryValueTypeKeepTheirValuesAndTheIdentifier) {
    std::ofstream(sources.productUUID) << "not a uuid";
    fs::create_directories(fs::path(sources.defaultsFile).parent_path());
    const std::string before =
        "{\n\t\"Flag\": true,\n\t\"Count\": 3,\n\t\"Nested\": {\"a\": [1, null]},\n\t\"Name\": "
        "\"x\"\n}\n";
    std::ofstream(sources.defaultsFile) << before;
    const std::string id = vesk::MachineIdentifier::hardwareUUID(sources);
    const std::string after = readAll(sources.defaultsFile);
    EXPECT_EQ(after.substr(0, before.find("\n}")), before.substr(0, before.find("\n}")))
        << "every other value kept byte for byte";
    EXPECT_NE(after.find(id), std::string::npos);
    EXPECT_EQ(vesk::MachineIdentifier::hardwareUUID(sources), id) << "stable: " << after;
    EXPECT_EQ(readAll(sources.defaultsFile), after);

    // An entry that is not a text is another program's: never overwritten.
    const std::string odd = R"({"Vesk.FallbackMachineUUID": 12, "Other": false})";
    std::ofstream(sources.defaultsFile) << odd;
    const std::string unstored = vesk::MachineIdentifier::hardwareUUID(sources);
    EXPECT_EQ(vesk::MachineIdentifier::hardwareUUID(sources), unstored);
    EXPECT_EQ(readAll(sources.defaultsFile), odd);
}

TEST_F(MachineIdentifierTest, AFullDiskNeverTruncatesTheDefaults) {
    std::ofstream(sources.productUUID) << "not a uuid";
    fs::create_directories(fs::path(sources.defaultsFile).parent_path());
    const std::string before = R"({"Other": ")" + std::string(4000, 'v') + "\"}";
    std::ofstream(sources.defaultsFile) << before;
    // The child may write at most 100 bytes to any file: the defaults
    // cannot be written whole.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit { 100, 100 };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string a = vesk::MachineIdentifier::hardwareUUID(sources);
        const std::string b = vesk::MachineIdentifier::hardwareUUID(sources);
        ::_exit(a == b && vesk::UUID::parse(a) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stable within the process";
    EXPECT_EQ(readAll(sources.defaultsFile), before) << "the store is left intact";
    for (const auto& entry : fs::directory_iterator(fs::path(sources.defaultsFile).parent_path())) {
        EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path();
    }
}

TEST_F(MachineIdentifierTest, RacingFirstCreationsAgree) {
    // Eight processes create the fallback at once; all read back one value.
    constexpr int kProcesses = 8;
    std::vector<int> pipes;
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string id = vesk::MachineIdentifier::hardwareUUID(sources);
            const auto n = ::write(fds[1], id.data(), id.size());
            ::_exit(n == static_cast<ssize_t>(id.size()) ? 0 : 1);
        }
        ::close(fds[1]);
        pipes.push_back(fds[0]);
        children.push_back(pid);
    }
    std::set<std::string> seen;
    for (int i = 0; i < kProcesses; ++i) {
        char buf[64] = {};
        const ssize_t n = ::read(pipes[i], buf, sizeof buf);
        ::close(pipes[i]);
        ::waitpid(children[i], nullptr, 0);
        seen.insert(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0));
    }
    EXPECT_EQ(seen.size(), 1U);
    EXPECT_EQ(*seen.begin(), vesk::MachineIdentifier::hardwareUUID(sources));
}

TEST_F(MachineIdentifierTest, NameFromMachineInfoElseHostName) {
    std::ofstream(sources.machineInfo) << "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's Laptop\"\n";
    EXPECT_EQ(vesk::MachineIdentifier::machineName(sources), "Ada's Laptop");
    std::ofstream(sources.machineInfo) << "CHASSIS=laptop\n";
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(vesk::MachineIdentifier::machineName(sources), host[0] ? std::string(host) : "Mac");
}

}  // namespace

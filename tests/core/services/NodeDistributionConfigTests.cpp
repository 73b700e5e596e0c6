// Language runtimes: the Node.js index and its rules, Go, Python and Flutter.
#include <gtest/gtest.h>

#include "vesk/services/FlutterVersion.hpp"
#include "vesk/services/GoVersion.hpp"
#include "vesk/services/NodeDistributionConfig.hpp"
#include "vesk/services/PythonVersion.hpp"

namespace {

namespace N = vesk::NodeDistributionConfig;
using vesk::NodeDistributionEntry;

NodeDistributionEntry entry(const std::string& version, NodeDistributionEntry::LTSValue lts) {
    return NodeDistributionEntry{version, "2025-01-01", {"osx-arm64-tar"}, "10.0.0", lts, false};
}

TEST(NodeDistribution, LtsValuesOfEveryShape) {
    const auto lts = [](const std::string& json) {
        return vesk::decodeJSON<NodeDistributionEntry>(
                   R"({"version":"v22.1.0","date":"d","files":[],"security":false,"lts":)" + json +
                   "}")
            .lts;
    };
    EXPECT_EQ(lts("false").value, (std::variant<bool, std::string>(false)));
    EXPECT_EQ(lts("true").value, (std::variant<bool, std::string>(true)));
    EXPECT_EQ(lts(R"("Jod")").value, (std::variant<bool, std::string>(std::string("Jod"))));
    EXPECT_EQ(lts("null").value, (std::variant<bool, std::string>(false)));
    EXPECT_EQ(lts("12").value, (std::variant<bool, std::string>(false)));
    EXPECT_EQ(lts(R"({"x":1})").value, (std::variant<bool, std::string>(false)));
    EXPECT_TRUE(lts(R"("Jod")").isLTS());
    EXPECT_EQ(lts(R"("Jod")").codename(), "Jod");
    EXPECT_EQ(lts("true").codename(), std::nullopt);
    EXPECT_THROW((void)vesk::decodeJSON<NodeDistributionEntry>(
                     R"({"version":"v22.1.0","date":"d","files":[],"security":false})"),
                 vesk::DecodingError)
        << "lts is required";
    const auto e = entry("v22.1.0", {std::string("Jod")});
    EXPECT_EQ(vesk::decodeJSON<NodeDistributionEntry>(vesk::encodeJSON(e)), e);
}

TEST(NodeDistribution, MajorVersionsAndNames) {
    EXPECT_EQ(N::majorVersion("v22.11.0"), 22);
    EXPECT_EQ(N::majorVersion("18"), 18);
    EXPECT_EQ(N::majorVersion(""), 0);
    EXPECT_EQ(N::majorVersion("vX"), 0);
    EXPECT_EQ(N::majorVersion("v.7.1"), 7);
    EXPECT_EQ(N::majorVersion("v99999999999999999999.0"), 0) << "not a valid integer";
    EXPECT_EQ(N::downloadURL("v22.11.0", "arm64"),
              "https://nodejs.org/dist/v22.11.0/node-v22.11.0-darwin-arm64.tar.gz");
    EXPECT_EQ(N::downloadURL("v22.11.0", "x86_64"),
              "https://nodejs.org/dist/v22.11.0/node-v22.11.0-darwin-x64.tar.gz");
    EXPECT_EQ(N::downloadURL("v22.11.0", "ARM64"),
              "https://nodejs.org/dist/v22.11.0/node-v22.11.0-darwin-x64.tar.gz");
    EXPECT_EQ(N::checksumURL("v20.1.0"), "https://nodejs.org/dist/v20.1.0/SHASUMS256.txt");
    EXPECT_EQ(N::extractedDirName("v20.1.0", "arm64"), "node-v20.1.0-darwin-arm64");
    EXPECT_EQ(N::indexURL().absoluteString(), "https://nodejs.org/dist/index.json");
    const auto e = entry("v22.1.0", {false});
    EXPECT_TRUE(e.hasMacOSArm64());
    EXPECT_FALSE(e.hasMacOSX64());
}

TEST(NodeDistribution, ShouldShowOverMajorsSixteenToTwentyFive) {
    for (std::int64_t major = 16; major <= 25; ++major) {
        const std::string v = "v" + std::to_string(major) + ".0.0";
        const bool current = major == 23 || major == 25;
        EXPECT_EQ(N::shouldShow(entry(v, {false})), current && major >= 18) << v << " false";
        EXPECT_EQ(N::shouldShow(entry(v, {true})), major >= 18) << v << " true";
        EXPECT_EQ(N::shouldShow(entry(v, {std::string("Name")})), major >= 18) << v << " name";
    }
}

TEST(NodeDistribution, LatestPerMajorHighestFirst) {
    const std::vector<NodeDistributionEntry> index{entry("v23.3.0", {false}),
                                                   entry("v22.11.0", {std::string("Jod")}),
                                                   entry("v22.10.0", {std::string("Jod")}),
                                                   entry("v20.18.0", {std::string("Iron")}),
                                                   entry("v23.2.0", {false}),
                                                   entry("v16.20.2", {std::string("Gallium")})};
    const auto latest = N::latestPerMajor(index);
    ASSERT_EQ(latest.size(), 4U);
    EXPECT_EQ(latest[0].version, "v23.3.0");
    EXPECT_EQ(latest[1].version, "v22.11.0");
    EXPECT_EQ(latest[2].version, "v20.18.0");
    EXPECT_EQ(latest[3].version, "v16.20.2");
    const auto groups = N::groupByMajor(index);
    ASSERT_EQ(groups.at(22).size(), 2U);
    EXPECT_EQ(groups.at(22)[1].version, "v22.10.0");
    EXPECT_EQ(groups.at(23)[1].version, "v23.2.0");
}

TEST(NodeVersion, FromTheIndexAndItsDisplayName) {
    const auto a = entry("v22.11.0", {std::string("Jod")}).toNodeVersion(true, "/opt/node/22");
    const auto b = entry("v22.11.0", {std::string("Jod")}).toNodeVersion(true, "/opt/node/22");
    EXPECT_NE(a.id, b.id) << "each gets a fresh id";
    EXPECT_EQ(a.displayName(), "v22.11.0 LTS (Jod)");
    EXPECT_EQ(a.npmVersion, "10.0.0");
    EXPECT_EQ(a.majorVersion(), 22);
    EXPECT_EQ(entry("v20.1.0", {true}).toNodeVersion(false, std::nullopt).displayName(),
              "v20.1.0 LTS");
    EXPECT_EQ(entry("v23.1.0", {false}).toNodeVersion(false, std::nullopt).displayName(),
              "v23.1.0");
    EXPECT_EQ(vesk::decodeJSON<vesk::NodeVersion>(vesk::encodeJSON(a)), a);
}

TEST(Runtimes, GoPythonAndFlutterNames) {
    EXPECT_EQ((vesk::GoVersion{"1.24.0", std::nullopt, false}).shortVersion(), "1.24");
    EXPECT_EQ((vesk::GoVersion{"1", std::nullopt, false}).shortVersion(), "1");
    EXPECT_FALSE((vesk::GoVersion{"1", std::nullopt, false}).isInstalled());
    EXPECT_EQ(vesk::GoDistributionConfig::downloadURL("1.23.5")->absoluteString(),
              "https://go.dev/dl/go1.23.5.darwin-arm64.tar.gz");
    EXPECT_TRUE(vesk::GoDistributionConfig::downloadURL("9.9.9").has_value()) << "any version";
    EXPECT_EQ(vesk::GoDistributionConfig::availableVersions().front(), "1.24.0");

    const vesk::PythonVersion py{"3.12.8", std::string("/p"), true};
    EXPECT_EQ(py.majorVersion(), 3);
    EXPECT_EQ(py.shortVersion(), "3.12");
    EXPECT_EQ((vesk::PythonVersion{"x.1", std::nullopt, false}).majorVersion(), std::nullopt);
    EXPECT_EQ((vesk::PythonVersion{"", std::nullopt, false}).majorVersion(), std::nullopt);
    EXPECT_EQ(vesk::PythonDistributionConfig::downloadURL("3.8.20"), std::nullopt);
    const auto url = vesk::PythonDistributionConfig::downloadURL("3.12.8");
    ASSERT_TRUE(url.has_value());
    EXPECT_NE(url->absoluteString().find(
                  "/releases/download/20250115/"
                  "cpython-3.12.8+20250115-aarch64-apple-darwin-install_only.tar.gz"),
              std::string::npos);
    EXPECT_EQ(vesk::PythonDistributionConfig::availableVersions().size(), 5U);

    const vesk::FlutterVersion f{"3.24.5", vesk::FlutterChannel::beta, std::nullopt, false,
                                 std::nullopt};
    EXPECT_EQ(f.id(), "beta-3.24.5");
    EXPECT_EQ(vesk::displayName(vesk::FlutterChannel::master), "Master");
    EXPECT_EQ(vesk::FlutterDistributionConfig::downloadURL("3.27.3", vesk::FlutterChannel::stable)
                  ->absoluteString(),
              "https://storage.googleapis.com/flutter_infra_release/releases/stable/macos/"
              "flutter_macos_arm64_3.27.3-stable.zip");
    EXPECT_EQ(vesk::decodeJSON<vesk::FlutterVersion>(vesk::encodeJSON(f)), f);
}

}  // namespace

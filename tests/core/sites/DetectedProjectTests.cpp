// Detection results, framework records and diagnostics.
#include <gtest/gtest.h>

#include "vesk/app/DiagnosticResult.hpp"
#include "vesk/sites/DetectedProject.hpp"
#include "vesk/sites/FrameworkInfo.hpp"

namespace {

using vesk::DetectedProject;
using vesk::ProjectType;
using vesk::RuntimeInfo;
using vesk::RuntimeType;

DetectedProject project(ProjectType primary, std::vector<ProjectType> all,
                        std::vector<RuntimeInfo> runtimes = {}) {
    return DetectedProject(vesk::UUID::random(), "/p", primary, std::move(all), std::nullopt,
                           std::move(runtimes), vesk::Date{0}, 1.0);
}

TEST(DetectedProject, EmptyTypesBecomeThePrimaryOnConstructionOnly) {
    const auto p = project(ProjectType::laravel, {});
    EXPECT_EQ(p.allTypes, std::vector<ProjectType>{ProjectType::laravel});
    EXPECT_FALSE(p.isHybrid());
    const std::string doc =
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","path":"/p","primaryType":"php",)"
        R"("allTypes":[],"runtimes":[],"detectedAt":0,"confidence":0.5})";
    const auto decoded = vesk::decodeJSON<DetectedProject>(doc);
    EXPECT_TRUE(decoded.allTypes.empty()) << "decoding keeps the list as stored";
    EXPECT_EQ(decoded.frameworkInfo, std::nullopt);
}

TEST(DetectedProject, DerivedProperties) {
    const auto hybrid = project(ProjectType::laravel, {ProjectType::laravel, ProjectType::flutter});
    EXPECT_TRUE(hybrid.isHybrid());
    EXPECT_TRUE(hybrid.hasMobileComponents());
    EXPECT_TRUE(hybrid.usesNode());
    EXPECT_TRUE(hybrid.usesPHP());
    const auto python =
        project(ProjectType::python, {}, {RuntimeInfo{RuntimeType::node, "20", ".nvmrc"}});
    EXPECT_TRUE(python.usesNode());
    EXPECT_FALSE(python.usesPHP());
    const auto site = project(ProjectType::staticSite, {});
    EXPECT_FALSE(site.usesNode());
    EXPECT_FALSE(site.usesPHP());
    EXPECT_FALSE(site.hasMobileComponents());
    EXPECT_TRUE(
        project(ProjectType::golang, {}, {RuntimeInfo{RuntimeType::php, {}, {}}}).usesPHP());
}

TEST(DetectedProject, StrictNestedDecoding) {
    const std::string doc =
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","path":"/p","primaryType":"php",)"
        R"("allTypes":["php"],"runtimes":[{"runtime":"deno"}],"detectedAt":0,"confidence":1})";
    try {
        (void)vesk::decodeJSON<DetectedProject>(doc);
        FAIL();
    } catch (const vesk::DecodingError& e) {
        EXPECT_EQ(e.path(), "runtimes[0].runtime");
        EXPECT_EQ(e.fault(), vesk::DecodingError::Fault::invalidValue);
    }
}

TEST(FrameworkRecords, DisplayAndCoding) {
    EXPECT_EQ((vesk::ProjectFrameworkInfo{"Laravel", std::nullopt, "artisan"}).displayString(),
              "Laravel");
    EXPECT_EQ((vesk::ProjectFrameworkInfo{"Laravel", "11.0", std::nullopt}).displayString(),
              "Laravel 11.0");
    EXPECT_EQ(vesk::displayName(RuntimeType::golang), "Go");
    EXPECT_EQ(vesk::displayName(RuntimeType::node), "Node.js");
    EXPECT_EQ(vesk::allCases<RuntimeType>().size(), 7U);
    EXPECT_EQ(vesk::rawValue(vesk::FrameworkType::staticSite), "static");
    EXPECT_EQ(vesk::displayName(vesk::FrameworkType::wordpress), "WordPress");
    const vesk::FrameworkInfo f{vesk::FrameworkType::statamic, "5", true, false};
    EXPECT_EQ(vesk::encodeJSON(f),
              R"({"hasDatabaseConfig":false,"hasEnvFile":true,"type":"statamic","version":"5"})");
    EXPECT_EQ(vesk::decodeJSON<vesk::FrameworkInfo>(vesk::encodeJSON(f)), f);
    EXPECT_THROW(
        (void)vesk::decodeJSON<vesk::FrameworkInfo>(R"({"type":"statamic","hasEnvFile":true})"),
        vesk::DecodingError);
}

TEST(Diagnostics, ReportCounts) {
    using S = vesk::DiagnosticSeverity;
    const vesk::DiagnosticReport report{{{"a", S::passed, {}},
                                         {"b", S::warning, "fix it"},
                                         {"c", S::warning, {}},
                                         {"d", S::error, {}}}};
    EXPECT_EQ(report.passedCount(), 1U);
    EXPECT_EQ(report.warningCount(), 2U);
    EXPECT_EQ(report.errorCount(), 1U);
    const vesk::DiagnosticReport empty{};
    EXPECT_EQ(empty.passedCount() + empty.warningCount() + empty.errorCount(), 0U);
    const auto r =
        vesk::decodeJSON<vesk::DiagnosticResult>(R"({"label":"PHP","severity":"error"})");
    EXPECT_EQ(r.suggestion, std::nullopt);
    EXPECT_THROW(
        (void)vesk::decodeJSON<vesk::DiagnosticResult>(R"({"label":"PHP","severity":"fatal"})"),
        vesk::DecodingError);
}

}  // namespace

// Sites, groups, project kinds and filter tabs.
#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "vesk/foundation/Unicode.hpp"
#include "vesk/sites/Site.hpp"
#include "vesk/sites/SiteFilterCategory.hpp"
#include "vesk/sites/SiteGroup.hpp"

namespace {

using vesk::DetectedProject;
using vesk::ProjectType;
using vesk::Site;
using vesk::SiteFilterCategory;

const vesk::UUID kId = *vesk::UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

Site site(std::optional<std::string> domain, std::optional<DetectedProject> detected = {}) {
    return Site(kId, "blog", "/Users/a/Sites/blog", std::move(domain), "test", std::nullopt,
                std::nullopt, false, true, false, false, std::nullopt, {}, vesk::Date{0},
                std::move(detected));
}

DetectedProject detected(ProjectType primary, std::vector<ProjectType> all,
                         std::optional<vesk::ProjectFrameworkInfo> framework = {}) {
    return DetectedProject(kId, "/p", primary, std::move(all), std::move(framework), {},
                           vesk::Date{1}, 0.9);
}

// A real document as the application stores it.
const char* kSiteDoc = R"({
  "id": "e621e1f8-c36c-495a-93fc-0c247a3e6e5f", "name": "shop", "path": "/Users/a/Sites/shop",
  "domain": "shop", "tld": "test", "phpVersion": "8.3", "isSecured": true, "isLinked": false,
  "isParked": true, "isPinned": false, "aliases": ["www.shop"], "createdAt": 700000000,
  "detectedProject": {"id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "path": "/Users/a/Sites/shop",
    "primaryType": "laravel", "allTypes": ["laravel", "nodejs"],
    "frameworkInfo": {"name": "Laravel", "version": "11.0"},
    "runtimes": [{"runtime": "php", "requiredVersion": "^8.2", "versionSource": "composer.json"}],
    "detectedAt": 700000001.5, "confidence": 0.95}
})";

std::string without(const std::string& doc, const std::string& fragment) {
    std::string s = doc;
    const auto at = s.find(fragment);
    EXPECT_NE(at, std::string::npos) << fragment;
    s.erase(at, fragment.size());
    return s;
}

TEST(Site, DomainFallsBackToTheName) {
    EXPECT_EQ(site(std::nullopt).domain, "blog");
    EXPECT_EQ(site(std::nullopt).fullDomain(), "blog.test");
    EXPECT_EQ(site(std::string("news")).fullDomain(), "news.test");
    Site s = site(std::nullopt);
    s.tld = "";
    EXPECT_EQ(s.fullDomain(), "blog.");
}

TEST(Site, DerivedFromDetection) {
    const Site plain = site(std::nullopt);
    EXPECT_EQ(plain.projectType(), ProjectType::unknown);
    EXPECT_EQ(plain.frameworkDisplay(), std::nullopt);
    EXPECT_FALSE(plain.isMobileProject());

    const Site hybrid = site(
        std::nullopt, detected(ProjectType::laravel, {ProjectType::laravel, ProjectType::flutter},
                               vesk::ProjectFrameworkInfo{"Laravel", "11.0", std::nullopt}));
    EXPECT_EQ(hybrid.projectType(), ProjectType::laravel);
    EXPECT_TRUE(hybrid.isMobileProject());
    EXPECT_EQ(hybrid.frameworkDisplay(), "Laravel 11.0");

    const Site swift = site(std::nullopt, detected(ProjectType::swift, {},
                                                   vesk::ProjectFrameworkInfo{"SwiftUI", {}, {}}));
    EXPECT_FALSE(swift.isMobileProject()) << "swift does not count";
    EXPECT_EQ(swift.frameworkDisplay(), "SwiftUI");
    const Site rnPrimaryOnly =
        site(std::nullopt, detected(ProjectType::nodejs, {ProjectType::nodejs}));
    EXPECT_FALSE(rnPrimaryOnly.isMobileProject());
}

TEST(Site, DecodesARealDocumentAndRoundTrips) {
    const Site s = vesk::decodeJSON<Site>(kSiteDoc);
    EXPECT_EQ(s.id, kId);
    EXPECT_EQ(s.phpVersion, "8.3");
    EXPECT_EQ(s.nodeVersion, std::nullopt);
    EXPECT_EQ(s.group, std::nullopt);
    EXPECT_EQ(s.aliases, std::vector<std::string>{"www.shop"});
    EXPECT_EQ(s.createdAt, vesk::Date{700000000});
    ASSERT_TRUE(s.detectedProject);
    EXPECT_EQ(s.detectedProject->runtimes.at(0).versionSource, "composer.json");
    EXPECT_EQ(s.frameworkDisplay(), "Laravel 11.0");
    EXPECT_EQ(vesk::decodeJSON<Site>(vesk::encodeJSON(s)), s);
    const std::string iso = vesk::encodeJSON(s, {vesk::DateStrategy::iso8601});
    EXPECT_NE(iso.find(R"("createdAt":"2023-03-08T20:26:40Z")"), std::string::npos) << iso;
    EXPECT_EQ(vesk::encodeJSON(s).find("nodeVersion"), std::string::npos);
}

TEST(Site, RequiredKeysAreRequired) {
    EXPECT_THROW((void)vesk::decodeJSON<Site>(without(kSiteDoc, R"("aliases": ["www.shop"],)")),
                 vesk::DecodingError);
    EXPECT_THROW((void)vesk::decodeJSON<Site>(without(kSiteDoc, R"("isPinned": false,)")),
                 vesk::DecodingError);
    try {
        (void)vesk::decodeJSON<Site>(without(kSiteDoc, R"("primaryType": "laravel",)"));
        FAIL() << "nested record decoded without its required key";
    } catch (const vesk::DecodingError& e) {
        EXPECT_EQ(e.path(), "detectedProject.primaryType");
        EXPECT_EQ(e.fault(), vesk::DecodingError::Fault::keyMissing);
    }
    const Site noPhp = vesk::decodeJSON<Site>(without(kSiteDoc, R"("phpVersion": "8.3",)"));
    EXPECT_EQ(noPhp.phpVersion, std::nullopt);
}

TEST(Site, EqualityAndHashCoverStoredFields) {
    const Site a = vesk::decodeJSON<Site>(kSiteDoc);
    Site b = a;
    b.detectedProject->confidence = 0.5;
    EXPECT_NE(a, b);
    std::unordered_set<Site> set{a, b, a};
    EXPECT_EQ(set.size(), 2U);
}

TEST(SiteGroup, DecodingRules) {
    const std::string doc =
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"client","associatedServices":["mysql","redis"],"groupSSL":true,"color":"blue"})";
    const auto g = vesk::decodeJSON<vesk::SiteGroup>(doc);
    EXPECT_EQ(g.associatedServices,
              (std::vector<vesk::ServiceType>{vesk::ServiceType::mysql, vesk::ServiceType::redis}));
    EXPECT_EQ(g.isSecured, std::nullopt);
    EXPECT_TRUE(g.groupSSL);
    EXPECT_EQ(vesk::decodeJSON<vesk::SiteGroup>(vesk::encodeJSON(g)), g);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::SiteGroup>(without(doc, R"(,"groupSSL":true)")),
                 vesk::DecodingError);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::SiteGroup>(
                     without(doc, R"("associatedServices":["mysql","redis"],)")),
                 vesk::DecodingError);
    const std::string badService =
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"c","associatedServices":["nginx"],"groupSSL":false})";
    EXPECT_THROW((void)vesk::decodeJSON<vesk::SiteGroup>(badService), vesk::DecodingError);
}

TEST(ProjectType, PresentationTables) {
    const auto all = vesk::allCases<ProjectType>();
    ASSERT_EQ(all.size(), 15U);
    std::set<std::string_view> raws;
    for (ProjectType t : all) {
        raws.insert(vesk::rawValue(t));
        const auto hex = vesk::colorHex(t);
        ASSERT_EQ(hex.size(), 7U);
        EXPECT_EQ(hex[0], '#');
        for (char c : hex.substr(1))
            EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << hex;
        EXPECT_EQ(vesk::Unicode::graphemeCount(vesk::icon(t)), 1U) << vesk::rawValue(t);
    }
    EXPECT_EQ(raws.size(), 15U);
    EXPECT_EQ(vesk::icon(ProjectType::laravel), "\U0001F53A");
    EXPECT_EQ(vesk::icon(ProjectType::java), "\u2615\uFE0F");
    EXPECT_EQ(vesk::icon(ProjectType::cli), "\u2328\uFE0F");
    EXPECT_EQ(vesk::displayName(ProjectType::cli), "CLI Tool");
    EXPECT_EQ(vesk::shortName(ProjectType::reactNative), "RN");
    EXPECT_EQ(vesk::shortName(ProjectType::unknown), "?");
    EXPECT_EQ(vesk::iconName(ProjectType::python), "chevron.left.forwardslash.chevron.right");
    EXPECT_EQ(vesk::color(ProjectType::swift), "orange");
    EXPECT_EQ(vesk::colorHex(ProjectType::rust), "#DEA584");
    EXPECT_EQ(vesk::fromRawValue<ProjectType>("staticSite"), ProjectType::staticSite);
    EXPECT_EQ(vesk::fromRawValue<ProjectType>("static"), std::nullopt);
}

TEST(ProjectType, BooleanProperties) {
    using P = ProjectType;
    const auto trueFor = [](bool (*f)(P)) {
        std::set<P> out;
        for (P t : vesk::allCases<P>()) {
            if (f(t)) out.insert(t);
        }
        return out;
    };
    EXPECT_EQ(trueFor(vesk::supportsPHP), (std::set<P>{P::laravel, P::php}));
    EXPECT_EQ(trueFor(vesk::supportsNode), (std::set<P>{P::laravel, P::nodejs, P::reactNative}));
    EXPECT_EQ(trueFor(vesk::requiresWebServer), (std::set<P>{P::laravel, P::php, P::staticSite}));
    EXPECT_EQ(trueFor(vesk::needsDomain),
              (std::set<P>{P::laravel, P::php, P::nodejs, P::python, P::golang, P::ruby, P::java,
                           P::staticSite, P::unknown}));
    EXPECT_EQ(trueFor(vesk::isMobile), (std::set<P>{P::reactNative, P::flutter, P::kotlin}));
    EXPECT_EQ(trueFor(vesk::isNativeApp), (std::set<P>{P::swift, P::java, P::kotlin}));
    EXPECT_EQ(trueFor(vesk::isCLI), (std::set<P>{P::rust, P::cli}));
}

TEST(SiteFilterCategory, TabsAndCategories) {
    for (ProjectType t : vesk::allCases<ProjectType>()) {
        EXPECT_TRUE(vesk::includes(SiteFilterCategory::all, t));
        int homes = 0;
        for (SiteFilterCategory c : vesk::allCases<SiteFilterCategory>()) {
            if (c != SiteFilterCategory::all && vesk::includes(c, t)) ++homes;
        }
        EXPECT_EQ(homes, 1) << vesk::rawValue(t);
    }
    EXPECT_FALSE(vesk::includes(SiteFilterCategory::web, ProjectType::python));
    EXPECT_EQ(vesk::siteFilterCategoryFor(ProjectType::swift), SiteFilterCategory::mobile);
    EXPECT_EQ(vesk::siteFilterCategoryFor(ProjectType::golang), SiteFilterCategory::cli);
    EXPECT_EQ(vesk::siteFilterCategoryFor(ProjectType::unknown), SiteFilterCategory::other);
    EXPECT_EQ(vesk::siteFilterCategoryFor(ProjectType::ruby), SiteFilterCategory::web);
    EXPECT_EQ(vesk::includedTypes(SiteFilterCategory::all).size(), 15U);
    EXPECT_EQ(vesk::displayName(SiteFilterCategory::api), "API");
    EXPECT_EQ(vesk::iconName(SiteFilterCategory::all), "square.grid.2x2");
}

}  // namespace

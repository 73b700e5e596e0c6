// Creation recipes, certificates, tunnels and Docker proxies.
#include <gtest/gtest.h>

#include "vesk/sites/Certificate.hpp"
#include "vesk/sites/DockerProxy.hpp"
#include "vesk/sites/SiteTemplate.hpp"
#include "vesk/sites/TunnelSession.hpp"

namespace {

using vesk::SiteTemplate;
using Args = std::vector<std::string>;

TEST(SiteTemplate, ResolvesThePlaceholderPerArgument) {
    EXPECT_EQ(SiteTemplate::laravel().resolvedCreateCommand("shop"),
              (Args{"composer", "create-project", "laravel/laravel", "shop"}));
    EXPECT_EQ(SiteTemplate::laravel().resolvedPostCreateCommands("shop"),
              (std::vector<Args>{{"php", "artisan", "key:generate"}}));
    EXPECT_EQ(SiteTemplate::wordpress().resolvedCreateCommand("blog"),
              (Args{"wp", "core", "download", "--path=blog"}));
    EXPECT_EQ(SiteTemplate::wordpress().resolvedCreateCommand("my blog").back(), "--path=my blog");
    EXPECT_TRUE(SiteTemplate::staticSite().resolvedCreateCommand("x").empty());
    EXPECT_TRUE(SiteTemplate::staticSite().resolvedPostCreateCommands("x").empty());
    const SiteTemplate t{
        "t", "T", "d", {"{name}{name}", "{Name}", "{name"}, {{"a", "{name}/b"}, {}}};
    EXPECT_EQ(t.resolvedCreateCommand("$(rm)"), (Args{"$(rm)$(rm)", "{Name}", "{name"}));
    EXPECT_EQ(t.resolvedPostCreateCommands("p"), (std::vector<Args>{{"a", "p/b"}, {}}));
}

TEST(SiteTemplate, BuiltinsAndCoding) {
    const auto& byId = SiteTemplate::builtins();
    ASSERT_EQ(byId.size(), 3U);
    EXPECT_TRUE(byId.count("laravel") && byId.count("wordpress") && byId.count("static"));
    EXPECT_EQ(SiteTemplate::builtinList()[2].id, "static");
    EXPECT_EQ(SiteTemplate::staticSite().description, "Create a minimal static HTML site");
    const std::string doc = vesk::encodeJSON(SiteTemplate::laravel());
    EXPECT_EQ(vesk::decodeJSON<SiteTemplate>(doc), SiteTemplate::laravel());
    EXPECT_THROW((void)vesk::decodeJSON<SiteTemplate>(
                     R"({"id":"a","name":"b","description":"c","createCommand":[]})"),
                 vesk::DecodingError);
}

TEST(Certificate, OptionalExpiry) {
    const auto c = vesk::decodeJSON<vesk::Certificate>(
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","domain":"app.test","certificatePath":"/c.pem",)"
        R"("keyPath":"/k.pem","isCA":false,"createdAt":1})");
    EXPECT_EQ(c.expiresAt, std::nullopt);
    EXPECT_EQ(vesk::decodeJSON<vesk::Certificate>(vesk::encodeJSON(c)), c);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::Certificate>(
                     R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"})"),
                 vesk::DecodingError);
}

TEST(Tunnel, ProvidersAndSessions) {
    using vesk::TunnelProvider;
    EXPECT_EQ(vesk::displayName(TunnelProvider::cloudflared), "Cloudflare Tunnel");
    EXPECT_EQ(vesk::executableName(TunnelProvider::expose), "expose");
    EXPECT_EQ(vesk::decodeJSON<TunnelProvider>("\"ngrok\""), TunnelProvider::ngrok);
    EXPECT_THROW((void)vesk::decodeJSON<TunnelProvider>("\"Ngrok\""), vesk::DecodingError);
    const vesk::TunnelSession s{vesk::UUID::random(),  "app.test", "https://x.example",
                                TunnelProvider::ngrok, 42,         vesk::Date{5}};
    EXPECT_EQ(vesk::decodeJSON<vesk::TunnelSession>(vesk::encodeJSON(s)), s);
    EXPECT_THROW(
        (void)vesk::decodeJSON<vesk::TunnelSession>(
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","domain":"a","publicURL":"u","provider":"ngrok","pid":3000000000,"startedAt":0})"),
        vesk::DecodingError)
        << "pid is 32-bit";
}

TEST(Docker, ResolvedDomainAndPort) {
    vesk::DockerContainer c{"abc", "shop-web", "nginx", {3000, 80}, {}};
    EXPECT_EQ(c.resolvedDomain(), "shop-web");
    EXPECT_EQ(c.resolvedPort(), 3000);
    c.labels["vesk.domain"] = "shop.test";
    EXPECT_EQ(c.resolvedDomain(), "shop");
    c.labels["vesk.domain"] = "shop";
    EXPECT_EQ(c.resolvedDomain(), "shop");
    c.labels["vesk.domain"] = ".test";
    EXPECT_EQ(c.resolvedDomain(), "");
    c.labels["vesk.domain"] = "a.test.test";
    EXPECT_EQ(c.resolvedDomain(), "a.test") << "once";
    c.labels["vesk.port"] = "8080";
    EXPECT_EQ(c.resolvedPort(), 8080);
    for (const char* bad : {"abc", "80 80", "", "+", "9223372036854775808", " 80", "0x50"}) {
        c.labels["vesk.port"] = bad;
        EXPECT_EQ(c.resolvedPort(), 3000) << bad;
    }
    c.labels["vesk.port"] = "-9223372036854775808";
    EXPECT_EQ(c.resolvedPort(), std::numeric_limits<long long>::min());
    c.labels["vesk.port"] = "+443";
    EXPECT_EQ(c.resolvedPort(), 443);
    const vesk::DockerContainer bare{"id", "n", "i", {}, {}};
    EXPECT_EQ(bare.resolvedPort(), std::nullopt);
    const vesk::DockerProxy p{vesk::UUID::random(), "api", "api", 8080, std::nullopt};
    EXPECT_EQ(p.fullDomain(), "api.test");
    EXPECT_EQ(vesk::decodeJSON<vesk::DockerProxy>(vesk::encodeJSON(p)), p);
}

}  // namespace

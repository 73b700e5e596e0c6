#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "vesk/sites/NginxTemplate.hpp"

namespace {

using vesk::NginxTemplate;

std::string golden(const std::string& name) {
    std::ifstream in(std::string(VESK_GOLDEN_DIR) + "/nginx/" + name + ".conf", std::ios::binary);
    EXPECT_TRUE(in) << name;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(NginxTemplate, BuiltInsMatchTheirGoldenFilesByteForByte) {
    const auto& all = NginxTemplate::builtInTemplates();
    ASSERT_EQ(all.size(), 6U);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"laravel", "Laravel application with PHP-FPM"},
        {"spa", "Single Page Application (React, Vue, etc.)"},
        {"wordpress", "WordPress with permalink support"},
        {"static", "Static file serving"},
        {"proxy", "Reverse proxy to a local port"},
        {"node", "Node.js application with WebSocket support"}};
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].name, expected[i].first);
        EXPECT_EQ(all[i].description, expected[i].second);
        EXPECT_TRUE(all[i].isBuiltIn);
        EXPECT_EQ(all[i].content, golden(expected[i].first)) << expected[i].first;
    }
    EXPECT_EQ(&NginxTemplate::staticSite(), &all[3]);
    EXPECT_EQ(NginxTemplate::node().name, "node");
}

TEST(NginxTemplate, RenderSubstitutesTokensOnly) {
    const std::string out = NginxTemplate::laravel().render({{"domain", "app.test"},
                                                             {"root", "/Users/a/Sites/app"},
                                                             {"php_socket", "/tmp/php84.sock"}});
    EXPECT_NE(out.find("    server_name app.test;\n"), std::string::npos);
    EXPECT_NE(out.find("    root /Users/a/Sites/app/public;\n"), std::string::npos);
    EXPECT_NE(out.find("        fastcgi_pass unix:/tmp/php84.sock;\n"), std::string::npos);
    EXPECT_NE(out.find("$realpath_root$fastcgi_script_name"), std::string::npos)
        << "nginx variables untouched";
    EXPECT_EQ(out.find("{{"), std::string::npos);

    const std::string proxy = NginxTemplate::proxy().render({{"domain", "api.test"}});
    EXPECT_NE(proxy.find("proxy_pass http://127.0.0.1:{{port}};"), std::string::npos);
    EXPECT_EQ(NginxTemplate::spa().render({}), NginxTemplate::spa().content);
    EXPECT_NE(NginxTemplate::laravel().render({{"root", ""}}).find("    root /public;\n"),
              std::string::npos);

    const NginxTemplate user{"mine", "d", "a {{ domain }} b {{domain}}{{domain}} {{Domain}}",
                             false};
    EXPECT_EQ(user.render({{"domain", "x.test"}, {"unused", "y"}}),
              "a {{ domain }} b x.testx.test {{Domain}}");
}

TEST(NginxTemplate, JsonRequiresAllFourKeys) {
    const std::string doc = vesk::encodeJSON(NginxTemplate::node());
    EXPECT_EQ(vesk::decodeJSON<NginxTemplate>(doc), NginxTemplate::node());
    EXPECT_THROW(
        (void)vesk::decodeJSON<NginxTemplate>(R"({"name":"a","description":"b","content":"c"})"),
        vesk::DecodingError);
    EXPECT_THROW((void)vesk::decodeJSON<NginxTemplate>(
                     R"({"name":"a","description":"b","content":1,"isBuiltIn":false})"),
                 vesk::DecodingError);
    EXPECT_NE(std::hash<NginxTemplate>{}(NginxTemplate::node()),
              std::hash<NginxTemplate>{}(NginxTemplate::proxy()));
}

}  // namespace

// The servers' configuration texts: what each says, what is never written,
// and that Debian's own nginx, PHP-FPM and dnsmasq accept them.
#include <grp.h>
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>
#include <functional>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "vesk/sites/Certificate.hpp"
#include "vesk/sites/Exposure.hpp"
#include "vesk/sites/ServerConfig.hpp"

namespace {

namespace fs = std::filesystem;
using vesk::ProjectType;
using vesk::ServerConfig::Layout;

// The projects as detection gives them.
const vesk::DetectedProject kLaravel = vesk::ServerConfig::projectOf(ProjectType::laravel);
const vesk::DetectedProject kPHP = vesk::ServerConfig::projectOf(ProjectType::php);
const vesk::DetectedProject kStatic = vesk::ServerConfig::projectOf(ProjectType::staticSite);

vesk::Site site(const std::string& name, const std::string& path) {
    vesk::Site s;
    s.name = s.domain = name;
    s.path = path;
    s.tld = "test";
    s.isParked = true;
    return s;
}

class ServerConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        base =
            (fs::temp_directory_path() / ("vesk-servers-" + std::to_string(::getpid()))).string();
        fs::create_directories(base + "/etc/nginx/sites");
        fs::create_directories(base + "/log");
        fs::create_directories(base + "/run");
        layout.veskBase = base;
        const passwd* pw = ::getpwuid(::geteuid());
        const group* gr = ::getgrgid(::getegid());
        layout.user = pw != nullptr ? pw->pw_name : "root";
        layout.group = gr != nullptr ? gr->gr_name : "root";
    }
    void TearDown() override { fs::remove_all(base); }
    std::string base;
    Layout layout;
};

TEST_F(ServerConfigTest, ASiteIsServedByItsShapeAndItsPHPVersion) {
    fs::create_directories(base + "/p/blog/public");
    std::ofstream(base + "/p/blog/public/index.php") << "<?php";
    fs::create_directories(base + "/p/plain");
    std::ofstream(base + "/p/plain/index.php") << "<?php";
    fs::create_directories(base + "/p/docs");
    EXPECT_EQ(vesk::ServerConfig::detectProject(base + "/p/blog").primaryType,
              ProjectType::laravel);
    EXPECT_EQ(vesk::ServerConfig::detectProject(base + "/p/plain").primaryType, ProjectType::php);
    EXPECT_EQ(vesk::ServerConfig::detectProject(base + "/p/docs").primaryType,
              ProjectType::staticSite);

    auto blog = site("blog", base + "/p/blog");
    blog.aliases = {"www.blog.test"};
    blog.phpVersion = "8.2";
    const auto text = vesk::ServerConfig::nginxSite(blog, "8.4", layout, kLaravel);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("server_name blog.test www.blog.test *.blog.test;"), std::string::npos)
        << *text;
    EXPECT_NE(text->find("root \"" + base + "/p/blog/public\";"), std::string::npos);
    EXPECT_NE(text->find("fastcgi_pass unix:" + base + "/run/php-fpm-8.2.sock;"), std::string::npos)
        << "an isolated site's own version";
    const auto plain =
        vesk::ServerConfig::nginxSite(site("plain", base + "/p/plain"), "8.4", layout, kPHP);
    EXPECT_NE(plain->find("php-fpm-8.4.sock"), std::string::npos) << "the default version";
    EXPECT_NE(plain->find("root \"" + base + "/p/plain\";"), std::string::npos);
}

TEST_F(ServerConfigTest, EachKindOfProjectIsServedTheWayItsFrameworkExpects) {
    const auto make = [&](const std::string& name, std::initializer_list<const char*> files) {
        const std::string dir = base + "/p/" + name;
        for (const char* f : files) {
            fs::create_directories(fs::path(dir + "/" + f).parent_path());
            std::ofstream(dir + "/" + f) << "x";
        }
        fs::create_directories(dir);
        return dir;
    };
    const auto detect = [](const std::string& dir) {
        return vesk::ServerConfig::detectProject(dir);
    };
    const auto laravel = detect(make("app", {"public/index.php", "artisan"}));
    EXPECT_EQ(laravel.primaryType, ProjectType::laravel);
    ASSERT_TRUE(laravel.frameworkInfo);
    EXPECT_EQ(laravel.frameworkInfo->name, "Laravel");
    const auto wordpress = detect(make("wp", {"index.php", "wp-config.php"}));
    ASSERT_TRUE(wordpress.frameworkInfo);
    EXPECT_EQ(wordpress.frameworkInfo->name, "WordPress");
    const auto plain = detect(make("plain", {"index.php", "about.php"}));
    EXPECT_EQ(plain.primaryType, ProjectType::php);
    EXPECT_FALSE(plain.frameworkInfo);
    EXPECT_EQ(detect(make("spa", {"package.json", "dist/index.html"})).primaryType,
              ProjectType::nodejs);
    EXPECT_EQ(detect(make("docs", {"package.json", "index.html", "dist/index.html"})).primaryType,
              ProjectType::staticSite)
        << "a page at the top is served as it is";
    EXPECT_EQ(detect(make("empty", {})).primaryType, ProjectType::staticSite);

    using vesk::NginxTemplate;
    EXPECT_EQ(&vesk::ServerConfig::templateFor(laravel), &NginxTemplate::laravel());
    EXPECT_EQ(&vesk::ServerConfig::templateFor(wordpress), &NginxTemplate::wordpress());
    EXPECT_EQ(&vesk::ServerConfig::templateFor(plain), &vesk::ServerConfig::plainPHPTemplate());
    EXPECT_EQ(&vesk::ServerConfig::templateFor(kStatic), &NginxTemplate::staticSite());
    // Plain PHP: a path that names nothing is 404, not WordPress's index.php.
    const auto block =
        vesk::ServerConfig::nginxSite(site("plain", base + "/p/plain"), "8.2", layout, plain);
    ASSERT_TRUE(block);
    EXPECT_NE(block->find("try_files $uri $uri/ =404;"), std::string::npos) << *block;
    EXPECT_EQ(block->find("/index.php?$args"), std::string::npos) << *block;
    EXPECT_EQ(block->find("favicon"), std::string::npos);
    const auto wp =
        vesk::ServerConfig::nginxSite(site("wp", base + "/p/wp"), "8.2", layout, wordpress);
    EXPECT_NE(wp->find("/index.php?$args"), std::string::npos) << "permalinks reach WordPress";
    const auto spa = vesk::ServerConfig::nginxSite(site("spa", base + "/p/spa"), "8.2", layout,
                                                   detect(base + "/p/spa"));
    EXPECT_NE(spa->find("/p/spa/dist\";"), std::string::npos) << *spa;
}

TEST(NginxTemplate, TheServersOwnListenIsReplacedNoOther) {
    const vesk::NginxTemplate t{
        "t", "",
        "server {\n    listen 80;\n    # { not a brace\n    listen [::]:80;\n"
        "    location / {\n        listen 81;\n        return 200 \"{\";\n    }\n"
        "    listener on;\n}\n",
        false};
    EXPECT_EQ(*t.renderListening({}, "    listen 127.0.0.1:443 ssl;\n"),
              "server {\n    listen 127.0.0.1:443 ssl;\n    # { not a brace\n"
              "    location / {\n        listen 81;\n        return 200 \"{\";\n    }\n"
              "    listener on;\n}\n");
    const vesk::NginxTemplate none{"n", "", "server {\n    location / { listen 80; }\n}\n", false};
    EXPECT_FALSE(none.renderListening({}, "    listen 443;\n"));
}

TEST_F(ServerConfigTest, NothingIsWrittenThatCouldEndADirective) {
    for (const std::string path :
         {"/x\"y", "/x$y", "/x\\y", "/x\ny", "/x\x7fy", "/a{{root}}", "relative", ""}) {
        EXPECT_FALSE(vesk::ServerConfig::isServablePath(path)) << path;
        EXPECT_FALSE(vesk::ServerConfig::nginxSite(site("a", path), "8.2", layout, kStatic))
            << path;
    }
    // Inside double quotes a space, ';', a brace, '#' or a quote of the
    // other kind ends nothing: such a project is served.
    for (const std::string path : {"/home/u/Work Projects/My App", "/x;user root", "/x}", "/x{",
                                   "/x'y", "/x#y", "/home/u/caf\xC3\xA9"}) {
        EXPECT_TRUE(vesk::ServerConfig::isServablePath(path)) << path;
        for (const auto& shape : {kLaravel, kPHP, kStatic}) {
            const auto block = vesk::ServerConfig::nginxSite(site("a", path), "8.2", layout, shape);
            ASSERT_TRUE(block) << path;
            EXPECT_NE(block->find("    root \"" + path), std::string::npos) << *block;
        }
    }
    EXPECT_TRUE(vesk::ServerConfig::isServablePath("/home/dev/Sites/my-app_2.0/@x+y~z"));
    auto bad = site("a", "/srv/a");
    bad.aliases = {"evil.test; return 302 http://x"};
    EXPECT_FALSE(vesk::ServerConfig::nginxSite(bad, "8.2", layout, kPHP));
    EXPECT_FALSE(vesk::ServerConfig::nginxSite(site("a", "/srv/a"), "8.2;", layout, kPHP));
    auto badName = site("a", "/srv/a");
    badName.domain = "a b";
    EXPECT_FALSE(vesk::ServerConfig::nginxSite(badName, "8.2", layout, kPHP));
    // Certificate paths are quoted: a quote, backslash or '$' could end the
    // quotes or start a variable, so they are never written.
    for (const char* path : {"/a\"b.crt", "/a\\b.crt", "/$x.crt", "relative.crt", "/a\nb.crt"}) {
        EXPECT_FALSE(vesk::ServerConfig::nginxSite(site("a", "/srv/a"), "8.2", layout, kStatic,
                                                   vesk::ServerConfig::TLSFiles{path, "/k.key"}))
            << path;
    }
    for (const char* v : {"8.2", "10.12"}) EXPECT_TRUE(vesk::ServerConfig::isPHPVersion(v)) << v;
    for (const char* v : {"8", "8.", ".2", "8.2.1", "8.x", ""}) {
        EXPECT_FALSE(vesk::ServerConfig::isPHPVersion(v)) << v;
    }
}

TEST_F(ServerConfigTest, EveryBlockListensOnTheLoopbackAloneAndRefusesDotPaths) {
    fs::create_directories(base + "/p/blog/public");
    const vesk::ServerConfig::TLSFiles tls{base + "/c.crt", base + "/c.key"};
    const auto blocks = [&](const Layout& l) {
        std::vector<std::string> all{
            vesk::ServerConfig::nginxMain(l), vesk::ServerConfig::nginxDefaultTLS(l),
            *vesk::ServerConfig::nginxParkedFallback({base + "/p"}, "test", "8.2", l)};
        for (const auto& shape : {kLaravel, kPHP, kStatic}) {
            all.push_back(
                *vesk::ServerConfig::nginxSite(site("a", base + "/p/blog"), "8.2", l, shape));
            all.push_back(
                *vesk::ServerConfig::nginxSite(site("a", base + "/p/blog"), "8.2", l, shape, tls));
        }
        return all;
    };
    // A listen line with no address would take every address of the machine.
    const auto bareListens = [](const std::string& text) {
        std::size_t count = 0;
        for (const char* bare : {"listen 80", "listen 443", "listen [::]:"}) {
            for (auto at = text.find(bare); at != std::string::npos; at = text.find(bare, at + 1)) {
                ++count;
            }
        }
        return count;
    };
    for (const std::string& text : blocks(layout)) {
        EXPECT_EQ(bareListens(text), 0U) << text;
        EXPECT_NE(text.find("listen 127.0.0.1:"), std::string::npos) << text;
        EXPECT_NE(text.find("listen [::1]:"), std::string::npos) << text;
    }
    for (std::size_t i = 2; i < blocks(layout).size(); ++i) {
        EXPECT_TRUE(vesk::ServerConfig::deniesDotPaths(blocks(layout)[i])) << blocks(layout)[i];
    }
    Layout v4 = layout;
    v4.ipv6 = false;
    for (const std::string& text : blocks(v4)) EXPECT_EQ(text.find("[::"), std::string::npos);
    // The developer's choice, and only then: every address.
    Layout lan = layout;
    lan.lan = true;
    for (const std::string& text : blocks(lan)) {
        EXPECT_EQ(text.find("127.0.0.1:"), std::string::npos) << text;
        EXPECT_GT(bareListens(text), 0U) << text;
    }
    EXPECT_EQ(vesk::ServerConfig::listenLines(layout, 443, "ssl http2"),
              "    listen 127.0.0.1:443 ssl http2;\n    listen [::1]:443 ssl http2;\n");
}

TEST_F(ServerConfigTest, PHPIsSetUpForDevelopmentAndTheDevelopersOwnSettingsWin) {
    layout.serving.php = {{"memory_limit", "2G"}, {"bad;name", "x"}, {"date.timezone", "UTC"}};
    layout.serving.phpVersions = {{"8.2", {{"memory_limit", "3G"}}}};
    layout.serving.sites = {{"blog.test", {{"memory_limit", "256M"}, {"xdebug.mode", "debug"}}},
                            {"docs.test", {{"evil", "1\"; return 302 http://x; #"}}}};
    layout.serving.bodyLimit = "64M";
    const std::string pool = vesk::ServerConfig::phpFpmPool("8.2", layout);
    for (const char* line :
         {"php_value[display_errors] = On\n", "php_value[error_reporting] = E_ALL\n",
          "php_value[upload_max_filesize] = 64M\n", "php_value[post_max_size] = 64M\n",
          "php_value[max_execution_time] = 0\n", "php_value[memory_limit] = 3G\n",
          "php_value[date.timezone] = UTC\n", "request_terminate_timeout = 0\n",
          "process.dumpable = yes\n"}) {
        EXPECT_NE(pool.find(line), std::string::npos) << line << pool;
    }
    EXPECT_EQ(pool.find("bad;name"), std::string::npos) << "a name that could end a line";
    EXPECT_EQ(pool.find("sendmail_path"), std::string::npos) << "no sendmail, PHP's own default";
    layout.sendmailProgram = "/usr/libexec/vesk/vesk-sendmail";
    EXPECT_NE(vesk::ServerConfig::phpFpmPool("8.2", layout)
                  .find("php_admin_value[sendmail_path] = /usr/libexec/vesk/vesk-sendmail -t -i\n"),
              std::string::npos);
    layout.sendmailProgram = "/tmp/x; rm -rf ~";
    EXPECT_EQ(vesk::ServerConfig::phpFpmPool("8.2", layout).find("sendmail_path"),
              std::string::npos)
        << "a path the shell would read as more than a path";
    layout.sendmailProgram = "/usr/libexec/vesk/vesk-sendmail";
    EXPECT_NE(vesk::ServerConfig::phpFpmPool("8.3", layout).find("memory_limit] = 2G\n"),
              std::string::npos)
        << "another version takes the directives for every pool";

    const std::string main = vesk::ServerConfig::nginxMain(layout);
    EXPECT_NE(main.find("client_max_body_size 64m;"), std::string::npos) << main;
    EXPECT_NE(main.find("fastcgi_read_timeout 3600s;"), std::string::npos);
    EXPECT_NE(main.find("proxy_read_timeout 3600s;"), std::string::npos);

    layout.snippetsDir = base + "/Application Support/nginx";
    fs::create_directories(base + "/p/blog/public");
    const auto blog =
        vesk::ServerConfig::nginxSite(site("blog", base + "/p/blog"), "8.2", layout, kLaravel);
    ASSERT_TRUE(blog);
    const auto php = blog->find("location ~ [^/]\\.php(/|$) {");
    EXPECT_NE(blog->find("fastcgi_param PATH_INFO $vesk_path_info;"), std::string::npos);
    EXPECT_LT(blog->find("location ~ /\\.(?!well-known)"), php)
        << "the dot-paths are refused before a script in one reaches PHP";
    const auto value =
        blog->find("        fastcgi_param PHP_VALUE \"memory_limit=256M\\nxdebug.mode=debug\";\n");
    EXPECT_NE(value, std::string::npos) << *blog;
    EXPECT_GT(value, php) << "inside the location that passes requests to PHP";
    EXPECT_NE(blog->find("include \"" + base + "/Application Support/nginx/all/*.conf\";"),
              std::string::npos)
        << *blog;
    EXPECT_NE(
        blog->find("include \"" + base + "/Application Support/nginx/sites/blog.test/*.conf\";"),
        std::string::npos);
    const auto docs =
        vesk::ServerConfig::nginxSite(site("docs", base + "/p/blog"), "8.2", layout, kPHP);
    EXPECT_EQ(docs->find("PHP_VALUE"), std::string::npos) << "a value that could end the directive";
    EXPECT_EQ(docs->find("return 302"), std::string::npos);

    EXPECT_EQ(vesk::ServingSettings{}.nginxBodyLimit(), "512m");
    for (const char* limit : {"1G", "800K", "1048576"}) {
        vesk::ServingSettings s;
        s.bodyLimit = limit;
        EXPECT_TRUE(s.nginxBodyLimit()) << limit;
    }
    for (const char* limit : {"", "1T", "12 M", "-1", "M"}) {
        vesk::ServingSettings s;
        s.bodyLimit = limit;
        EXPECT_FALSE(s.nginxBodyLimit()) << limit;
    }
    const auto decoded = vesk::decodeJSON<vesk::ServingSettings>(vesk::encodeJSON(layout.serving));
    EXPECT_EQ(decoded, layout.serving);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::ServingSettings>(R"({"bodyLimit":"1G"})"),
                 vesk::DecodingError);
}

TEST_F(ServerConfigTest, AProxiedSiteKeepsItsUpstreamConnectionsAndPassesWebSockets) {
    auto api = site("api", base + "/p/api");
    api.aliases = {"v1.api.test"};
    const auto block = vesk::ServerConfig::nginxProxySite(
        api, *vesk::ProxyTarget::parse("localhost:5173"), layout);
    ASSERT_TRUE(block);
    for (const std::string& line : std::vector<std::string>{
             "upstream vesk_proxy_api_test {\n    server localhost:5173;\n"
             "    keepalive 16;\n}\n",
             "server_name api.test v1.api.test *.api.test;",
             "proxy_pass http://vesk_proxy_api_test;", "proxy_set_header Upgrade $http_upgrade;",
             "proxy_set_header Connection $vesk_connection;", "proxy_http_version 1.1;",
             "listen 127.0.0.1:80;"}) {
        EXPECT_NE(block->find(line), std::string::npos) << line << *block;
    }
    EXPECT_EQ(block->find("Connection \"upgrade\""), std::string::npos);
    EXPECT_NE(
        vesk::ServerConfig::nginxMain(layout).find(
            "map $http_upgrade $vesk_connection {\n        default upgrade;\n        \"\" \"\";"),
        std::string::npos);
    // A target changed by hand into something nginx would read as more.
    vesk::ProxyTarget forged{"127.0.0.1", 80, "/x; return 302 http://evil"};
    EXPECT_FALSE(vesk::ServerConfig::nginxProxySite(api, forged, layout));
    forged = {"127.0.0.1:80 backup; server 10.0.0.1", 80, ""};
    EXPECT_FALSE(vesk::ServerConfig::nginxProxySite(api, forged, layout));
    api.aliases = {"x;y"};
    EXPECT_FALSE(
        vesk::ServerConfig::nginxProxySite(api, *vesk::ProxyTarget::parse("3000"), layout));
}

TEST_F(ServerConfigTest, ViteIsAskedUnderTheOneHostItAllowsAndItsPathsGoToIt) {
    const auto spa = vesk::ServerConfig::nginxViteSite(site("app", base + "/p/app"), 5173, "8.2",
                                                       layout, kStatic);
    ASSERT_TRUE(spa);
    EXPECT_NE(spa->find("proxy_set_header Host 127.0.0.1:5173;"), std::string::npos) << *spa;
    EXPECT_EQ(spa->find("Host $host"), std::string::npos) << *spa;
    EXPECT_NE(spa->find("server 127.0.0.1:5173;"), std::string::npos) << *spa;
    // Laravel's pages stay PHP's; Vite's paths and its socket are Vite's.
    const auto laravel = vesk::ServerConfig::nginxViteSite(site("shop", base + "/p/shop"), 5180,
                                                           "8.2", layout, kLaravel);
    ASSERT_TRUE(laravel);
    for (const std::string& line : std::vector<std::string>{
             "upstream vesk_vite_shop_test {\n    server 127.0.0.1:5180;",
             "location ~ ^/(@vite|@id|@fs|@react-refresh|node_modules|resources|src)/ {",
             "if ($http_sec_websocket_protocol = \"vite-hmr\") {",
             "proxy_set_header Host 127.0.0.1:5180;", "fastcgi_pass unix:"}) {
        EXPECT_NE(laravel->find(line), std::string::npos) << line << *laravel;
    }
    EXPECT_FALSE(vesk::ServerConfig::nginxViteSite(site("x", base), 70000, "8.2", layout, kStatic));
}

TEST_F(ServerConfigTest, OnlyRequestsWithATriggerOfTheSitesNamedReachXdebugsPool) {
    const auto blog = site("blog", base + "/p/blog");
    const auto shop = site("shop", base + "/p/shop");
    const std::string plain = "fastcgi_pass unix:" + layout.veskBase + "/run/php-fpm-8.2.sock;";
    const std::string routed =
        "fastcgi_pass unix:" + layout.veskBase + "/run/php-fpm-8.2$vesk_xdebug.sock;";
    // Off: no map, no variable anywhere.
    EXPECT_EQ(vesk::ServerConfig::nginxMain(layout).find("vesk_xdebug"), std::string::npos);
    EXPECT_NE(vesk::ServerConfig::nginxSite(blog, "8.2", layout, kLaravel)->find(plain),
              std::string::npos);

    layout.xdebug.on = true;
    layout.xdebug.config.mode = vesk::XdebugMode::profile;
    layout.xdebug.sites = {"blog.test"};
    const std::string main = vesk::ServerConfig::nginxMain(layout);
    EXPECT_NE(main.find("map \"$cookie_XDEBUG_SESSION$arg_XDEBUG_SESSION$cookie_XDEBUG_SESSION_"
                        "START$arg_XDEBUG_SESSION_START$cookie_XDEBUG_TRIGGER$arg_XDEBUG_TRIGGER"),
              std::string::npos)
        << main;
    EXPECT_NE(main.find("        \"\" \"\";\n        default \"-profile\";\n"), std::string::npos)
        << main;
    EXPECT_NE(vesk::ServerConfig::nginxSite(blog, "8.2", layout, kLaravel)->find(routed),
              std::string::npos);
    EXPECT_NE(vesk::ServerConfig::nginxSite(shop, "8.2", layout, kLaravel)->find(plain),
              std::string::npos)
        << "a site Xdebug is not on for";
    const auto parked =
        vesk::ServerConfig::nginxParkedFallback({base + "/p"}, "test", "8.2", layout);
    EXPECT_EQ(parked->find("vesk_xdebug"), std::string::npos);
    layout.xdebug.sites.clear();
    EXPECT_NE(vesk::ServerConfig::nginxSite(shop, "8.2", layout, kPHP)->find(routed),
              std::string::npos);
    EXPECT_NE(
        vesk::ServerConfig::nginxParkedFallback({base + "/p"}, "test", "8.2", layout)->find(routed),
        std::string::npos);
}

TEST_F(ServerConfigTest, XdebugsPoolCarriesItsSettingsAndNoPoolElseDoes) {
    layout.xdebug.on = true;
    layout.xdebugOutputDir = base + "/Application Support/xdebug";
    layout.xdebug.config =
        vesk::XdebugConfig::preset(vesk::IDEPreset::phpstorm, vesk::XdebugMode::debug);
    layout.xdebug.config.clientPort = 9010;
    const std::string pool = vesk::ServerConfig::phpFpmPool("8.2-debug", layout);
    for (const std::string& line : std::vector<std::string>{
             "[vesk-xdebug]\n", "listen = " + layout.veskBase + "/run/php-fpm-8.2-debug.sock\n",
             "pid = " + layout.veskBase + "/run/php-fpm-8.2-debug.pid\n", "pm = ondemand\n",
             "php_admin_value[xdebug.client_host] = 127.0.0.1\n",
             "php_admin_value[xdebug.client_port] = 9010\n",
             "php_admin_value[xdebug.idekey] = PHPSTORM\n",
             "php_admin_value[xdebug.start_with_request] = yes\n",
             "php_admin_value[xdebug.output_dir] = \"" + base + "/Application Support/xdebug\"\n",
             "request_terminate_timeout = 0\n"}) {
        EXPECT_NE(pool.find(line), std::string::npos) << line << pool;
    }
    EXPECT_EQ(vesk::ServerConfig::phpFpmPool("8.2", layout).find("xdebug"), std::string::npos);
    // Settings that would end the line, or a quoted value, write no Xdebug line at all.
    for (auto change : std::vector<std::function<void(vesk::XdebugConfig&)>>{
             [](auto& c) { c.ideKey = "X\nphp_admin_value[auto_prepend_file]=/tmp/x"; },
             [](auto& c) { c.clientHost = "127.0.0.1\nuser=root"; },
             [](auto& c) { c.clientPort = 70000; }, [](auto& c) { c.ideKey = ""; }}) {
        auto hostile = layout;
        change(hostile.xdebug.config);
        EXPECT_FALSE(vesk::ServerConfig::isXdebugConfig(hostile.xdebug.config));
        const std::string text = vesk::ServerConfig::phpFpmPool("8.2-debug", hostile);
        EXPECT_EQ(text.find("xdebug.client"), std::string::npos) << text;
        EXPECT_EQ(text.find("/tmp/x"), std::string::npos) << text;
    }
    auto quoted = layout;
    quoted.xdebugOutputDir = base + "/x\"\nuser = root";
    EXPECT_EQ(vesk::ServerConfig::phpFpmPool("8.2-debug", quoted).find("output_dir"),
              std::string::npos);
}

TEST_F(ServerConfigTest, DebiansServersAcceptTheTexts) {
    if (!fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "no nginx here";
    fs::create_directories(base + "/p/blog/public");
    fs::create_directories(base + "/tmp");
    // The developer's own directives and settings, as they may be.
    layout.snippetsDir = base + "/Application Support/nginx";
    fs::create_directories(*layout.snippetsDir + "/all");
    fs::create_directories(*layout.snippetsDir + "/sites/blog.test");
    std::ofstream(*layout.snippetsDir + "/all/headers.conf") << "add_header X-Mine yes;\n";
    std::ofstream(*layout.snippetsDir + "/sites/blog.test/slow.conf")
        << "location /slow { fastcgi_read_timeout 2h; return 204; }\n";
    layout.serving.sites = {
        {"blog.test", {{"memory_limit", "256M"}, {"error_reporting", "E_ALL & ~E_DEPRECATED"}}}};
    // Xdebug on for one site, its files in a directory with a space.
    layout.xdebug.on = true;
    layout.xdebug.sites = {"blog.test"};
    layout.xdebugOutputDir = base + "/Application Support/xdebug";
    // The check's own pid file and logs instead of Debian's /run/nginx.pid.
    std::ofstream(base + "/etc/nginx.conf")
        << vesk::ServerConfig::nginxMain(layout, {std::nullopt, true, std::nullopt});
    std::ofstream(base + "/etc/nginx/sites/blog.conf")
        << *vesk::ServerConfig::nginxSite(site("blog", base + "/p/blog"), "8.2", layout, kLaravel);
    // A secured site whose certificate lives in a directory with a space.
    const std::string certs = base + "/Application Support/certs";
    const auto authority = vesk::Certificates::authority(certs, vesk::Date::now());
    const auto issued =
        vesk::Certificates::issue(authority, "shop.test", {}, certs, vesk::Date::now());
    auto shop = site("shop", base + "/p/blog");
    shop.isSecured = true;
    const auto secured = vesk::ServerConfig::nginxSite(
        shop, "8.2", layout, kStatic,
        vesk::ServerConfig::TLSFiles{issued.certificatePath, issued.keyPath});
    ASSERT_TRUE(secured);
    EXPECT_NE(secured->find("return 301 https://$host$request_uri;"), std::string::npos);
    EXPECT_NE(secured->find("listen 127.0.0.1:443 ssl"), std::string::npos);
    std::ofstream(base + "/etc/nginx/sites/shop.conf") << *secured;
    // A project under a path with a space and a semicolon, and a parked
    // folder with a space: quoted, and nginx takes them.
    const std::string spaced = base + "/Work Projects/My App; {x} #1";
    fs::create_directories(spaced + "/public");
    std::ofstream(base + "/etc/nginx/sites/spaced.conf")
        << *vesk::ServerConfig::nginxSite(site("spaced", spaced), "8.2", layout, kLaravel);
    // Every other kind of project, secured too.
    const vesk::DetectedProject kinds[] = {
        kPHP, vesk::ServerConfig::projectOf(ProjectType::php, "WordPress"),
        vesk::ServerConfig::projectOf(ProjectType::nodejs)};
    int n = 0;
    for (const auto& kind : kinds) {
        for (const bool tls : {false, true}) {
            auto other = site("kind" + std::to_string(n), base + "/p/blog");
            const auto text =
                vesk::ServerConfig::nginxSite(other, "8.2", layout, kind,
                                              tls ? std::optional(vesk::ServerConfig::TLSFiles{
                                                        issued.certificatePath, issued.keyPath})
                                                  : std::nullopt);
            ASSERT_TRUE(text);
            std::ofstream(base + "/etc/nginx/sites/kind" + std::to_string(n++) + ".conf") << *text;
        }
    }
    // Proxies, to a port and to [::1] over TLS.
    std::ofstream(base + "/etc/nginx/sites/api.conf") << *vesk::ServerConfig::nginxProxySite(
        site("api", base + "/p/blog"), *vesk::ProxyTarget::parse("3000"), layout);
    std::ofstream(base + "/etc/nginx/sites/ws.conf") << *vesk::ServerConfig::nginxProxySite(
        site("ws", base + "/p/blog"), *vesk::ProxyTarget::parse("http://[::1]:8080/app"), layout,
        vesk::ServerConfig::TLSFiles{issued.certificatePath, issued.keyPath});
    // Vite beside Laravel's PHP, and a project that is Vite's whole.
    std::ofstream(base + "/etc/nginx/sites/vite-php.conf") << *vesk::ServerConfig::nginxViteSite(
        site("vitephp", base + "/p/blog"), 5173, "8.2", layout, kLaravel,
        vesk::ServerConfig::TLSFiles{issued.certificatePath, issued.keyPath});
    std::ofstream(base + "/etc/nginx/sites/vite-app.conf") << *vesk::ServerConfig::nginxViteSite(
        site("viteapp", base + "/p/blog"), 5174, "8.2", layout, kStatic);
    // Directories new in a parked folder: one server for them all.
    const auto fallback = vesk::ServerConfig::nginxParkedFallback(
        {base + "/p", base + "/Work Projects", "/bad\"path"}, "test", "8.2", layout);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->find("/bad\"path"), std::string::npos);
    EXPECT_NE(fallback->find("if (-d \"" + base + "/Work Projects/$vesk_site\")"),
              std::string::npos)
        << *fallback;
    EXPECT_NE(fallback->find("server_name \"~^(?<vesk_site>[a-z0-9](?:[a-z0-9-]{0,61}[a-z0-9])?)"
                             "\\.test$\";"),
              std::string::npos)
        << *fallback;
    std::ofstream(base + "/etc/nginx/sites/~parked.conf") << *fallback;
    std::ofstream(base + "/etc/nginx/sites/~default-tls.conf")
        << vesk::ServerConfig::nginxDefaultTLS(layout);
    EXPECT_FALSE(vesk::ServerConfig::nginxParkedFallback({"/bad\"path"}, "test", "8.2", layout));
    EXPECT_FALSE(vesk::ServerConfig::nginxParkedFallback({base}, "te$t", "8.2", layout));
    // fastcgi_params is read relative to the configuration's directory.
    fs::copy_file("/etc/nginx/fastcgi_params", base + "/etc/fastcgi_params");
    const std::string nginx = "/usr/sbin/nginx -q -t -p " + base + " -e " + base +
                              "/log/e.log -c " + base + "/etc/nginx.conf 2>&1";
    EXPECT_EQ(std::system(nginx.c_str()), 0) << "nginx -t refused the configuration";

    if (fs::exists("/usr/sbin/php-fpm8.2")) {
        std::ofstream(base + "/etc/php-fpm-8.2.conf")
            << vesk::ServerConfig::phpFpmPool("8.2", layout);
        const std::string fpm =
            "/usr/sbin/php-fpm8.2 -t -y " + base + "/etc/php-fpm-8.2.conf >/dev/null 2>&1";
        EXPECT_EQ(std::system(fpm.c_str()), 0) << "php-fpm -t refused the pool";
        std::ofstream(base + "/etc/php-fpm-8.2-debug.conf")
            << vesk::ServerConfig::phpFpmPool("8.2-debug", layout);
        const std::string xdebug =
            "/usr/sbin/php-fpm8.2 -t -y " + base + "/etc/php-fpm-8.2-debug.conf >/dev/null 2>&1";
        EXPECT_EQ(std::system(xdebug.c_str()), 0) << "php-fpm -t refused Xdebug's pool";
    }
    if (fs::exists("/usr/sbin/dnsmasq")) {
        std::ofstream(base + "/etc/dnsmasq.conf")
            << vesk::ServerConfig::dnsmasq("test", "127.0.0.1", layout);
        const std::string check =
            "/usr/sbin/dnsmasq --test -C " + base + "/etc/dnsmasq.conf >/dev/null 2>&1";
        EXPECT_EQ(std::system(check.c_str()), 0) << "dnsmasq --test refused the configuration";
    }
}

}  // namespace

namespace {

TEST(Exposure, OffUnlessSaidAndNoLoopbackAddressIsANetworkOne) {
    const auto on = vesk::decodeJSON<vesk::Exposure>(R"({"lan":true,"since":818490408.0})");
    EXPECT_TRUE(on.lan);
    ASSERT_TRUE(on.since);
    EXPECT_EQ(vesk::decodeJSON<vesk::Exposure>(vesk::encodeJSON(on)), on);
    EXPECT_FALSE(vesk::Exposure{}.lan);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::Exposure>(R"({"since":1.0})"), vesk::DecodingError);
    EXPECT_THROW((void)vesk::decodeJSON<vesk::Exposure>(R"({"lan":"yes"})"), vesk::DecodingError);
    for (const auto& address : vesk::Exposures::networkAddresses()) {
        EXPECT_NE(address.rfind("127.", 0), 0U) << address;
        EXPECT_NE(address, "::1");
    }
}

}  // namespace

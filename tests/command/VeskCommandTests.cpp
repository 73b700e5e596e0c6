// The vesk command as a developer runs it: the real program, with a home
// directory of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "vesk/app/DiagnosticResult.hpp"
#include "vesk/debugging/DumpEntry.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/services/QueueWorker.hpp"
#include "vesk/services/Supervision.hpp"
#include "vesk/sites/Certificate.hpp"
#include "vesk/sites/DashboardStats.hpp"
#include "vesk/sites/ServerConfig.hpp"
#include "vesk/sites/Site.hpp"

namespace {

namespace fs = std::filesystem;

/// How --json writes dates: ISO 8601 text.
vesk::CodingOptions isoDates() {
    vesk::CodingOptions o;
    o.dates = vesk::DateStrategy::iso8601;
    return o;
}

/// The newest PHP-FPM version Debian installed here, or the library's default.
std::string newestPHP() {
    std::pair<int, int> best{-1, -1};
    for (const auto& entry : fs::directory_iterator("/usr/sbin")) {
        const std::string name = entry.path().filename().string();
        int major = 0;
        int minor = 0;
        char rest = 0;
        if (std::sscanf(name.c_str(), "php-fpm%d.%d%c", &major, &minor, &rest) == 2) {
            best = std::max(best, std::pair(major, minor));
        }
    }
    return best.first < 0 ? "8.4" : std::to_string(best.first) + "." + std::to_string(best.second);
}

struct Outcome {
    int status = -1;
    std::string out;
};

class VeskCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home = (fs::temp_directory_path() / ("vesk-cli-" + std::to_string(::getpid()))).string();
        fs::create_directories(home + "/Sites/blog/public");
        std::ofstream(home + "/Sites/blog/public/index.php") << "<?php echo 1;";
        fs::create_directories(home + "/Sites/Shop");
        fs::create_directories(home + "/Sites/.git");
        fs::create_directories(home + "/elsewhere/api");
    }
    void TearDown() override { fs::remove_all(home); }

    /// Runs vesk with `args` in `cwd`; its exit status and standard output
    /// and error together.
    Outcome vesk(const std::string& args, const std::string& cwd = "") const {
        const std::string command = "cd '" + (cwd.empty() ? home : cwd) + "' && HOME='" + home +
                                    "' VESK_BASE='" + home + "/env' VESK_HELPER_SOCKET='" + home +
                                    "/no-helper' " + extraEnv + " " + VESK_PROGRAM + " " + args +
                                    " 2>&1";
        Outcome r;
        FILE* p = ::popen(command.c_str(), "r");
        if (p == nullptr) return r;
        std::array<char, 4096> buf{};
        while (std::fgets(buf.data(), buf.size(), p) != nullptr) r.out += buf.data();
        const int status = ::pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
    [[nodiscard]] std::string settingsPath() const {
        return home + "/Library/Application Support/Vesk/config/settings.json";
    }

    std::string home;
    /// Variables set for vesk beside the fixture's ("NAME=value ...").
    std::string extraEnv;
};

TEST_F(VeskCommandTest, ParkLinkAndListTheSites) {
    EXPECT_EQ(vesk("--version").out, "vesk 1.0.0\n");
    EXPECT_EQ(vesk("park Sites").status, 0);
    EXPECT_EQ(vesk("parked").out, home + "/Sites\n");
    EXPECT_EQ(vesk("link", home + "/elsewhere/api").status, 0);
    const Outcome list = vesk("sites");
    EXPECT_EQ(list.status, 0);
    // New settings take the newest PHP version installed here (8.4 when none is).
    const std::string php = newestPHP();
    EXPECT_EQ(list.out, "http://api.test/  " + home + "/elsewhere/api  PHP " + php +
                            "  linked  static files\n" + "http://blog.test/  " + home +
                            "/Sites/blog  PHP " + php +
                            "  parked  Laravel-shaped PHP (public/index.php)\n" +
                            "http://shop.test/  " + home + "/Sites/Shop  PHP " + php +
                            "  parked  static files\n");
    const auto sites =
        vesk::decodeJSON<std::vector<vesk::Site>>(vesk("sites --json").out, isoDates());
    ASSERT_EQ(sites.size(), 3U);
    EXPECT_EQ(sites[0].fullDomain(), "api.test");
    EXPECT_TRUE(sites[0].isLinked);
    EXPECT_TRUE(sites[1].isParked);
    EXPECT_EQ(vesk("unlink api").status, 0);
    EXPECT_EQ(vesk("unlink api").out, "vesk: no site is linked as api\n");
    EXPECT_EQ(vesk("unpark Sites").status, 0);
    EXPECT_EQ(vesk("sites").out, "");
}

TEST_F(VeskCommandTest, PHPVersionsAreOnlyThoseInstalled) {
    ASSERT_EQ(vesk("park Sites").status, 0);
    const Outcome refused = vesk("isolate 5.6 blog");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out.rfind("vesk: PHP 5.6 is not installed (", 0), 0U) << refused.out;
    if (!fs::exists("/usr/sbin/php-fpm8.2")) GTEST_SKIP() << "no PHP-FPM 8.2 here";
    EXPECT_NE(refused.out.find("8.2"), std::string::npos) << "names the installed ones";
    EXPECT_EQ(vesk("isolate 8.2 blog").status, 0);
    EXPECT_NE(vesk("sites").out.find("/Sites/blog  PHP 8.2 (isolated)  parked"), std::string::npos);
    EXPECT_EQ(vesk("unisolate", home + "/Sites/blog").status, 0) << "the current directory's site";
    EXPECT_EQ(vesk("sites").out.find("isolated"), std::string::npos);
    EXPECT_EQ(vesk("use 8.2").status, 0);
    EXPECT_NE(vesk("sites").out.find("PHP 8.2  parked"), std::string::npos);
}

TEST_F(VeskCommandTest, TheShippedCommandKeepsToTheProductionLayout) {
    // An environment set up where VESK_BASE points: the test build serves
    // from it; the shipped program, built from the same sources, never
    // looks there (this machine has no environment of its own set up).
    if (fs::exists("/usr/local/vesk/.version")) GTEST_SKIP() << "this machine has an environment";
    fs::create_directories(home + "/env/etc");
    std::ofstream(home + "/env/.version") << "1.0.0";
    const std::string moved = "HOME='" + home + "' VESK_BASE='" + home + "/env' ";
    for (const char* program : {VESK_PROGRAM, VESK_SHIPPED_PROGRAM}) {
        FILE* p = ::popen((moved + program + " status 2>&1").c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        std::array<char, 4096> buf{};
        while (std::fgets(buf.data(), buf.size(), p) != nullptr) out += buf.data();
        ::pclose(p);
        const bool followed = out.find("not set up") == std::string::npos;
        EXPECT_EQ(followed, std::string(program) == VESK_PROGRAM) << program << ": " << out;
    }
}

TEST_F(VeskCommandTest, TheServicesSettingsAreSetInAProjectsEnvFile) {
    const Outcome printed = vesk("env postgresql redis");
    ASSERT_EQ(printed.status, 0) << printed.out;
    EXPECT_NE(printed.out.find("DB_CONNECTION=pgsql\nDB_HOST=127.0.0.1\nDB_PORT=5440\n"),
              std::string::npos)
        << printed.out;
    EXPECT_NE(printed.out.find("\n\nREDIS_HOST=127.0.0.1\nREDIS_PORT=6380\n"), std::string::npos);
    EXPECT_EQ(vesk("env mariadb postgresql").status, 1) << "one database a project";
    EXPECT_EQ(vesk("env nosuch").status, 1);
    EXPECT_EQ(vesk("env").status, 2);

    const std::string project = home + "/Sites/blog";
    const std::string original = "APP_NAME=Blog\r\nDB_CONNECTION=sqlite\r\n# mine\r\n";
    std::ofstream(project + "/.env", std::ios::binary) << original;
    fs::permissions(project + "/.env", fs::perms(0640));
    const Outcome written = vesk("env mariadb --write " + project);
    ASSERT_EQ(written.status, 0) << written.out;
    const auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(read(project + "/.env"),
              "APP_NAME=Blog\r\nDB_CONNECTION=mysql\r\n# mine\r\n\r\nDB_HOST=127.0.0.1\r\n"
              "DB_PORT=3361\r\nDB_DATABASE=laravel\r\nDB_USERNAME=root\r\nDB_PASSWORD=\r\n");
    EXPECT_EQ(read(project + "/.env.before-vesk"), original) << "the old file beside it";
    EXPECT_EQ(fs::status(project + "/.env").permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_NE(vesk("env mariadb --write " + project).out.find("has these settings already"),
              std::string::npos);
    // A file the developer cannot write, or one that is no file, is left.
    if (::geteuid() != 0) {
        fs::permissions(project + "/.env", fs::perms(0440));
        const std::string kept = read(project + "/.env");
        EXPECT_EQ(vesk("env redis --write " + project).status, 1);
        EXPECT_EQ(read(project + "/.env"), kept);
    }
    fs::remove(project + "/.env");
    fs::create_directory(project + "/.env");
    const Outcome directory = vesk("env redis --write " + project);
    EXPECT_EQ(directory.status, 1) << directory.out;
    EXPECT_NE(directory.out.find("nothing written"), std::string::npos) << directory.out;
}

TEST_F(VeskCommandTest, SitesSayWhatTheirBlocksServe) {
    ASSERT_EQ(vesk("link api", home + "/elsewhere/api").status, 0);
    const auto kindOfApi = [&] {
        const std::string out = vesk("sites").out;
        const auto at = out.find("http://api.test/");
        return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
    };
    EXPECT_NE(kindOfApi().find("static files"), std::string::npos) << "read from its directory";
    // The environment's index, as applying the blocks writes it.
    vesk::ServerConfig::Layout layout;
    layout.veskBase = home + "/env";
    fs::create_directories(layout.etcDir());
    const auto writeIndex = [&](const std::string& path) {
        std::ofstream(layout.servedIndex())
            << vesk::encodeJSON(std::vector<vesk::ServerConfig::Served>{
                   {"api.test", path, vesk::ProjectType::laravel, {}}});
    };
    writeIndex(home + "/elsewhere/api");
    EXPECT_NE(kindOfApi().find("Laravel-shaped"), std::string::npos) << "what its block serves";
    writeIndex("/somewhere/else");
    EXPECT_NE(kindOfApi().find("static files"), std::string::npos) << "a block of another path";
    std::ofstream(layout.servedIndex()) << "{not json";
    const Outcome broken = vesk("sites");
    EXPECT_EQ(broken.status, 0) << broken.out;
    EXPECT_NE(kindOfApi().find("static files"), std::string::npos) << "an unreadable index";
}

TEST_F(VeskCommandTest, BadInputIsRefusedAndNothingIsLost) {
    EXPECT_EQ(vesk("").status, 2);
    EXPECT_EQ(vesk("bogus").status, 2);
    EXPECT_EQ(vesk("park a b").status, 2);
    EXPECT_EQ(vesk("link --help").out.rfind("usage: vesk link", 0), 0U);
    // Each command takes its own options: a misspelt one is said, never
    // ignored (uninstall --purg would keep what it is asked to remove).
    for (const char* line : {"uninstall --purg", "sites --jsno", "park --json", "logs nginx -x",
                             "sites --json=yes", "status --purge"}) {
        const Outcome r = vesk(line);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_NE(r.out.find(": no option "), std::string::npos) << line << ": " << r.out;
    }
    const Outcome noValue = vesk("logs nginx -n");
    EXPECT_EQ(noValue.status, 2);
    EXPECT_NE(noValue.out.find("-n needs a value"), std::string::npos) << noValue.out;
    EXPECT_EQ(vesk("park /no/such/dir").out, "vesk: /no/such/dir is not a directory\n");
    EXPECT_EQ(vesk("link 'bad name'", home + "/elsewhere/api").status, 1);
    // A path nginx's configuration cannot carry (a double quote would end
    // its quotes) is refused; spaces are served.
    fs::create_directories(home + "/my\"project");
    const Outcome quoted = vesk("link", home + "/my\"project");
    EXPECT_EQ(quoted.status, 1);
    EXPECT_NE(quoted.out.find("cannot be served"), std::string::npos) << quoted.out;
    EXPECT_EQ(vesk("park 'my\"project'").status, 1);
    // A settings file that cannot be read is reported with its path, never
    // overwritten.
    fs::create_directories(fs::path(settingsPath()).parent_path());
    std::ofstream(settingsPath()) << R"({"parkedPaths": 3})";
    const Outcome r = vesk("park Sites");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("vesk: " + settingsPath() + ": cannot be read", 0), 0U) << r.out;
    std::ifstream in(settingsPath());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), R"({"parkedPaths": 3})");
}

TEST_F(VeskCommandTest, DoctorNamesEachCheckAndFailsOnAnError) {
    ASSERT_EQ(vesk("park Sites").status, 0);
    const Outcome human = vesk("doctor");
    EXPECT_NE(human.out.find("port 80 is free for Vesk's nginx"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("the system's name lookup asks the vesk module"), std::string::npos);
    const Outcome json = vesk("doctor --json");
    const auto results = vesk::decodeJSON<std::vector<vesk::DiagnosticResult>>(json.out);
    ASSERT_EQ(results.size(), 10U);
    bool failed = false;
    for (const auto& r : results) {
        failed = failed || r.severity == vesk::DiagnosticSeverity::error;
        EXPECT_EQ(r.severity == vesk::DiagnosticSeverity::passed, !r.suggestion) << r.label;
    }
    EXPECT_EQ(json.status, failed ? 1 : 0) << "exit 0 only when nothing fails";

    // Other machines reach the sites only while the developer says so, and
    // doctor says it as long as it lasts.
    const auto network = [&] {
        for (const auto& r :
             vesk::decodeJSON<std::vector<vesk::DiagnosticResult>>(vesk("doctor --json").out)) {
            if (r.label.find("answer") != std::string::npos &&
                r.label.find("machine") != std::string::npos) {
                return r.severity;
            }
        }
        return vesk::DiagnosticSeverity::error;
    };
    EXPECT_EQ(network(), vesk::DiagnosticSeverity::passed);
    EXPECT_NE(vesk("lan").out.find("this machine only"), std::string::npos);
    EXPECT_EQ(vesk("lan on").status, 0);
    EXPECT_EQ(network(), vesk::DiagnosticSeverity::warning);
    EXPECT_NE(vesk("lan").out.find("vesk lan off ends it"), std::string::npos);
    EXPECT_EQ(vesk("lan sideways").status, 2);
    EXPECT_EQ(vesk("lan off").status, 0);
    EXPECT_EQ(network(), vesk::DiagnosticSeverity::passed);

    // A linked project moved away: named, with the commands that fix it.
    fs::create_directories(home + "/elsewhere/moving");
    ASSERT_EQ(vesk("link", home + "/elsewhere/moving").status, 0);
    fs::rename(home + "/elsewhere/moving", home + "/elsewhere/moved");
    const Outcome moved = vesk("doctor");
    EXPECT_EQ(moved.status, 1);
    EXPECT_NE(moved.out.find(home + "/elsewhere/moving is gone (moved or renamed?): vesk unlink "
                                    "moving && vesk link in its new place"),
              std::string::npos)
        << moved.out;

    // A resolver on another loopback address (systemd-resolved's
    // 127.0.0.53) leaves port 53 on 127.0.0.1 free for Vesk's dnsmasq.
    const auto bindUDP = [](const char* address) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    };
    const int probe = bindUDP("127.0.0.1");
    if (probe < 0) GTEST_SKIP() << "port 53 on 127.0.0.1 is taken or needs root here";
    ::close(probe);
    const int resolved = bindUDP("127.0.0.53");
    ASSERT_GE(resolved, 0);
    const Outcome beside = vesk("doctor");
    const int loopback = bindUDP("127.0.0.1");
    const Outcome taken = vesk("doctor");
    ::close(resolved);
    ::close(loopback);
    EXPECT_NE(beside.out.find("ok    port 53 is free"), std::string::npos) << beside.out;
    EXPECT_NE(taken.out.find("FAIL  port 53"), std::string::npos) << taken.out;
}

TEST_F(VeskCommandTest, OnlyTheSetUpCommandsRunThroughSudo) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const Outcome r = vesk("link", home + "/elsewhere/api");
    ASSERT_EQ(r.status, 0) << r.out;  // root by itself (no sudo) is left alone
    const std::string command = "cd '" + home + "' && SUDO_USER=nobody HOME='" + home + "' " +
                                VESK_PROGRAM + " park Sites 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::array<char, 512> buf{};
    std::string out;
    while (std::fgets(buf.data(), buf.size(), p) != nullptr) out += buf.data();
    const int status = ::pclose(p);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(out.find("as yourself, without sudo"), std::string::npos) << out;
    EXPECT_EQ(vesk("parked").out, "") << "the refused command changed the settings";
}

TEST_F(VeskCommandTest, EightLinksAtOnceLeaveEightSites) {
    std::vector<pid_t> children;
    for (int i = 0; i < 8; ++i) {
        fs::create_directories(home + "/p" + std::to_string(i));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ::_exit(vesk("link", home + "/p" + std::to_string(i)).status);
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto sites =
        vesk::decodeJSON<std::vector<vesk::Site>>(vesk("sites --json").out, isoDates());
    EXPECT_EQ(sites.size(), 8U);
}

TEST_F(VeskCommandTest, EveryChangeIsCheckedByNginxAndARefusedOneIsNotApplied) {
    if (!fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "no nginx here";
    // An environment as sudo vesk install leaves it, with no server running.
    const std::string env = home + "/env";
    for (const char* sub : {"/etc/nginx/sites", "/log", "/run", "/tmp"}) {
        fs::create_directories(env + sub);
    }
    std::ofstream(env + "/.version") << "1.0.0";
    fs::copy_file("/etc/nginx/fastcgi_params", env + "/etc/fastcgi_params");
    const std::string sites = env + "/etc/nginx/sites/";

    ASSERT_EQ(vesk("park Sites").status, 0);
    EXPECT_TRUE(fs::exists(sites + "blog.test.conf"));
    EXPECT_TRUE(fs::exists(sites + "shop.test.conf"));
    EXPECT_TRUE(fs::exists(env + "/etc/nginx.conf"));
    EXPECT_TRUE(fs::exists(env + "/etc/dnsmasq.conf"));
    const Outcome secured = vesk("secure blog");
    ASSERT_EQ(secured.status, 0) << secured.out;
    std::ifstream block(sites + "blog.test.conf");
    const std::string text((std::istreambuf_iterator<char>(block)), {});
    EXPECT_NE(text.find(":443 ssl"), std::string::npos);

    // The certificate nginx needs is gone: the next change is refused with
    // nginx's own words, and the sites stay as they were.
    const std::string cert = home + "/Library/Application Support/Vesk/ssl/certs/blog.test.crt";
    fs::rename(cert, cert + ".away");
    const Outcome refused = vesk("link", home + "/elsewhere/api");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("nginx refuses the new configuration"), std::string::npos)
        << refused.out;
    EXPECT_NE(refused.out.find("blog.test.crt"), std::string::npos) << refused.out;
    EXPECT_FALSE(fs::exists(sites + "api.test.conf"));
    EXPECT_TRUE(fs::exists(sites + "blog.test.conf"));
    EXPECT_FALSE(fs::exists(env + "/etc/nginx/sites.new")) << "the refused change was left";

    // Secured again, everything recorded is served.
    fs::rename(cert + ".away", cert);
    EXPECT_EQ(vesk("secure blog").status, 0);
    EXPECT_TRUE(fs::exists(sites + "api.test.conf"));
    EXPECT_EQ(vesk("unsecure blog").status, 0);
    EXPECT_FALSE(fs::exists(cert)) << "an unsecured site's certificate stays";
    std::ifstream plain(sites + "blog.test.conf");
    const std::string again((std::istreambuf_iterator<char>(plain)), {});
    EXPECT_EQ(again.find(":443"), std::string::npos);
}

TEST_F(VeskCommandTest, StatsReadTheAccessLogAndSkipWhatIsNotInItsFormat) {
    const std::string log = home + "/access.log";
    const double now = vesk::Date::now().timeIntervalSince1970();
    {
        std::ofstream out(log, std::ios::binary);
        const auto line = [&](double at, const char* method, const char* path, int status,
                              const char* seconds, const char* host) {
            out << "127.0.0.1\t" << std::fixed << at << "\t" << method << "\t" << path
                << "\tHTTP/1.1\t" << status << "\t512\t" << seconds << "\tcurl/8.0\t" << host
                << "\n";
        };
        line(now - 10, "GET", "/", 200, "0.010", "blog.test");
        line(now - 20, "GET", "/", 200, "0.030", "blog.test");
        line(now - 30, "POST", "/login", 302, "0.020", "blog.test");
        line(now - 40, "GET", "/missing", 404, "-", "shop.test");
        line(now - 7200, "GET", "/old", 500, "0.5", "blog.test");  // outside 1h
        out << "garbage\n\x01\x02\xff\t\t\n";
        out << "127.0.0.1\tnot-a-time\tGET\t/\tHTTP/1.1\t200\t1\t0.1\t-\tblog.test\n";
        out << std::string(70'000, 'x') << "\n";
        out << "127.0.0.1\t" << now << "\tGET\t/half";  // still being written
    }
    const Outcome r = vesk("stats --range 1h --json --log '" + log + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto json = r.out.substr(0, r.out.find('\n'));
    const auto stats = vesk::decodeJSON<vesk::DashboardStats>(json);
    EXPECT_EQ(stats.totalRequests, 4);
    EXPECT_EQ(stats.statusBreakdown.at("2xx"), 2);
    EXPECT_EQ(stats.statusBreakdown.at("3xx"), 1);
    EXPECT_EQ(stats.statusBreakdown.at("4xx"), 1);
    EXPECT_EQ(stats.totalBytes, 4 * 512);
    // Milliseconds, as the human summary says them: 10, 30 and 20 ms.
    ASSERT_TRUE(stats.avgResponseTime);
    EXPECT_NEAR(*stats.avgResponseTime, 20.0, 1e-9);
    // Each site's pages are endpoints of their own.
    ASSERT_EQ(stats.topEndpoints.size(), 3U);
    EXPECT_EQ(stats.topEndpoints[0].endpoint, "GET blog.test/");
    EXPECT_EQ(stats.topEndpoints[0].count, 2);
    EXPECT_NE(r.out.find("4 lines of"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("still being written"), std::string::npos) << r.out;

    const Outcome shop = vesk("stats --range 1h --json --site shop --log '" + log + "'");
    const auto shopStats =
        vesk::decodeJSON<vesk::DashboardStats>(shop.out.substr(0, shop.out.find('\n')));
    EXPECT_EQ(shopStats.totalRequests, 1);
    ASSERT_EQ(shopStats.topEndpoints.size(), 1U);
    EXPECT_EQ(shopStats.topEndpoints[0].endpoint, "GET /missing");
    EXPECT_EQ(vesk("stats --range 2d --log '" + log + "'").status, 1);
    EXPECT_EQ(vesk("stats --log '" + home + "/none.log'").status, 1);
}

TEST_F(VeskCommandTest, ALargeLogReadInTwoHalvesCountsEveryLineOnce) {
    // Over 16 MiB: read by two threads, split at a line's start.
    const std::string log = home + "/large.log";
    const double now = vesk::Date::now().timeIntervalSince1970();
    const std::string agent(60, 'a');
    std::size_t written = 0;
    {
        std::ofstream out(log, std::ios::binary);
        out << std::fixed;
        for (int i = 0; i < 200'000; ++i) {
            if (i % 1000 == 999) {
                out << "not a request line\n";
                continue;
            }
            out << "10.0.0.1\t" << now - 60 << "\tGET\t/p" << (i % 3) << "\tHTTP/1.1\t"
                << (i % 2 == 0 ? 200 : 404) << "\t10\t0.001\t" << agent << "\tblog.test\n";
            ++written;
        }
    }
    ASSERT_GT(fs::file_size(log), std::uintmax_t{16} << 20);
    const Outcome r = vesk("stats --range 1h --json --log '" + log + "'");
    ASSERT_EQ(r.status, 0) << r.out.substr(0, 500);
    const auto stats = vesk::decodeJSON<vesk::DashboardStats>(r.out.substr(0, r.out.find('\n')));
    EXPECT_EQ(stats.totalRequests, static_cast<std::int64_t>(written));
    EXPECT_EQ(stats.totalBytes, static_cast<std::int64_t>(written) * 10);
    std::int64_t endpoints = 0;
    for (const auto& e : stats.topEndpoints) endpoints += e.count;
    EXPECT_EQ(endpoints, static_cast<std::int64_t>(written));
    EXPECT_EQ(stats.topEndpoints.size(), 3U);
    EXPECT_NE(r.out.find("200 lines of"), std::string::npos) << r.out.substr(r.out.find('\n'));
}

TEST_F(VeskCommandTest, DumpsArePrintedAsTheyArriveAndBadOnesNeverEndTheListener) {
    // The socket's directory, when another user owns it, is refused.
    if (::geteuid() == 0) {
        struct stat st {};
        const bool existed = ::lstat("/tmp/vesk", &st) == 0;
        if (!existed) {
            ASSERT_EQ(::mkdir("/tmp/vesk", 0700), 0);
        }
        ASSERT_EQ(::lchown("/tmp/vesk", 65534, 65534), 0);
        const Outcome refused = vesk("dumps");
        ASSERT_EQ(::lchown("/tmp/vesk", 0, 0), 0);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.out.find("belongs to another user"), std::string::npos) << refused.out;
    }
    const std::string out = home + "/dumps.out";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("HOME", home.c_str(), 1);
        if (::freopen(out.c_str(), "w", stdout) == nullptr ||
            ::freopen((out + ".err").c_str(), "w", stderr) == nullptr) {
            ::_exit(126);
        }
        ::execl(VESK_PROGRAM, VESK_PROGRAM, "dumps", "--json", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto send = [](const std::string& bytes) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string("/tmp/vesk/vesk-debug.sock").copy(addr.sun_path, sizeof addr.sun_path - 1);
        bool ok = false;
        for (int i = 0; i < 200 && !ok; ++i) {
            ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (!ok) ::usleep(10'000);
        }
        if (ok) (void)!::write(fd, bytes.data(), bytes.size());
        ::close(fd);
        return ok;
    };
    const std::string payload =
        R"J({"type":"dump","file":"/srv/app/index.php","line":7,"content":"array(1)","varType":"array","siteDomain":"blog.test"})J";
    ASSERT_TRUE(send(payload + "\n{not json}\n" + R"({"type":"dump"})" + "\n"));
    EXPECT_TRUE(send(std::string(2 << 20, '{')));  // over the limit: refused
    EXPECT_TRUE(send(payload));                    // no line feed: counts at the end
    std::string text;
    for (int i = 0; i < 200 && std::count(text.begin(), text.end(), '\n') < 2; ++i) {
        ::usleep(10'000);
        std::ifstream in(out);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::ifstream errors(out + ".err");
    const std::string err((std::istreambuf_iterator<char>(errors)), {});
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text << err;
    const auto entry =
        vesk::decodeJSON<vesk::DumpEntry>(text.substr(0, text.find('\n')), isoDates());
    EXPECT_NE(text.find("\"timestamp\":\"20"), std::string::npos) << "a date jq reads as one";
    EXPECT_EQ(entry.file, "/srv/app/index.php");
    EXPECT_EQ(entry.line, 7);
    EXPECT_EQ(entry.siteDomain, "blog.test");
    EXPECT_EQ(entry.language, "php");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;  // listening, 2 bad, 1 too large
}

TEST_F(VeskCommandTest, TextFromOutsideReachesTheTerminalInert) {
    // A hostile log: a request line whose path sets the window title and
    // clears the screen, a time of 1e300, a bidirectional override.
    const std::string log = home + "/access.log";
    const double now = vesk::Date::now().timeIntervalSince1970();
    {
        std::ofstream out(log, std::ios::binary);
        out << std::fixed << "127.0.0.1\t" << now - 5
            << "\tGET\t/?x=\x1b]0;PWNED\x07\x1b[2J\tHTTP/1.1\t200\t1\t1e300\tcurl\tblog.test\n"
            << "127.0.0.1\t" << now - 5
            << "\tGET\t/\xe2\x80\xae"
               "evil\xc2\x9b"
               "\tHTTP/1.1\t200\t1\t0.5"
            << "\tcurl\tblog.test\n";
    }
    const Outcome human = vesk("stats --range 1h --log '" + log + "'");
    ASSERT_EQ(human.status, 0) << human.out;
    EXPECT_EQ(human.out.find('\x1b'), std::string::npos) << human.out;
    EXPECT_EQ(human.out.find("\xe2\x80\xae"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("/?x=\\x1b]0;PWNED\\x07\\x1b[2J"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("\\u202eevil\\u009b"), std::string::npos) << human.out;
    // The largest time is written whole: digits, not whatever was in memory.
    EXPECT_NE(human.out.find("mean 5e+302 ms"), std::string::npos) << human.out;
    for (const char c : human.out) {
        const auto u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 || c == '\n' || c == '\t') << "control byte " << int{u};
    }
    // Scripts get the text exactly.
    const Outcome json = vesk("stats --range 1h --json --log '" + log + "'");
    const auto stats =
        vesk::decodeJSON<vesk::DashboardStats>(json.out.substr(0, json.out.find('\n')));
    bool exact = false;
    for (const auto& e : stats.topEndpoints) {
        exact = exact || e.endpoint.find("/?x=\x1b]0;PWNED\x07\x1b[2J") != std::string::npos;
    }
    EXPECT_TRUE(exact) << json.out;

    // Frame names of an imported profile, in the list and the drawing's
    // summary; the picture itself goes into the developer's own tree.
    const std::string folded = home + "/evil.folded";
    std::ofstream(folded) << "main;\x1b[31mred\x1b[0m;\x1b]52;c;cGF5bG9hZA==\x07 10\n";
    const Outcome imported = vesk("profile import '" + folded + "' --label '\x1b[2Jlabel'");
    ASSERT_EQ(imported.status, 0) << imported.out;
    const std::string id = imported.out.substr(imported.out.find(" as ") + 4, 36);
    for (const Outcome& o : {vesk("profile list"), vesk("profile show " + id)}) {
        EXPECT_EQ(o.out.find('\x1b'), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("\\x1b["), std::string::npos) << o.out;
    }
    const Outcome shown = vesk("profile show " + id);
    EXPECT_NE(shown.out.find(home + "/Library/Application Support/Vesk/flamegraphs/"),
              std::string::npos)
        << shown.out;
    EXPECT_EQ(shown.out.find("/tmp/vesk/"), std::string::npos) << shown.out;

    // Log lines, read by vesk logs itself.
    const std::string env = home + "/env";
    fs::create_directories(env + "/log");
    fs::create_directories(env + "/etc");
    std::ofstream(env + "/.version") << "1.0.0";
    std::ofstream(env + "/log/nginx-error.log") << "first\n\x1b]0;PWNED\x07 in the error log\n";
    const Outcome logs = vesk("logs nginx");
    EXPECT_EQ(logs.out.find('\x1b'), std::string::npos) << logs.out;
    EXPECT_NE(logs.out.find("\\x1b]0;PWNED\\x07 in the error log"), std::string::npos) << logs.out;
}

TEST_F(VeskCommandTest, LogsShowTheLastLinesOfEachFile) {
    const std::string env = home + "/env";
    fs::create_directories(env + "/log");
    fs::create_directories(env + "/etc");
    std::ofstream(env + "/.version") << "1.0.0";
    {
        std::ofstream error(env + "/log/nginx-error.log");
        for (int i = 1; i <= 120; ++i) error << "error " << i << "\n";
        std::ofstream(env + "/log/nginx-access.log") << "only line without its line feed";
    }
    const Outcome r = vesk("logs nginx");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("==> " + env + "/log/nginx-error.log <==\nerror 71\n", 0), 0U) << r.out;
    EXPECT_NE(r.out.find("error 120\n\n==> " + env +
                         "/log/nginx-access.log <==\nonly line without its line feed"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("error 70\n"), std::string::npos);
    EXPECT_EQ(vesk("logs postfix").status, 2);
    // The mail catcher's log is the developer's, in their Vesk tree.
    const std::string tree = home + "/Library/Application Support/Vesk/log";
    fs::create_directories(tree);
    std::ofstream(tree + "/mail.log") << "vesk-mail-catcher: listening on 127.0.0.1:2525\n";
    const Outcome mail = vesk("logs mail");
    EXPECT_EQ(mail.status, 0) << mail.out;
    EXPECT_NE(mail.out.find("listening on 127.0.0.1:2525"), std::string::npos) << mail.out;

    // -n as tail takes it; the access log's lines readable, with their time.
    std::ofstream(env + "/log/nginx-access.log")
        << "127.0.0.1\t1796798432.667\tGET\t/x?y=1\tHTTP/1.1\t404\t16\t0.012\tcurl/8\tblog.test\n";
    const Outcome few = vesk("logs nginx -n 2");
    EXPECT_NE(few.out.find("<==\nerror 119\nerror 120\n\n"), std::string::npos) << few.out;
    EXPECT_EQ(few.out.find("error 118"), std::string::npos) << few.out;
    EXPECT_NE(
        few.out.find(
            "2026-12-09T06:40:32Z  127.0.0.1  404  GET blog.test/x?y=1  16 B  12 ms  curl/8\n"),
        std::string::npos)
        << few.out;
    EXPECT_EQ(vesk("logs nginx -n lots").status, 1);
}

TEST_F(VeskCommandTest, NamesThatAreNoHostNamesAndPathsWithSpacesAreServedOrSaid) {
    for (const char* dir : {"/Sites/My_Shop", "/Sites/my.blog", "/Sites/caf\xC3\xA9",
                            "/Sites/.hidden", "/Work Projects/My App"}) {
        fs::create_directories(home + dir);
    }
    ASSERT_EQ(vesk("park Sites").status, 0);
    const Outcome listed = vesk("sites");
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("http://my-shop.test/  " + home + "/Sites/My_Shop  "),
              std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("http://my-blog.test/  " + home + "/Sites/my.blog  "),
              std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("vesk: not served: " + home +
                              "/Sites/caf\xC3\xA9: its name holds characters a host name cannot"),
              std::string::npos)
        << listed.out;
    EXPECT_EQ(listed.out.find("hidden"), std::string::npos) << "a hidden directory is no site";

    const Outcome linked = vesk("link", home + "/Work Projects/My App");
    EXPECT_EQ(linked.status, 0) << linked.out;
    EXPECT_NE(vesk("sites").out.find("http://my-app.test/  " + home + "/Work Projects/My App  "),
              std::string::npos);
    fs::create_directories(home + "/x\"y");
    const Outcome refused = vesk("link", home + "/x\"y");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("a double quote"), std::string::npos) << refused.out;
}

TEST_F(VeskCommandTest, TheDevelopmentDomainChangesEverywhere) {
    ASSERT_EQ(vesk("park Sites").status, 0);
    ASSERT_EQ(vesk("link", home + "/elsewhere/api").status, 0);
    ASSERT_EQ(vesk("secure blog").status, 0);
    const std::string certs = home + "/Library/Application Support/Vesk/ssl/certs/";
    ASSERT_TRUE(fs::exists(certs + "blog.test.crt"));

    EXPECT_EQ(vesk("tld com").status, 1) << "a real top-level domain";
    EXPECT_EQ(vesk("tld 'b d'").status, 1);
    EXPECT_EQ(vesk("tld").status, 2);
    const Outcome changed = vesk("tld box");
    ASSERT_EQ(changed.status, 0) << changed.out;
    const Outcome listed = vesk("sites");
    EXPECT_NE(listed.out.find("https://blog.box/"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("http://api.box/"), std::string::npos) << "a linked site too";
    EXPECT_EQ(listed.out.find(".test/"), std::string::npos) << listed.out;
    EXPECT_FALSE(fs::exists(certs + "blog.test.crt")) << "the old name's certificate stays";
    ASSERT_TRUE(fs::exists(certs + "blog.box.crt"));
    // Signed by an authority made for .box: its constraint names it.
    std::ifstream ca(home + "/env/authority/vesk-ca.crt");
    const std::string pem((std::istreambuf_iterator<char>(ca)), {});
    const auto permitted = vesk::Certificates::permittedNames(pem);
    ASSERT_TRUE(permitted);
    EXPECT_NE(std::find(permitted->begin(), permitted->end(), "box"), permitted->end());
    vesk::Certificate authority;
    authority.certificatePath = home + "/env/authority/vesk-ca.crt";
    EXPECT_EQ(vesk::Certificates::verify(authority, certs + "blog.box.crt", "blog.box",
                                         vesk::Date::now()),
              std::nullopt);
    EXPECT_EQ(vesk("tld box").out, "The sites are already served under .box\n");
}

}  // namespace

namespace {

TEST_F(VeskCommandTest, ServicesDebianDoesNotPackageAreRefusedInOneLine) {
    const auto mongo = vesk("service start mongodb");
    EXPECT_EQ(mongo.status, 1);
    EXPECT_EQ(std::count(mongo.out.begin(), mongo.out.end(), '\n'), 1) << mongo.out;
    EXPECT_NE(mongo.out.find("MongoDB is not packaged by Debian"), std::string::npos) << mongo.out;
    EXPECT_NE(mongo.out.find("27018"), std::string::npos);
    const auto unknown = vesk("service start oracle");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.out.find("no service is called oracle"), std::string::npos) << unknown.out;
    EXPECT_EQ(vesk("service frobnicate").status, 2);
    // Nothing was kept running, so nothing is started at boot.
    EXPECT_EQ(vesk("service status").out.find("Running"), std::string::npos);
    const auto listed = vesk("service list");
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("minio        not packaged by Debian (port 9010)"), std::string::npos)
        << listed.out;
    const auto db = vesk("db list");
    EXPECT_EQ(db.status, 1);
    EXPECT_NE(db.out.find("no database service is kept running"), std::string::npos) << db.out;
    EXPECT_EQ(vesk("db list --service redis").status, 1);
}

/// The queue workers of the command's record, by the first 8 characters of their ids.
std::vector<vesk::QueueWorker> workersIn(const std::string& json) {
    try {
        return vesk::decodeJSON<std::vector<vesk::QueueWorker>>(json, isoDates());
    } catch (const std::exception&) {
        return {};
    }
}

TEST_F(VeskCommandTest, ProxiesNodeServersViteAndXdebugRefuseWhatTheyCannotServe) {
    const std::string proxies = home + "/Library/Application Support/Vesk/config/proxies.json";
    ASSERT_EQ(vesk("park", home + "/Sites").status, 0);
    Outcome far = vesk("proxy far http://10.0.0.1:80");
    EXPECT_EQ(far.status, 1);
    EXPECT_NE(far.out.find("unless you add --any-host"), std::string::npos) << far.out;
    EXPECT_EQ(vesk("proxy bad 'http://127.0.0.1:3000/;return 302 x'").status, 1);
    EXPECT_EQ(vesk("proxy 'a b' 3000").status, 1);
    EXPECT_EQ(vesk("proxy x https://127.0.0.1:3000").status, 1);
    EXPECT_FALSE(fs::exists(proxies)) << "a refusal recorded something";
    EXPECT_EQ(vesk("proxy blog 3000").status, 1) << "a name a directory is served under";

    const Outcome added = vesk("proxy api 3000");
    ASSERT_EQ(added.status, 0) << added.out;
    EXPECT_NE(vesk("proxies").out.find("http://api.test/  -> http://127.0.0.1:3000"),
              std::string::npos);
    EXPECT_NE(vesk("sites").out.find("linked  proxy -> http://127.0.0.1:3000"), std::string::npos)
        << vesk("sites").out;
    EXPECT_EQ(vesk("proxy remote http://192.168.1.9:8080 --any-host").status, 0);
    EXPECT_NE(vesk("proxies").out.find("(another machine)"), std::string::npos);
    EXPECT_EQ(vesk("unproxy api").status, 0);
    EXPECT_EQ(vesk("unproxy api").status, 1);
    EXPECT_EQ(vesk("sites").out.find("api.test"), std::string::npos) << "the proxy's site stays";

    const Outcome node = vesk("node start blog");
    EXPECT_EQ(node.status, 1);
    EXPECT_NE(node.out.find("has no start script"), std::string::npos) << node.out;
    const Outcome vite = vesk("vite blog");
    EXPECT_EQ(vite.status, 1);
    EXPECT_NE(vite.out.find("does not name vite"), std::string::npos) << vite.out;
    EXPECT_EQ(vesk("xdebug status").out.substr(0, 11), "Xdebug off\n");
    EXPECT_EQ(vesk("xdebug on --mode develop").status, 1);
    EXPECT_EQ(vesk("xdebug sideways").status, 2);
}

TEST_F(VeskCommandTest, AQueueWorkerIsKeptRunningAndItsJobsCounted) {
    if (::access("/usr/bin/php8.2", X_OK) != 0) GTEST_SKIP() << "no PHP 8.2 command line";
    // A Laravel-shaped project whose artisan prints five of Laravel's job
    // lines (the third fails), then waits.
    const std::string app = home + "/elsewhere/api";
    std::ofstream(app + "/artisan") << R"(<?php
echo "   INFO  Processing jobs from the [default] queue.\n\n";
file_put_contents(__DIR__ . "/args", implode(" ", array_slice($argv, 1)));
for ($n = 1; $n <= 5; $n++) {
    echo "  2026-12-09 10:00:00 App\\Jobs\\Job$n ........ RUNNING\n";
    echo "  2026-12-09 10:00:00 App\\Jobs\\Job$n ... 1.00ms " . ($n == 3 ? "FAIL" : "DONE") . "\n";
}
while (true) sleep(1);
)";
    std::ofstream(app + "/.env") << "QUEUE_CONNECTION=redis\n";
    ASSERT_EQ(vesk("link", app).status, 0);
    extraEnv = "VESK_TEST_TIME_SCALE=0.05";
    EXPECT_EQ(vesk("worker add blog").status, 1) << "a site without artisan";
    EXPECT_NE(vesk("worker add api --queue 'x;touch /tmp/owned'").out.find("--queue takes"),
              std::string::npos);
    EXPECT_EQ(vesk("worker add api --memory lots").status, 1);
    const Outcome added = vesk("worker add api --queue high,default --tries 3");
    ASSERT_EQ(added.status, 0) << added.out;
    const auto counted = [&](std::int64_t done, std::int64_t failed) {
        for (int i = 0; i < 200; ++i) {
            const auto w = workersIn(vesk("worker list --json").out);
            if (w.size() == 1 && w[0].jobsProcessed == done && w[0].jobsFailed == failed &&
                w[0].pid) {
                return w[0];
            }
            ::usleep(50'000);
        }
        const auto w = workersIn(vesk("worker list --json").out);
        ADD_FAILURE() << "not " << done << " done and " << failed
                      << " failed: " << vesk("worker list").out;
        return w.empty() ? vesk::QueueWorker{} : w[0];
    };
    const auto first = counted(4, 1);
    EXPECT_EQ(first.status, vesk::WorkerStatus::running);
    EXPECT_EQ(first.connection, "redis") << "the project's QUEUE_CONNECTION";
    std::ifstream args(app + "/args");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(args), {}),
              "queue:work redis --queue=high,default --memory=128 --timeout=60 --tries=3");
    // Killed, it is started again on the back-off and counts on.
    ASSERT_TRUE(first.pid);
    ::kill(*first.pid, SIGKILL);
    const auto again = counted(8, 2);
    EXPECT_NE(again.pid, first.pid);
    // The crash is in the supervisor's report, on the worker's health.
    std::ifstream reportFile(home + "/Library/Application Support/Vesk/state/supervisor.json");
    const auto report = vesk::decodeJSON<vesk::supervision::SupervisorReport>(
        std::string(std::istreambuf_iterator<char>(reportFile), {}));
    const auto* seen = report.find("worker " + again.id.uuidString().substr(0, 8));
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->health.crashCount, 1);
    ASSERT_EQ(seen->health.recentCrashes.size(), 1U);
    EXPECT_EQ(seen->health.recentCrashes[0].signal, SIGKILL);
    // Stopped, it stays stopped; removed, it is gone.
    EXPECT_EQ(vesk("worker stop api").status, 0);
    for (int i = 0; i < 100 && ::kill(*again.pid, 0) == 0; ++i) ::usleep(50'000);
    EXPECT_NE(::kill(*again.pid, 0), 0) << "the stopped worker still runs";
    EXPECT_EQ(vesk("worker remove api").out.substr(0, 15), "Removed worker ");
    EXPECT_EQ(vesk("worker list").out, "No queue worker yet: vesk worker add SITE\n");
    EXPECT_EQ(vesk("worker stop api").status, 1);
    std::ifstream pid(home + "/Library/Application Support/Vesk/state/supervisor.pid");
    long supervisor = 0;
    pid >> supervisor;
    if (supervisor > 0) ::kill(static_cast<pid_t>(supervisor), SIGTERM);
    for (int i = 0; i < 100 && supervisor > 0 && ::kill(static_cast<pid_t>(supervisor), 0) == 0;
         ++i) {
        ::usleep(50'000);
    }
}

}  // namespace

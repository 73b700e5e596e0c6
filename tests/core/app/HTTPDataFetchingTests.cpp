// Fetching over HTTP with libcurl, against a real nginx on the loopback
// address that the test starts; and the process abstraction's conveniences.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "vesk/app/HTTPDataFetching.hpp"
#include "vesk/services/ProcessManaging.hpp"

namespace {

namespace fs = std::filesystem;

int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);
    return ntohs(addr.sin_port);
}

// A local listener that must never be reached: a stand-in for a Redis or
// SMTP server that a forged request would write to.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 16);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() { ::close(fd); }
    [[nodiscard]] bool reached() const {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c >= 0) ::close(c);
        return c >= 0;
    }
};

std::string fetchError(const vesk::URL& url) {
    try {
        (void)vesk::CurlDataFetcher::fetch(url);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "fetched";
}

class NginxTest : public ::testing::Test {
  protected:
    static constexpr const char* kNginx = "/usr/sbin/nginx";

    void SetUp() override {
        if (!fs::exists(kNginx)) GTEST_SKIP() << "no nginx here";
        dir = (fs::temp_directory_path() / ("vesk-http-" + std::to_string(::getpid()))).string();
        fs::create_directories(dir + "/www");
        fs::create_directories(dir + "/tmp");
        std::ofstream(dir + "/www/target.txt") << "arrived";
        large.resize(std::size_t{6} << 20);
        for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
        std::ofstream(dir + "/www/large.bin", std::ios::binary) << large;
        port = freePort();
        std::ofstream(dir + "/nginx.conf")
            << "daemon off;\nmaster_process off;\npid " << dir << "/nginx.pid;\nerror_log " << dir
            << "/error.log;\nevents {}\nhttp {\n  access_log off;\n  client_body_temp_path " << dir
            << "/tmp;\n  proxy_temp_path " << dir << "/tmp;\n  fastcgi_temp_path " << dir
            << "/tmp;\n  uwsgi_temp_path " << dir << "/tmp;\n  scgi_temp_path " << dir
            << "/tmp;\n  server {\n    listen 127.0.0.1:" << port << ";\n    root " << dir
            << "/www;\n    location = /redirect { return 302 /target.txt; }\n"
               "    location = /header { add_header X-Vesk yes; return 200 'hi'; }\n"
               "    location = /loop { return 302 /loop; }\n"
               "    location = /c0 { return 302 /target.txt; }\n"
               "    location = /to-gopher { return 302 gopher://127.0.0.1:"
            << trap.port << "/_SET%20key%20value; }\n"
            << "    location = /to-file { return 302 file:///etc/passwd; }\n";
        std::ofstream conf(dir + "/nginx.conf", std::ios::app);
        for (int i = 1; i <= 16; ++i) {
            conf << "    location = /c" << i << " { return 302 /c" << i - 1 << "; }\n";
        }
        conf << "  }\n}\n";
        conf.close();
        nginx = ::fork();
        if (nginx == 0) {
            ::execl(kNginx, kNginx, "-p", dir.c_str(), "-e", (dir + "/error.log").c_str(), "-c",
                    (dir + "/nginx.conf").c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<std::uint16_t>(port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(s);
            if (up) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "nginx did not start";
    }
    void TearDown() override {
        if (nginx > 0) {
            ::kill(nginx, SIGTERM);
            ::waitpid(nginx, nullptr, 0);
        }
        if (!dir.empty()) fs::remove_all(dir);
    }

    [[nodiscard]] vesk::URL url(const std::string& path) const {
        return *vesk::URL::parse("http://127.0.0.1:" + std::to_string(port) + path);
    }

    std::string dir;
    std::string large;
    int port = 0;
    pid_t nginx = -1;
    Listener trap;
};

TEST_F(NginxTest, RedirectsAreFollowedToTheFinalUrl) {
    const auto r = vesk::CurlDataFetcher::fetch(url("/redirect"));
    EXPECT_EQ(r.statusCode, 200);
    EXPECT_EQ(r.url, url("/target.txt").absoluteString());
    EXPECT_EQ(std::string(r.body.begin(), r.body.end()), "arrived");
}

TEST_F(NginxTest, OnlyHttpIsSpokenAndRedirectsAreBounded) {
    for (const char* scheme : {"gopher", "dict", "smtp", "telnet", "ftp", "scp", "ldap", "tftp"}) {
        const auto u =
            vesk::URL::parse(std::string(scheme) + "://127.0.0.1:" + std::to_string(trap.port) +
                             "/_SET%20key%20value");
        ASSERT_TRUE(u.has_value()) << scheme;
        EXPECT_NE(fetchError(*u), "fetched") << scheme;
        EXPECT_FALSE(trap.reached()) << scheme << " reached the local server";
    }
    EXPECT_NE(fetchError(*vesk::URL::parse("file:///etc/passwd")), "fetched");
    EXPECT_NE(fetchError(url("/to-gopher")), "fetched") << "a redirect to a refused scheme";
    EXPECT_FALSE(trap.reached());
    EXPECT_NE(fetchError(url("/to-file")), "fetched");
    const std::string loop = fetchError(url("/loop"));
    EXPECT_NE(loop.find("redirect"), std::string::npos) << loop;
    // Sixteen redirects are followed, the seventeenth is not.
    EXPECT_EQ(vesk::CurlDataFetcher::fetch(url("/c15")).url, url("/target.txt").absoluteString());
    EXPECT_NE(fetchError(url("/c16")), "fetched");
}

TEST_F(NginxTest, AMissingPageIsAResponseNotAnError) {
    const auto r = vesk::CurlDataFetcher::fetch(url("/missing"));
    EXPECT_EQ(r.statusCode, 404);
    const auto h = vesk::CurlDataFetcher::fetch(url("/header"));
    bool found = false;
    for (const auto& [name, value] : h.headers)
        found = found || (name == "X-Vesk" && value == "yes");
    EXPECT_TRUE(found);
}

TEST_F(NginxTest, LargeBodiesArriveWholeAndAsynchronously) {
    std::promise<std::pair<std::optional<vesk::HTTPResponse>, std::optional<std::string>>> done;
    auto result = done.get_future();
    vesk::CurlDataFetcher fetcher;
    fetcher.data(url("/large.bin"),
                 [&](std::optional<vesk::HTTPResponse> r, std::optional<std::string> error) {
                     done.set_value({std::move(r), std::move(error)});
                 });
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto [response, error] = result.get();
    ASSERT_TRUE(response.has_value()) << error.value_or("");
    EXPECT_EQ(error, std::nullopt);
    EXPECT_EQ(response->body.size(), large.size());
    EXPECT_TRUE(std::equal(response->body.begin(), response->body.end(), large.begin()));
}

TEST(HTTPDataFetching, ARefusedConnectionIsAnError) {
    const int port = freePort();
    std::promise<std::optional<std::string>> done;
    vesk::CurlDataFetcher fetcher;
    fetcher.data(*vesk::URL::parse("http://127.0.0.1:" + std::to_string(port) + "/"),
                 [&](std::optional<vesk::HTTPResponse> r, std::optional<std::string> error) {
                     EXPECT_FALSE(r.has_value());
                     done.set_value(std::move(error));
                 });
    auto f = done.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto error = f.get();
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->empty());
}

// A process manager that records which required operation was called.
class Recorder final : public vesk::ProcessManaging {
  public:
    using vesk::ProcessManaging::run;
    void run(const std::string& executable, const std::vector<std::string>&,
             const std::optional<std::string>&,
             vesk::ValueCompletion<vesk::ProcessResult> done) override {
        calls.push_back("run " + executable);
        done(vesk::ProcessResult{0, "out", ""}, std::nullopt);
    }
    void runWithEnvironment(const std::string& executable, const std::vector<std::string>&,
                            const std::optional<std::string>&, const Environment& environment,
                            vesk::ValueCompletion<vesk::ProcessResult> done) override {
        calls.push_back("env " + executable + " " + environment.at("A"));
        done(std::nullopt, std::string("No such file or directory"));
    }
    void terminate(std::int32_t, vesk::Completion done) override { done(std::nullopt); }
    [[nodiscard]] bool isRunning(std::int32_t) const override { return false; }
    [[nodiscard]] std::optional<std::string> locate(const std::string&) const override {
        return std::nullopt;
    }
    std::vector<std::string> calls;
};

TEST(ProcessManaging, ConveniencesForwardAndPortUserIsAbsent) {
    Recorder p;
    std::optional<vesk::ProcessResult> result;
    p.run("/bin/x", {}, std::nullopt, std::optional<vesk::ProcessManaging::Environment>{},
          [&](std::optional<vesk::ProcessResult> r, std::optional<std::string>) { result = r; });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->stdoutText, "out");
    std::optional<std::string> failure;
    p.run("/bin/y", {}, std::nullopt, vesk::ProcessManaging::Environment{{"A", "1"}},
          [&](std::optional<vesk::ProcessResult>, std::optional<std::string> e) { failure = e; });
    EXPECT_EQ(failure, "No such file or directory") << "failures pass on unchanged";
    EXPECT_EQ(p.calls, (std::vector<std::string>{"run /bin/x", "env /bin/y 1"}));
    for (const std::int64_t port : {0, 80, 65535}) {
        bool answered = false;
        p.identifyPortUser(port, [&](std::optional<std::optional<vesk::PortUser>> user,
                                     std::optional<std::string> error) {
            answered = true;
            EXPECT_TRUE(user.has_value() && !user->has_value());
            EXPECT_EQ(error, std::nullopt);
        });
        EXPECT_TRUE(answered);
    }
    EXPECT_NE((vesk::ProcessResult{0, "a", "b"}), (vesk::ProcessResult{0, "a", "c"}));
}

}  // namespace

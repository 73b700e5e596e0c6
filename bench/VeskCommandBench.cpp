// The vesk command as whole processes, against /bin/true in the same run:
// `vesk --version` and `vesk sites` over 1,000 linked sites (served by an
// environment, as they are once linked; and before any environment serves
// them, when each site's directory is read for what it is).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/sites/ServerConfig.hpp"
#include "vesk/sites/Site.hpp"

namespace {

namespace fs = std::filesystem;

/// A home with 1,000 linked sites, made once.
const std::string& benchHome() {
    static const std::string home = [] {
        const std::string dir =
            (fs::temp_directory_path() / ("vesk-cli-bench-" + std::to_string(::getpid()))).string();
        std::vector<vesk::Site> sites;
        std::vector<vesk::ServerConfig::Served> served;
        for (int i = 0; i < 1000; ++i) {
            const std::string name = "site" + std::to_string(i);
            const std::string path = dir + "/projects/" + name;
            fs::create_directories(path);
            sites.emplace_back(vesk::UUID::random(), name, path, name, "test", std::nullopt,
                               std::nullopt, false, true, false, false, std::nullopt,
                               std::vector<std::string>{}, vesk::Date::now(), std::nullopt);
            served.push_back({sites.back().fullDomain(),
                              path,
                              vesk::ServerConfig::detectProject(path).primaryType,
                              {}});
        }
        // In the order vesk link keeps them.
        std::sort(sites.begin(), sites.end(),
                  [](const vesk::Site& a, const vesk::Site& b) { return a.domain < b.domain; });
        std::sort(served.begin(), served.end(),
                  [](const auto& a, const auto& b) { return a.domain < b.domain; });
        const std::string config = dir + "/Library/Application Support/Vesk/config";
        fs::create_directories(config);
        std::ofstream(config + "/sites.json") << vesk::encodeJSON(sites);
        // What the environment's blocks serve, written as applying them does.
        vesk::ServerConfig::Layout layout;
        layout.veskBase = dir + "/environment";
        fs::create_directories(layout.etcDir());
        std::ofstream(layout.servedIndex()) << vesk::encodeJSON(served);
        std::atexit([] { fs::remove_all(benchHome()); });
        return dir;
    }();
    return home;
}

/// Runs a program to its end with its output discarded.
void runOnce(benchmark::State& state, const std::vector<std::string>& argv,
             const char* environment = "environment") {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string home = "HOME=" + benchHome();
    const std::string base = "VESK_BASE=" + benchHome() + "/" + environment;
    std::vector<char*> env{const_cast<char*>(home.c_str()), const_cast<char*>(base.c_str()),
                           nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
        state.SkipWithError("cannot run the program");
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the program failed");
}

void BM_BinTrue(benchmark::State& state) {
    for (auto _ : state) runOnce(state, {"/bin/true"});
}

void BM_VeskVersion(benchmark::State& state) {
    for (auto _ : state) runOnce(state, {VESK_PROGRAM, "--version"});
}

void BM_VeskSites1000(benchmark::State& state) {
    benchHome();
    for (auto _ : state) runOnce(state, {VESK_PROGRAM, "sites"});
}

void BM_VeskSites1000NoEnvironment(benchmark::State& state) {
    benchHome();
    for (auto _ : state) runOnce(state, {VESK_PROGRAM, "sites"}, "no-environment");
}

/// An access log of 1,000,000 requests of the last hour, in nginx's "vesk"
/// format, made once.
const std::string& accessLog() {
    static const std::string path = [] {
        const std::string file = benchHome() + "/access.log";
        std::ofstream out(file);
        const double now = vesk::Date::now().timeIntervalSince1970();
        const char* paths[] = {"/", "/blog", "/blog/post-1", "/api/users?page=2", "/login"};
        const int statuses[] = {200, 200, 200, 302, 404, 500};
        char line[512];
        for (int i = 0; i < 1'000'000; ++i) {
            const int n = std::snprintf(
                line, sizeof line,
                "127.0.0.1\t%.3f\tGET\t%s\tHTTP/1.1\t%d\t%d\t0.%03d\tMozilla/5.0 (X11; Linux "
                "x86_64)\tblog.test\n",
                now - 3000 + i * 0.002, paths[i % 5], statuses[i % 6], 100 + i % 9000, i % 997);
            out.write(line, n);
        }
        return file;
    }();
    return path;
}

void BM_WcLinesOfTheAccessLog(benchmark::State& state) {
    accessLog();
    for (auto _ : state) runOnce(state, {"/usr/bin/wc", "-l", accessLog()});
}

void BM_VeskStatsOfTheAccessLog(benchmark::State& state) {
    accessLog();
    for (auto _ : state) {
        runOnce(state, {VESK_PROGRAM, "stats", "--range", "1h", "--log", accessLog()});
    }
}

}  // namespace

BENCHMARK(BM_WcLinesOfTheAccessLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VeskStatsOfTheAccessLog)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BinTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_VeskVersion)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_VeskSites1000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_VeskSites1000NoEnvironment)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();

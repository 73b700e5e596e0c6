// Helper figures: round trip on an established connection, throughput over
// four connections, time from exec to "Listening", idle resident memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Helper.hpp"
#include "HelperClient.hpp"
#include "Log.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

/// One in-process helper over a temporary layout, shared by the benchmarks.
struct Server {
    std::string root;
    vesk::EnvironmentLayout layout;
    std::unique_ptr<vesk::helper::Helper> helper;
    std::thread thread;

    Server() {
        std::string tmpl = (fs::temp_directory_path() / "vesk-bench-XXXXXX").string();
        root = ::mkdtemp(tmpl.data());
        fs::create_directories(root + "/run");
        fs::create_directories(root + "/usr/local/vesk");
        std::ofstream(root + "/usr/local/vesk/.version") << "1.0.0";
        layout = vesk::EnvironmentLayout::rootedAt(root);
        vesk::helper::setLogSink([](const std::string&) {});
        helper = std::make_unique<vesk::helper::Helper>(layout, [](int) {});
        thread = std::thread([this] { helper->run(); });
        for (int i = 0; i < 500 && !fs::exists(layout.socketPath); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~Server() {
        helper->stop();
        thread.join();
        fs::remove_all(root);
    }
};

Server& server() {
    static Server s;
    return s;
}

void pinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

void unpin() {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned c = 0; c < std::thread::hardware_concurrency(); ++c) CPU_SET(c, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

// Arg 0: client and helper threads wherever the scheduler puts them.
// Arg 1: all on one CPU (threads inherit the affinity of their creator), so
// no wake-up crosses processors.
void BM_GetInstalledVersionRoundTrip(benchmark::State& state) {
    const bool sameCpu = state.range(0) == 1;
    if (sameCpu) pinToCpu(0);
    std::unique_ptr<Server> pinned;
    if (sameCpu) pinned = std::make_unique<Server>();
    vesk::HelperClient client((sameCpu ? *pinned : server()).layout.socketPath);
    const std::string call = R"({"method":"com.vesk.helper.GetInstalledVersion","parameters":{}})";
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        const auto t0 = Clock::now();
        auto reply = client.exchange(call);
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(reply);
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros.empty() ? 0 : micros[micros.size() / 2];
    state.counters["p99_us"] = micros.empty() ? 0 : micros[micros.size() * 99 / 100];
    if (sameCpu) unpin();
}
BENCHMARK(BM_GetInstalledVersionRoundTrip)->Arg(0)->Arg(1)->MinTime(2.0);

// The floor under any round trip here: one byte string echoed between two
// threads over a socket pair, with no protocol at all.
void BM_RawSocketPingPong(benchmark::State& state) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
    std::thread echo([fd = sv[1]] {
        char b[256];
        for (;;) {
            const ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0 || ::send(fd, b, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return;
        }
    });
    char msg[80] = {};
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        ::send(sv[0], msg, sizeof msg, MSG_NOSIGNAL);
        ::recv(sv[0], msg, sizeof msg, MSG_WAITALL);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros.empty() ? 0 : micros[micros.size() / 2];
}
BENCHMARK(BM_RawSocketPingPong)->MinTime(1.0);

void BM_CallsOverFourConnections(benchmark::State& state) {
    vesk::HelperClient client(server().layout.socketPath);
    const std::string call = R"({"method":"com.vesk.helper.GetInstalledVersion","parameters":{}})";
    for (auto _ : state) {
        auto reply = client.exchange(call);
        benchmark::DoNotOptimize(reply);
    }
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CallsOverFourConnections)->Threads(4)->MinTime(2.0)->UseRealTime();

// The real executable in a private mount namespace with its own /run, so the
// production socket path is used without touching the machine's.
/// The real helper executable in a private mount namespace with its own
/// /run, started and ended around each measurement.
struct RealHelper {
    pid_t pid = -1;
    int logFd = -1;
    double startMs = 0;

    bool start() {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
        const auto t0 = Clock::now();
        pid = ::fork();
        if (pid == 0) {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
                ::_exit(126);
            }
            ::dup2(pipeFds[1], STDERR_FILENO);
            ::execl(VESK_HELPER_PATH, VESK_HELPER_PATH, nullptr);
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        logFd = pipeFds[0];
        std::string seen;
        char buf[256];
        while (seen.find("Listening on com.vesk.helper") == std::string::npos) {
            const ssize_t n = ::read(logFd, buf, sizeof buf);
            if (n <= 0) return false;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        startMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        return true;
    }
    [[nodiscard]] std::string socketPath() const {
        return "/proc/" + std::to_string(pid) + "/root/run/vesk/com.vesk.helper";
    }
    /// A line of /proc/<pid>/status in KiB ("VmRSS", "VmHWM").
    [[nodiscard]] double statusKiB(const std::string& key) const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1));
        }
        return 0;
    }
    ~RealHelper() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (logFd >= 0) ::close(logFd);
    }
};

void BM_ExecToListeningAndIdleMemory(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root for a private mount namespace");
        return;
    }
    std::vector<double> startMs;
    double rssKiB = 0;
    double rssIdleConnectionsKiB = 0;
    double connected = 0;
    for (auto _ : state) {
        RealHelper helper;
        if (!helper.start()) {
            state.SkipWithError("the helper did not start");
            return;
        }
        startMs.push_back(helper.startMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rssKiB = helper.statusKiB("VmRSS");
        // A thousand connections held open: past the limit they are closed,
        // and the helper's memory stays bounded.
        std::vector<std::unique_ptr<vesk::HelperClient>> idle;
        for (int i = 0; i < 1000; ++i) {
            try {
                idle.push_back(std::make_unique<vesk::HelperClient>(helper.socketPath()));
            } catch (const std::exception&) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        rssIdleConnectionsKiB = helper.statusKiB("VmRSS");
        connected = static_cast<double>(idle.size());
    }
    std::sort(startMs.begin(), startMs.end());
    state.counters["median_start_ms"] = startMs.empty() ? 0 : startMs[startMs.size() / 2];
    state.counters["idle_rss_MiB"] = rssKiB / 1024.0;
    state.counters["rss_1000_conns_MiB"] = rssIdleConnectionsKiB / 1024.0;
    state.counters["connected"] = connected;
}
// Four messages of almost the largest size (11 MiB of content, 15 MiB of
// Base64) in flight at once: the helper's peak resident memory, and that
// it still answers afterwards. The path is refused, so nothing is written,
// but only after the whole message was read and decoded.
void BM_FourLargeMessagesPeakMemory(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root for a private mount namespace");
        return;
    }
    double peakKiB = 0;
    double afterKiB = 0;
    int answered = 0;
    for (auto _ : state) {
        RealHelper helper;
        if (!helper.start()) {
            state.SkipWithError("the helper did not start");
            return;
        }
        std::vector<std::thread> senders;
        std::atomic<int> replies{0};
        for (int i = 0; i < 4; ++i) {
            senders.emplace_back([&] {
                try {
                    vesk::HelperClient client(helper.socketPath());
                    const std::vector<std::uint8_t> content(std::size_t{11} << 20, 'v');
                    client.writeFile("/not/allowed", content, 0644,
                                     [&](bool, const std::optional<std::string>&) { ++replies; });
                } catch (const std::exception&) {
                }
            });
        }
        for (auto& t : senders) t.join();
        answered = replies.load();
        peakKiB = helper.statusKiB("VmHWM");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        afterKiB = helper.statusKiB("VmRSS");
    }
    state.counters["answered"] = answered;
    state.counters["peak_rss_MiB"] = peakKiB / 1024.0;
    state.counters["rss_after_MiB"] = afterKiB / 1024.0;
}
BENCHMARK(BM_FourLargeMessagesPeakMemory)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_ExecToListeningAndIdleMemory)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

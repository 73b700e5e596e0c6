// Debugging figures, each against the inherent cost or the yardstick in the
// same run: request statistics against std::sort of the same response times;
// folded stacks as bytes of output per second (lines, and streamed into one
// buffer); top functions over a million frames; profile files saved and
// loaded against nlohmann's dump and parse of the same file; peak memory of
// loading a million-frame profile against the size of the tree it makes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "vesk/debugging/FlameGraphNode.hpp"
#include "vesk/debugging/ProfileDiff.hpp"
#include "vesk/sites/DashboardStats.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<vesk::RequestLog> makeLogs(std::size_t n) {
    std::mt19937_64 rng(11);
    std::lognormal_distribution<double> latency(3.0, 1.0);
    std::vector<std::string> paths;
    for (int i = 0; i < 100; ++i)
        paths.push_back("/api/v1/resource" + std::to_string(i) + "/items");
    static const char* const kMethods[] = {"GET", "POST", "PUT", "DELETE"};
    std::vector<vesk::RequestLog> logs;
    logs.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t e = rng() % 100;
        logs.push_back({vesk::UUID::random(), "127.0.0.1", vesk::Date{static_cast<double>(i)},
                        kMethods[e % 4], paths[e], "HTTP/1.1",
                        static_cast<std::int64_t>(rng() % 10 == 0 ? 500 : 200),
                        static_cast<std::int64_t>(rng() % 100000), latency(rng), std::nullopt});
    }
    return logs;
}

const std::vector<vesk::RequestLog>& logs() {
    static const auto l = makeLogs(1'000'000);
    return l;
}

void BM_DashboardStatsCompute(benchmark::State& state) {
    const auto& records = logs();  // made before timing starts
    for (auto _ : state) {
        auto stats = vesk::DashboardStats::compute(records, vesk::TimeRange::last24h);
        benchmark::DoNotOptimize(stats.p99ResponseTime);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(logs().size()));
}
BENCHMARK(BM_DashboardStatsCompute)->Unit(benchmark::kMillisecond);

void BM_StdSortOfTheResponseTimes(benchmark::State& state) {
    std::vector<double> times;
    for (const auto& l : logs()) times.push_back(*l.responseTime);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<double> copy = times;
        state.ResumeTiming();
        std::sort(copy.begin(), copy.end());
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(times.size()));
}
BENCHMARK(BM_StdSortOfTheResponseTimes)->Unit(benchmark::kMillisecond);

// A call tree of `frames` frames whose branches reach depths of 10 to 40,
// names of 20 to 60 bytes out of `distinct` names, most frames with self
// time. Frames are made after their parents and assembled from the last back.
vesk::CallFrame makeTree(std::size_t frames, std::size_t distinct) {
    std::mt19937 rng(5);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < distinct; ++i) {
        std::string n = "App\\Service\\Handler" + std::to_string(i) + "::run";
        n.resize(20 + rng() % 41, 'x');
        names.push_back(std::move(n));
    }
    std::vector<vesk::CallFrame> flat(frames);
    std::vector<std::size_t> parent(frames, 0);
    std::vector<std::vector<std::size_t>> kids(frames);
    std::vector<std::size_t> path{0};
    std::size_t target = 10 + rng() % 31;
    for (std::size_t i = 0; i < frames; ++i) {
        vesk::CallFrame& f = flat[i];
        f.id = vesk::UUID::random();
        f.function = names[rng() % names.size()];
        f.file = "/srv/app/src/File" + std::to_string(rng() % 500) + ".php";
        f.line = static_cast<std::int64_t>(rng() % 900);
        f.selfTime = rng() % 8 == 0 ? 0 : 1 + static_cast<std::int64_t>(rng() % 5000);
        f.totalTime = f.selfTime * 3;
        f.callCount = 1 + static_cast<std::int64_t>(rng() % 20);
        if (i == 0) continue;
        if (path.size() >= target) {
            path.resize(1 + rng() % (path.size() - 1));
            target = 10 + rng() % 31;
        }
        parent[i] = path.back();
        kids[path.back()].push_back(i);
        path.push_back(i);
    }
    for (std::size_t i = frames; i-- > 0;) {
        std::vector<vesk::CallFrame> children;
        children.reserve(kids[i].size());
        for (const std::size_t k : kids[i]) children.push_back(std::move(flat[k]));
        flat[i].children = vesk::SharedChildren<vesk::CallFrame>(std::move(children));
    }
    return std::move(flat[0]);
}

const vesk::FlameGraphNode& tree200k() {
    static const auto node = vesk::FlameGraphNode::from(makeTree(200'000, 2'000));
    return node;
}

// The flame-graph picture of the 200,000-frame tree: as drawn by default
// (frames under 0.1 px left out), and with every frame drawn; output bytes
// per second, and bytes per frame drawn (linear in the frames drawn).
void flameGraphSVG(benchmark::State& state, const vesk::FlameGraphStyle& style) {
    const std::vector<vesk::FlameGraphNode> roots{tree200k()};
    std::size_t bytes = vesk::flameGraphSVG(roots, style).size();  // warm the allocator
    for (auto _ : state) {
        const std::string svg = vesk::flameGraphSVG(roots, style);
        bytes = svg.size();
        benchmark::DoNotOptimize(svg.data());
    }
    const std::string svg = vesk::flameGraphSVG(roots, style);
    std::size_t drawn = 0;
    for (auto at = svg.find("<g class=\"f\">"); at != std::string::npos;
         at = svg.find("<g class=\"f\">", at + 1)) {
        ++drawn;
    }
    state.counters["frames_drawn"] = static_cast<double>(drawn);
    state.counters["bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(drawn);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void BM_FlameGraphSVG(benchmark::State& state) {
    flameGraphSVG(state, {});
}
BENCHMARK(BM_FlameGraphSVG)->Unit(benchmark::kMillisecond);

void BM_FlameGraphSVGEveryFrame(benchmark::State& state) {
    vesk::FlameGraphStyle style;
    style.minimumWidth = 0;
    style.maxDepth = 1'000'000;
    flameGraphSVG(state, style);
}
BENCHMARK(BM_FlameGraphSVGEveryFrame)->Unit(benchmark::kMillisecond);

void BM_FoldedStacksLines(benchmark::State& state) {
    const auto& tree = tree200k();
    benchmark::DoNotOptimize(tree.foldedStacks("").size());  // warm the allocator
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto lines = tree.foldedStacks("");
        bytes = 0;
        for (const auto& l : lines) bytes += l.size() + 1;
        benchmark::DoNotOptimize(lines.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_FoldedStacksLines)->Unit(benchmark::kMillisecond);

void BM_FoldedStacksStreamed(benchmark::State& state) {
    const auto& tree = tree200k();
    std::string out;
    tree.appendFoldedStacks("", out);  // the caller's buffer, grown once
    for (auto _ : state) {
        out.clear();
        tree.appendFoldedStacks("", out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(out.size()));
}
BENCHMARK(BM_FoldedStacksStreamed)->Unit(benchmark::kMillisecond);

// A chain 100,000 frames deep, self time at the leaf and every 1,000th
// frame: its output grows with the square of the frames that emit lines.
void BM_FoldedStacksDeepChain(benchmark::State& state) {
    static const vesk::FlameGraphNode chain = [] {
        std::vector<vesk::FlameGraphNode> frames(100'000);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            frames[i].function = "frame" + std::to_string(i);
            frames[i].selfTime = (i + 1 == frames.size() || i % 1000 == 999) ? 1 : 0;
        }
        for (std::size_t i = frames.size() - 1; i > 0; --i) {
            frames[i - 1].children =
                vesk::SharedChildren<vesk::FlameGraphNode>({std::move(frames[i])});
        }
        return std::move(frames[0]);
    }();
    std::string out;
    for (auto _ : state) {
        out.clear();
        chain.appendFoldedStacks("", out);
        const auto lines = chain.foldedStacks("");
        benchmark::DoNotOptimize(lines.data());
    }
    state.counters["output_MB"] = static_cast<double>(out.size()) / 1e6;
}
BENCHMARK(BM_FoldedStacksDeepChain)->Unit(benchmark::kMillisecond);

void BM_TopFunctionsMillionFrames(benchmark::State& state) {
    static const std::vector<vesk::FlameGraphNode> roots{
        vesk::FlameGraphNode::from(makeTree(1'000'000, 10'000))};
    benchmark::DoNotOptimize(roots.data());  // made before timing starts
    for (auto _ : state) {
        auto top = vesk::topFunctions(roots, vesk::FunctionSortOrder::selfTime, 50);
        benchmark::DoNotOptimize(top.data());
    }
}
BENCHMARK(BM_TopFunctionsMillionFrames)->Unit(benchmark::kMillisecond);

struct SavedRun {
    std::string dir;
    vesk::ProfileRun run;
    std::string path;
    std::string text;
};

const SavedRun& saved() {
    static const SavedRun s = [] {
        SavedRun r;
        r.dir = (fs::temp_directory_path() / ("vesk-bench-profiles-" + std::to_string(::getpid())))
                    .string();
        r.run = vesk::ProfileRun{vesk::UUID::random(),
                                 {makeTree(100'000, 2'000)},
                                 1,
                                 2,
                                 vesk::Date{7.0e8},
                                 "/api/x",
                                 "bench"};
        r.path = vesk::ProfileStore(r.dir).save(r.run);
        std::ifstream in(r.path, std::ios::binary);
        r.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return r;
    }();
    return s;
}

void BM_ProfileStoreSave(benchmark::State& state) {
    const vesk::ProfileStore store(saved().dir);
    for (auto _ : state) benchmark::DoNotOptimize(store.save(saved().run));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(saved().text.size()));
}
BENCHMARK(BM_ProfileStoreSave)->Unit(benchmark::kMillisecond);

void BM_NlohmannDumpOfTheSameFile(benchmark::State& state) {
    const auto tree = nlohmann::json::parse(saved().text);
    for (auto _ : state) {
        const std::string text = tree.dump(2);
        std::ofstream(saved().path + ".nlohmann", std::ios::binary) << text;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(saved().text.size()));
}
BENCHMARK(BM_NlohmannDumpOfTheSameFile)->Unit(benchmark::kMillisecond);

// Argument 0: the profile is within the kept size (read with the tape);
// 1: past it (streamed).
void BM_ProfileStoreLoad(benchmark::State& state) {
    const vesk::ProfileStore store(saved().dir);
    if (state.range(0) != 0) vesk::ProfileStore::setKeptTextBytes(0);
    for (auto _ : state) {
        auto run = store.load(saved().path);
        benchmark::DoNotOptimize(run.frames.data());
    }
    vesk::ProfileStore::setKeptTextBytes(vesk::ProfileStore::kDefaultKeptTextBytes);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(saved().text.size()));
}
BENCHMARK(BM_ProfileStoreLoad)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The floor of a load: the file read into a buffer that is already there,
// and simdjson's DOM parse of it with a parser kept between loads.
void BM_ProfileLoadFloor(benchmark::State& state) {
    const std::size_t size = fs::file_size(saved().path);
    std::vector<char> ready(size + simdjson::SIMDJSON_PADDING, '\0');
    simdjson::dom::parser parser;
    for (auto _ : state) {
        const int fd = ::open(saved().path.c_str(), O_RDONLY | O_CLOEXEC);
        std::size_t done = 0;
        for (ssize_t n = 0; done < size; done += static_cast<std::size_t>(n)) {
            n = ::read(fd, ready.data() + done, size - done);
            if (n <= 0) break;
        }
        ::close(fd);
        simdjson::dom::element root;
        if (done != size ||
            parser.parse(ready.data(), size, false).get(root) != simdjson::SUCCESS) {
            state.SkipWithError("read or parse");
        }
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(saved().text.size()));
}
BENCHMARK(BM_ProfileLoadFloor)->Unit(benchmark::kMillisecond);

void BM_NlohmannParseOfTheSameFile(benchmark::State& state) {
    for (auto _ : state) {
        // The file read whole in one call, as the store reads it.
        std::string text(fs::file_size(saved().path), '\0');
        std::ifstream(saved().path, std::ios::binary)
            .read(text.data(), static_cast<std::streamsize>(text.size()));
        auto tree = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(tree);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(saved().text.size()));
}
BENCHMARK(BM_NlohmannParseOfTheSameFile)->Unit(benchmark::kMillisecond);

// The heap a tree holds: nodes, their texts and their children lists.
std::size_t treeBytes(const vesk::CallFrame& root) {
    std::size_t bytes = sizeof(vesk::CallFrame);
    vesk::forEachPreOrder(&root, 1, [&](const vesk::CallFrame& f, std::size_t) {
        const auto heap = [](const std::string& s) {
            return s.capacity() > 15 ? s.capacity() + 1 : 0;
        };
        bytes += heap(f.function) + heap(f.file);
        if (!f.children.empty()) {
            // the list's control block and storage
            bytes += 48 + f.children.size() * sizeof(vesk::CallFrame);
        }
    });
    return bytes;
}

long highWaterKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// In a fresh process, so the high-water mark is this load's alone.
void BM_LoadMillionFramesPeakMemory(benchmark::State& state) {
    const std::string dir =
        (fs::temp_directory_path() / ("vesk-bench-million-" + std::to_string(::getpid()))).string();
    const std::string path =
        vesk::ProfileStore(dir).save(vesk::ProfileRun{vesk::UUID::random(),
                                                      {makeTree(1'000'000, 10'000)},
                                                      1,
                                                      2,
                                                      vesk::Date{7.0e8},
                                                      "/",
                                                      "million"});
    double peakMiB = 0;
    double treeMiB = 0;
    double fileMiB = static_cast<double>(fs::file_size(path)) / 1048576.0;
    for (auto _ : state) {
        int fds[2];
        if (::pipe(fds) != 0) break;
        const pid_t child = ::fork();
        if (child == 0) {
            const long before = highWaterKiB();
            const auto run = vesk::ProfileStore(dir).load(path);
            const long after = highWaterKiB();
            const double values[2] = {static_cast<double>(after - before) / 1024.0,
                                      static_cast<double>(treeBytes(run.frames[0])) / 1048576.0};
            const auto n = ::write(fds[1], values, sizeof values);
            ::_exit(n == static_cast<ssize_t>(sizeof values) ? 0 : 1);
        }
        double values[2] = {0, 0};
        if (::read(fds[0], values, sizeof values) != static_cast<ssize_t>(sizeof values)) {
            state.SkipWithError("the measuring child gave no figures");
        }
        ::waitpid(child, nullptr, 0);
        ::close(fds[0]);
        ::close(fds[1]);
        peakMiB = values[0];
        treeMiB = values[1];
    }
    fs::remove_all(dir);
    state.counters["file_MiB"] = fileMiB;
    state.counters["peak_growth_MiB"] = peakMiB;
    state.counters["tree_MiB"] = treeMiB;
}
BENCHMARK(BM_LoadMillionFramesPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(
        fs::temp_directory_path() / ("vesk-bench-profiles-" + std::to_string(::getpid())), ec);
    return 0;
}

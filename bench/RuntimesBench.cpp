// Runtime figures: the Node.js distribution index decoded into records and
// reduced to the latest release per major, against nlohmann::json merely
// parsing the same bytes; and the cost of one append to a resource history
// whether it keeps ten samples or a million.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "vesk/services/NodeDistributionConfig.hpp"
#include "vesk/services/ResourceMetrics.hpp"

namespace {

// Shaped like the real index: about 800 releases, newest first, each with
// about 20 file names, an npm version, lts false or a code name.
const std::string& nodeIndex() {
    static const std::string doc = [] {
        static const char* const kFiles[] = {
            "aix-ppc64",   "headers",      "linux-arm64",   "linux-armv7l", "linux-ppc64le",
            "linux-s390x", "linux-x64",    "osx-arm64-tar", "osx-x64-pkg",  "osx-x64-tar",
            "src",         "win-arm64-7z", "win-arm64-zip", "win-x64-7z",   "win-x64-exe",
            "win-x64-msi", "win-x64-zip",  "win-x86-7z",    "win-x86-exe",  "win-x86-msi"};
        static const char* const kNames[] = {"Jod", "Iron", "Hydrogen", "Gallium", "Fermium"};
        std::mt19937 rng(7);
        std::string s = "[\n";
        int release = 0;
        for (int major = 25; major >= 0 && release < 800; --major) {
            for (int minor = 40; minor >= 0 && release < 800; --minor, ++release) {
                if (release > 0) s += ",\n";
                s += R"({"version":"v)" + std::to_string(major) + "." + std::to_string(minor) +
                     R"(.0","date":"2024-)" + std::to_string(1 + rng() % 12) + R"(-01","files":[)";
                for (int f = 0; f < 20; ++f) {
                    if (f > 0) s += ',';
                    s += '"';
                    s += kFiles[f];
                    s += '"';
                }
                s +=
                    R"(],"npm":"10.)" + std::to_string(rng() % 10) +
                    R"(.0","v8":"12.4.254.21","uv":"1.49.1","zlib":"1.3.0.1-motley","openssl":"3.0.15+quic","modules":"127","lts":)";
                s += major % 2 == 0 && major >= 4 ? std::string("\"") + kNames[major % 5] + "\""
                                                  : std::string("false");
                s += R"(,"security":)";
                s += rng() % 5 == 0 ? "true}" : "false}";
            }
        }
        s += "\n]\n";
        return s;
    }();
    return doc;
}

void BM_NodeIndex_DecodeAndLatestPerMajor(benchmark::State& state) {
    const std::string& doc = nodeIndex();
    for (auto _ : state) {
        const auto entries = vesk::decodeJSON<std::vector<vesk::NodeDistributionEntry>>(doc);
        auto latest = vesk::NodeDistributionConfig::latestPerMajor(entries);
        benchmark::DoNotOptimize(latest.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(doc.size()));
    state.counters["bytes"] = static_cast<double>(doc.size());
}
BENCHMARK(BM_NodeIndex_DecodeAndLatestPerMajor)->Unit(benchmark::kMicrosecond);

void BM_NodeIndex_NlohmannParseOnly(benchmark::State& state) {
    const std::string& doc = nodeIndex();
    for (auto _ : state) {
        auto tree = nlohmann::json::parse(doc);
        benchmark::DoNotOptimize(tree);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(doc.size()));
}
BENCHMARK(BM_NodeIndex_NlohmannParseOnly)->Unit(benchmark::kMicrosecond);

// Argument: maxCount. The history is full before timing starts, so every
// timed append also drops the oldest sample.
void BM_ResourceHistoryAppend(benchmark::State& state) {
    vesk::ResourceHistory history(state.range(0));
    for (std::int64_t i = 0; i < state.range(0); ++i) history.append({vesk::Date{}, 1, 2});
    double t = 0;
    for (auto _ : state) {
        history.append({vesk::Date{t}, 3, 4});
        t += 1;
    }
    benchmark::DoNotOptimize(history.latest());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResourceHistoryAppend)->Arg(10)->Arg(1'000'000);

}  // namespace

BENCHMARK_MAIN();

// The quick switcher over 10,000 items (sites with realistic domains and
// paths, services, PHP versions) for a three-character query, against a plain
// byte-wise subsequence test over the same titles and subtitles.
#include <benchmark/benchmark.h>

#include <random>

#include "vesk/app/QuickSwitcherTypes.hpp"

namespace {

std::vector<vesk::QuickSwitcherItem> makeItems(bool ascii) {
    std::mt19937 rng(9);
    static const char* const kWords[] = {"shop", "blog", "api",    "admin", "portal", "billing",
                                         "crm",  "docs", "status", "media", "auth",   "search"};
    std::vector<vesk::QuickSwitcherItem> items;
    for (int i = 0; i < 9'980; ++i) {
        vesk::Site s;
        s.id = vesk::UUID::random();
        s.domain = std::string(kWords[rng() % 12]) + "-" + kWords[rng() % 12] + std::to_string(i);
        if (!ascii && i % 2 == 0) s.domain += "-caf\xC3\xA9";
        s.tld = "test";
        s.path = "/home/dev/Projects/client" + std::to_string(rng() % 40) + "/" + s.domain;
        s.isSecured = rng() % 2 == 0;
        items.push_back({s});
    }
    for (const auto type : vesk::allCases<vesk::ServiceType>()) {
        items.push_back(
            {vesk::Service(vesk::UUID::random(), type, std::nullopt, "1",
                           vesk::ServiceStatus::running, std::nullopt, "/d", "/c", "/l")});
    }
    for (const char* v : {"8.4", "8.3", "8.2", "8.1", "8.0", "7.4"}) {
        items.push_back({vesk::QuickSwitcherItem::PHPVersionChoice{v, false}});
    }
    while (items.size() < 10'000)
        items.push_back({vesk::QuickSwitcherItem::PHPVersionChoice{"9.0", false}});
    return items;
}

void BM_QuickSwitcherMatches(benchmark::State& state) {
    const auto items = makeItems(state.range(0) == 0);
    std::size_t hits = 0;
    for (auto _ : state) {
        hits = 0;
        for (const auto& item : items) hits += item.matches("shp") ? 1 : 0;
        benchmark::DoNotOptimize(hits);
    }
    state.counters["hits"] = static_cast<double>(hits);
}
// Argument 0: ASCII texts only; 1: every other site name holds an "é".
BENCHMARK(BM_QuickSwitcherMatches)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The yardstick: the same titles and subtitles, already lower-case and
// built, tested byte by byte.
void BM_ByteSubsequenceBaseline(benchmark::State& state) {
    const auto items = makeItems(true);
    std::vector<std::pair<std::string, std::string>> texts;
    for (const auto& item : items) texts.emplace_back(item.title(), item.subtitle());
    const auto subsequence = [](std::string_view q, std::string_view t) {
        std::size_t i = 0;
        for (const char c : t) {
            if (i < q.size() && c == q[i]) ++i;
        }
        return i == q.size();
    };
    std::size_t hits = 0;
    for (auto _ : state) {
        hits = 0;
        for (const auto& [title, subtitle] : texts) {
            hits += subsequence("shp", title) || subsequence("shp", subtitle) ? 1 : 0;
        }
        benchmark::DoNotOptimize(hits);
    }
    state.counters["hits"] = static_cast<double>(hits);
}
BENCHMARK(BM_ByteSubsequenceBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

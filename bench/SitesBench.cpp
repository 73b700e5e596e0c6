// Site figures: laravel rendering for many sites, environment-file parsing,
// and coding a 10,000-site document.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "SampleSites.hpp"
#include "vesk/sites/NginxTemplate.hpp"
#include "vesk/sites/Site.hpp"
#include "vesk/sites/SiteInfo.hpp"

namespace {

void BM_RenderLaravel(benchmark::State& state) {
    const auto sites = makeSites(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::size_t bytes = 0;
        for (const auto& s : sites) {
            const std::string block = vesk::NginxTemplate::laravel().render(
                {{"domain", s.fullDomain()},
                 {"root", s.path},
                 {"php_socket", "/usr/local/vesk/run/php-fpm-8.3.sock"}});
            bytes += block.size();
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RenderLaravel)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ParseServices(benchmark::State& state) {
    const std::string lines =
        "APP_NAME=Laravel\nAPP_ENV=local\nDB_CONNECTION=mysql\nDB_HOST=127.0.0.1\n"
        "  CACHE_DRIVER=redis\nREDIS_HOST=127.0.0.1\nMAIL_MAILER=smtp\nQUEUE_CONNECTION=sync\n";
    std::string text;
    while (text.size() < static_cast<std::size_t>(state.range(0))) text += lines;
    for (auto _ : state) {
        auto services = vesk::SiteInfo::parseServices(text);
        benchmark::DoNotOptimize(services);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseServices)->Arg(256 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_EncodeSites(benchmark::State& state) {
    const auto sites = makeSites(10000);
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string doc = vesk::encodeJSON(sites);
        size = doc.size();
        benchmark::DoNotOptimize(doc.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_EncodeSites)->Unit(benchmark::kMillisecond);

void BM_DecodeSites(benchmark::State& state) {
    const std::string doc = vesk::encodeJSON(makeSites(10000));
    for (auto _ : state) {
        auto sites = vesk::decodeJSON<std::vector<vesk::Site>>(doc);
        benchmark::DoNotOptimize(sites.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(doc.size()));
}
BENCHMARK(BM_DecodeSites)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The JSON layer against nlohmann::json on the same bytes, in the same run:
// decoding records against nlohmann's parse alone, encoding records against
// nlohmann's dump of the equivalent tree; and against the machine's floor:
// simdjson's own DOM parse of the same padded bytes for decoding, copying the
// same number of bytes into a ready buffer plus std::to_chars of the
// document's numbers for encoding.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <charconv>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "SampleSites.hpp"
#include "vesk/foundation/Json.hpp"

namespace {

// A record with the shape of a profiler's call frame.
struct BenchFrame {
    std::string name;
    std::string file;
    std::int32_t line = 0;
    double selfTime = 0;
    double totalTime = 0;
    std::int64_t callCount = 0;
    std::vector<BenchFrame> children;
};

}  // namespace

VESK_RECORD(BenchFrame, vesk::field("name", &BenchFrame::name),
            vesk::field("file", &BenchFrame::file), vesk::field("line", &BenchFrame::line),
            vesk::field("selfTime", &BenchFrame::selfTime),
            vesk::field("totalTime", &BenchFrame::totalTime),
            vesk::field("callCount", &BenchFrame::callCount),
            vesk::field("children", &BenchFrame::children));
VESK_TREE_CHILDREN(BenchFrame, &BenchFrame::children);

namespace {

// A tree of `frames` frames whose branches reach depths of 10 to 40, with
// names of 20 to 60 bytes: each frame is made after its parent, then the
// tree is assembled from the last frame back.
BenchFrame makeProfile(std::size_t frames) {
    std::mt19937 rng(42);
    std::vector<BenchFrame> flat(frames);
    std::vector<std::size_t> parent(frames, 0);
    std::vector<std::size_t> path{0};
    flat[0] = BenchFrame{"{main}", "/app/public/index.php", 1, 0.1, 0, 1, {}};
    std::size_t target = 10 + rng() % 31;
    for (std::size_t i = 1; i < frames; ++i) {
        if (path.size() >= target) {
            path.resize(1 + rng() % (path.size() - 1));
            target = 10 + rng() % 31;
        }
        BenchFrame& c = flat[i];
        c.name = "App\\Http\\Controllers\\Controller" + std::to_string(rng() % 5000) + "::handle";
        c.name.resize(20 + rng() % 41, 'x');
        c.file = "/app/src/File" + std::to_string(rng() % 800) + ".php";
        c.line = static_cast<std::int32_t>(rng() % 2000);
        c.selfTime = static_cast<double>(rng() % 1000) / 1e4;
        c.totalTime = c.selfTime * 3;
        c.callCount = 1 + rng() % 50;
        parent[i] = path.back();
        path.push_back(i);
    }
    for (std::size_t i = frames - 1; i > 0; --i) {
        flat[parent[i]].children.push_back(std::move(flat[i]));
    }
    return std::move(flat[0]);
}

const std::string& sitesDocument() {
    static const std::string doc = vesk::encodeJSON(makeSites(10000));
    return doc;
}

const BenchFrame& profile() {
    static const BenchFrame p = makeProfile(100000);
    return p;
}

vesk::CodingOptions prettyOptions() {
    vesk::CodingOptions o;
    o.indent = 2;
    return o;
}

const std::string& profileDocument() {
    static const std::string doc = vesk::encodeJSON(profile(), prettyOptions());
    return doc;
}

void setBytes(benchmark::State& state, std::size_t size) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void BM_Sites_DecodeRecords(benchmark::State& state) {
    const std::string& doc = sitesDocument();
    for (auto _ : state) {
        auto sites = vesk::decodeJSON<std::vector<vesk::Site>>(doc);
        benchmark::DoNotOptimize(sites.data());
    }
    setBytes(state, sitesDocument().size());
}
BENCHMARK(BM_Sites_DecodeRecords)->Unit(benchmark::kMillisecond);

// simdjson's DOM parse of the same bytes, with a parser kept between
// documents (as the layer keeps its own).
void domParseFloor(benchmark::State& state, const std::string& doc) {
    const simdjson::padded_string padded(doc);
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element root;
        if (parser.parse(padded).get(root) != simdjson::SUCCESS) state.SkipWithError("parse");
        benchmark::DoNotOptimize(root);
    }
    setBytes(state, doc.size());
}

// The numbers of a document, as the encoder would format them.
struct Numbers {
    std::vector<double> reals;
    std::vector<std::int64_t> integers;
};

void collectNumbers(const simdjson::dom::element& e, Numbers& out) {
    switch (e.type()) {
        case simdjson::dom::element_type::ARRAY: {
            const simdjson::dom::array array = e.get_array().value_unsafe();
            for (const auto child : array) collectNumbers(child, out);
            break;
        }
        case simdjson::dom::element_type::OBJECT: {
            const simdjson::dom::object object = e.get_object().value_unsafe();
            for (const auto field : object) collectNumbers(field.value, out);
            break;
        }
        case simdjson::dom::element_type::DOUBLE:
            out.reals.push_back(e.get_double().value_unsafe());
            break;
        case simdjson::dom::element_type::INT64:
            out.integers.push_back(e.get_int64().value_unsafe());
            break;
        default:
            break;
    }
}

// Copying the document's bytes into a buffer that is already there, and
// formatting its numbers: what any encoder of the same text must do.
void encodeFloor(benchmark::State& state, const std::string& doc) {
    Numbers numbers;
    simdjson::dom::parser parser;
    collectNumbers(parser.parse(simdjson::padded_string(doc)).value_unsafe(), numbers);
    std::string ready(doc.size(), '\0');
    char digits[32];
    for (auto _ : state) {
        std::memcpy(ready.data(), doc.data(), doc.size());
        std::size_t formatted = 0;
        for (const double d : numbers.reals) {
            formatted +=
                static_cast<std::size_t>(std::to_chars(digits, digits + 32, d).ptr - digits);
        }
        for (const std::int64_t i : numbers.integers) {
            formatted +=
                static_cast<std::size_t>(std::to_chars(digits, digits + 32, i).ptr - digits);
        }
        benchmark::DoNotOptimize(ready.data());
        benchmark::DoNotOptimize(formatted);
    }
    setBytes(state, doc.size());
}

void BM_Sites_SimdjsonDomParse(benchmark::State& state) {
    domParseFloor(state, sitesDocument());
}
BENCHMARK(BM_Sites_SimdjsonDomParse)->Unit(benchmark::kMillisecond);

void BM_Sites_EncodeFloor(benchmark::State& state) {
    encodeFloor(state, sitesDocument());
}
BENCHMARK(BM_Sites_EncodeFloor)->Unit(benchmark::kMillisecond);

// What the decoded records cost by themselves: the same vector of sites
// copied (their memory taken, filled and given back), no text read. A
// decoder into these records pays this on top of any parse.
void BM_Sites_CopyRecords(benchmark::State& state) {
    const auto sites = vesk::decodeJSON<std::vector<vesk::Site>>(sitesDocument());
    for (auto _ : state) {
        auto copy = sites;
        benchmark::DoNotOptimize(copy.data());
    }
    setBytes(state, sitesDocument().size());
}
BENCHMARK(BM_Sites_CopyRecords)->Unit(benchmark::kMillisecond);

void BM_Sites_NlohmannParseOnly(benchmark::State& state) {
    const std::string& doc = sitesDocument();
    for (auto _ : state) {
        auto tree = nlohmann::json::parse(doc);
        benchmark::DoNotOptimize(tree);
    }
    setBytes(state, doc.size());
}
BENCHMARK(BM_Sites_NlohmannParseOnly)->Unit(benchmark::kMillisecond);

void BM_Sites_EncodeRecords(benchmark::State& state) {
    const auto sites = makeSites(10000);
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string doc = vesk::encodeJSON(sites);
        size = doc.size();
        benchmark::DoNotOptimize(doc.data());
    }
    setBytes(state, size);
}
BENCHMARK(BM_Sites_EncodeRecords)->Unit(benchmark::kMillisecond);

void BM_Sites_NlohmannDump(benchmark::State& state) {
    const auto tree = nlohmann::json::parse(sitesDocument());
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string doc = tree.dump();
        size = doc.size();
        benchmark::DoNotOptimize(doc.data());
    }
    setBytes(state, size);
}
BENCHMARK(BM_Sites_NlohmannDump)->Unit(benchmark::kMillisecond);

void BM_Profile_DecodeRecords(benchmark::State& state) {
    const std::string& doc = profileDocument();
    for (auto _ : state) {
        auto run = vesk::decodeJSON<BenchFrame>(doc);
        benchmark::DoNotOptimize(run.children.data());
    }
    setBytes(state, doc.size());
}
BENCHMARK(BM_Profile_DecodeRecords)->Unit(benchmark::kMillisecond);

void BM_Profile_SimdjsonDomParse(benchmark::State& state) {
    domParseFloor(state, profileDocument());
}
BENCHMARK(BM_Profile_SimdjsonDomParse)->Unit(benchmark::kMillisecond);

// Argument 0: the compact text; 1: the pretty-printed one (as the encoders below).
void BM_Profile_EncodeFloor(benchmark::State& state) {
    static const std::string compact = vesk::encodeJSON(profile());
    encodeFloor(state, state.range(0) ? profileDocument() : compact);
}
BENCHMARK(BM_Profile_EncodeFloor)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Profile_NlohmannParseOnly(benchmark::State& state) {
    const std::string& doc = profileDocument();
    for (auto _ : state) {
        auto tree = nlohmann::json::parse(doc);
        benchmark::DoNotOptimize(tree);
    }
    setBytes(state, doc.size());
}
BENCHMARK(BM_Profile_NlohmannParseOnly)->Unit(benchmark::kMillisecond);

// Argument 0: compact; 1: pretty-printed.
void BM_Profile_EncodeRecords(benchmark::State& state) {
    const vesk::CodingOptions options = state.range(0) ? prettyOptions() : vesk::CodingOptions{};
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string doc = vesk::encodeJSON(profile(), options);
        size = doc.size();
        benchmark::DoNotOptimize(doc.data());
    }
    setBytes(state, size);
}
BENCHMARK(BM_Profile_EncodeRecords)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Profile_NlohmannDump(benchmark::State& state) {
    const auto tree = nlohmann::json::parse(profileDocument());
    const int indent = state.range(0) ? 2 : -1;
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string doc = tree.dump(indent);
        size = doc.size();
        benchmark::DoNotOptimize(doc.data());
    }
    setBytes(state, size);
}
BENCHMARK(BM_Profile_NlohmannDump)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

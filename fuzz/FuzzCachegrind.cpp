// Xdebug's profile reader fed arbitrary bytes: it reads a run or refuses
// with a FormatError, within the bounds it was given, and every frame of a
// run it reads stands for one call at least.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "vesk/debugging/Cachegrind.hpp"

namespace {

void check(const vesk::CallFrame& root) {
    std::vector<const vesk::CallFrame*> pending{&root};
    while (!pending.empty()) {
        const vesk::CallFrame* f = pending.back();
        pending.pop_back();
        if (f->callCount < 1) std::abort();
        for (const auto& c : f->children) pending.push_back(&c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    vesk::cachegrind::Limits limits;
    limits.calls = 2000;
    limits.lineLength = 4096;
    try {
        const vesk::ProfileRun run = vesk::cachegrind::read(in, "fuzz", limits);
        for (const auto& f : run.frames) check(f);
    } catch (const vesk::cachegrind::FormatError&) {
    }
    return 0;
}

// The helper's message handler: one message in, and out either a close, no
// reply (a oneway call), or exactly one JSON object; never a throw.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "StubService.hpp"
#include "Varlink.hpp"
#include "vesk/foundation/Json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vesk::test::StubService service;
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    std::optional<std::string> reply;
    try {
        reply = vesk::helper::varlink::handle(message, service);
    } catch (...) {
        std::abort();
    }
    if (!reply || reply->empty()) return 0;
    try {
        const auto doc = vesk::JsonDocument::parse(*reply);
        if (!doc.root().isObject()) std::abort();
        if (!doc.root().find("parameters")) std::abort();
    } catch (...) {
        std::abort();
    }
    return 0;
}

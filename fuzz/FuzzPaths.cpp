// Path standardisation and the allow-list: an allowed path, standardised,
// lies in an allowed place component by component; nothing with a NUL is
// allowed; standardising a standard path changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "HelperTools.hpp"

namespace {

bool within(const std::string& path, const std::string& place) {
    return path == place ||
           (path.size() > place.size() && path.compare(0, place.size(), place) == 0 &&
            path[place.size()] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto layout = vesk::EnvironmentLayout::production();
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const auto p = vesk::helper::standardPath(layout, raw);
    if (!p.allowed) return 0;
    if (raw.find('\0') != std::string::npos) std::abort();
    const std::string& t = p.text;
    const std::string prefix = layout.daemonPrefix();
    const bool daemon = t.size() > prefix.size() && t.compare(0, prefix.size(), prefix) == 0 &&
                        t.find('/', prefix.size()) == std::string::npos;
    if (!within(t, layout.veskBase) && !within(t, layout.resolverDir) && t != layout.cliLink &&
        !daemon) {
        std::abort();
    }
    for (const char* bad : {"/../", "/./", "//"}) {
        if (t.find(bad) != std::string::npos) std::abort();
    }
    if (vesk::helper::standardizePath(t, "/root") != t) std::abort();
    return 0;
}

// launchctl's property-list translation on arbitrary bytes (XML or binary):
// it either refuses with one line, or gives a unit whose text is well formed:
// every line a section, a comment or a key=value, no control characters but
// the line ends, and the label it was asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "LaunchDaemonUnit.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto r = vesk::launchctl::readLaunchDaemon(bytes, "job");
    if (!r.daemon) {
        if (r.error.empty() || r.error.find('\n') != std::string::npos) std::abort();
        return 0;
    }
    if (r.daemon->label != "job" || r.daemon->argv.empty()) std::abort();
    const std::string text = vesk::launchctl::unitText(*r.daemon);
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) std::abort();  // the text ends with a line end
        const std::string_view line(text.data() + start, end - start);
        for (const char c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) std::abort();
        }
        if (!line.empty() && line.front() != '#' && line.front() != '[' &&
            line.find('=') == std::string_view::npos) {
            std::abort();
        }
        start = end + 1;
    }
    return 0;
}

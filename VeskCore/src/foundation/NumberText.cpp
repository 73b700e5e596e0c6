#include "vesk/foundation/NumberText.hpp"

#include <charconv>
#include <system_error>

namespace vesk::NumberText {

void appendFixed(std::string& out, double value, int decimals) {
    char text[48];
    auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc{}) {
        // Shortest round-trip text fits 48 characters for every double.
        r = std::to_chars(text, text + sizeof text, value);
    }
    if (r.ec == std::errc{}) out.append(text, r.ptr);
}

std::string fixed(double value, int decimals) {
    std::string out;
    appendFixed(out, value, decimals);
    return out;
}

}  // namespace vesk::NumberText

#include "vesk/ProfileData.hpp"

namespace vesk {

std::string CallFrame::module() const {
    if (file.empty()) return "unknown";
    std::string_view name(file);
    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    if (const auto slash = name.rfind('/'); slash != std::string_view::npos) {
        name.remove_prefix(slash + 1);
    }
    // The extension is what follows the last dot, unless the dot starts the name.
    if (const auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) {
        name = name.substr(0, dot);
    }
    return std::string(name);
}

}  // namespace vesk

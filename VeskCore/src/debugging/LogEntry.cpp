#include "vesk/debugging/LogEntry.hpp"

#include <array>

namespace vesk {

std::string_view color(LogEntry::LogLevel level) {
    static constexpr std::array<std::string_view, 8> kColors{"gray", "blue", "cyan", "yellow",
                                                             "red",  "red",  "red",  "red"};
    return kColors[caseIndex(level)];
}

}  // namespace vesk

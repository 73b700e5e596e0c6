#include "vesk/debugging/ErrorEntry.hpp"

#include <algorithm>

#include "vesk/foundation/Unicode.hpp"

namespace vesk {

CodeSnippet CodeSnippet::from(std::string_view code, std::int64_t errorLine, std::int64_t context) {
    CodeSnippet snippet;
    if (context < 0) return snippet;
    const auto lines = Unicode::lines(code, Unicode::LineBreaks::eachCharacter);
    const auto count = static_cast<std::int64_t>(lines.size());
    // The window's bounds as the arithmetic gives them; a bound past the
    // integer range lies beyond the text (or before its first line) anyway.
    std::int64_t low = 0;
    std::int64_t high = 0;
    if (__builtin_sub_overflow(errorLine, context, &low)) low = 1;
    if (__builtin_add_overflow(errorLine, context, &high)) high = count;
    const std::int64_t start = std::max<std::int64_t>(low, 1);
    const std::int64_t end = std::min<std::int64_t>(high, count);
    for (std::int64_t n = start; n <= end; ++n) {
        snippet.lines.push_back({n, std::string(lines[static_cast<std::size_t>(n - 1)])});
    }
    return snippet;
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return "/";
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ErrorEntry::fullDescription() const {
    std::string time = timestamp.iso8601();  // 2025-01-31T12:00:00Z
    if (const auto t = time.find('T'); t != std::string::npos) time[t] = ' ';
    if (!time.empty() && time.back() == 'Z') time.replace(time.size() - 1, 1, " +0000");
    std::string s = type + ": " + message;
    s += "\nFile: " + file + ":" + std::to_string(line);
    s += "\nTime: " + time;
    s += "\n";
    if (trace) s += *trace;
    return s;
}

}  // namespace vesk

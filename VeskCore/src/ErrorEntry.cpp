#include "vesk/ErrorEntry.hpp"

#include <algorithm>

#include "vesk/Unicode.hpp"

namespace vesk {

CodeSnippet CodeSnippet::from(std::string_view code, std::int64_t errorLine, std::int64_t context) {
    CodeSnippet snippet;
    if (context < 0) return snippet;
    const auto lines = Unicode::lines(code, Unicode::LineBreaks::eachCharacter);
    const auto count = static_cast<std::int64_t>(lines.size());
    // Clamp before adding, so no window bound overflows whatever is passed.
    constexpr std::int64_t kFar = std::int64_t{1} << 61;
    const std::int64_t line = std::clamp(errorLine, -kFar, kFar);
    const std::int64_t around = std::min(context, kFar);
    const std::int64_t start = std::max<std::int64_t>(line - around, 1);
    const std::int64_t end = std::min<std::int64_t>(line + around, count);
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

#include "vesk/sites/ServingSettings.hpp"

#include <algorithm>

namespace vesk {

ServingSettings ServingSettings::defaultValue() {
    return {};
}

PHPDirectives ServingSettings::poolDirectives(const std::string& version) const {
    // Development, not production: every error shown and logged, requests
    // as large and as long as the developer's work needs.
    PHPDirectives d{
        {"display_errors", "On"},
        {"display_startup_errors", "On"},
        {"error_reporting", "E_ALL"},
        {"log_errors", "On"},
        {"html_errors", "On"},
        {"memory_limit", "1G"},
        {"max_execution_time", "0"},
        {"max_input_time", "-1"},
        {"max_file_uploads", "100"},
        {"post_max_size", bodyLimit},
        {"upload_max_filesize", bodyLimit},
    };
    for (const auto& [name, value] : php) d[name] = value;
    if (const auto it = phpVersions.find(version); it != phpVersions.end()) {
        for (const auto& [name, value] : it->second) d[name] = value;
    }
    return d;
}

std::optional<std::string> ServingSettings::nginxBodyLimit() const {
    if (bodyLimit.empty() || bodyLimit.size() > 12) return std::nullopt;
    std::string digits = bodyLimit;
    std::string unit;
    const char last = digits.back();
    if (last == 'K' || last == 'k' || last == 'M' || last == 'm' || last == 'G' || last == 'g') {
        unit = std::string(1, static_cast<char>(last | 0x20));
        digits.pop_back();
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return digits + unit;
}

namespace ServingRules {

bool isDirective(std::string_view name, std::string_view value) {
    const bool nameOK =
        !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '_';
        });
    constexpr std::string_view kUnsafe = "\"'\\$;{}#";
    const bool valueOK =
        value.size() <= 1024 && std::all_of(value.begin(), value.end(), [&](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u >= 0x20 && u < 0x7f && kUnsafe.find(c) == std::string_view::npos;
        });
    return nameOK && valueOK;
}

}  // namespace ServingRules

}  // namespace vesk

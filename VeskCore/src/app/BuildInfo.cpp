#include "vesk/app/BuildInfo.hpp"

#include <charconv>
#include <limits>

namespace vesk {

std::vector<std::int64_t> versionNumbers(std::string_view version) {
    std::vector<std::int64_t> numbers;
    while (!version.empty()) {
        const auto dot = version.find('.');
        std::string_view piece = version.substr(0, dot);
        version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
        if (piece.empty()) continue;
        // An optional sign, then digits only: from_chars takes "-" but not "+".
        if (piece.front() == '+') {
            piece.remove_prefix(1);
            if (piece.empty() || piece.front() < '0' || piece.front() > '9') continue;
        }
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (!piece.empty() && error == std::errc() && end == piece.data() + piece.size()) {
            numbers.push_back(value);
        }
    }
    return numbers;
}

std::string BuildInfo::fullVersion() const {
    return version + " (" + std::to_string(buildNumber) + ")";
}

VersionComponents BuildInfo::versionComponents() const {
    const auto n = versionNumbers(version);
    return {!n.empty() ? n[0] : 0, n.size() > 1 ? n[1] : 0, n.size() > 2 ? n[2] : 0};
}

namespace {

// Counters stop at the largest value rather than wrapping.
std::int64_t incremented(std::int64_t value) {
    return value == std::numeric_limits<std::int64_t>::max() ? value : value + 1;
}

}  // namespace

BuildInfo BuildInfo::bumped(VersionComponent component) const {
    const auto [major, minor, patch] = versionComponents();
    BuildInfo next = *this;
    switch (component) {
        case VersionComponent::major:
            next.version = std::to_string(incremented(major)) + ".0.0";
            break;
        case VersionComponent::minor:
            next.version = std::to_string(major) + "." + std::to_string(incremented(minor)) + ".0";
            break;
        case VersionComponent::patch:
            next.version = std::to_string(major) + "." + std::to_string(minor) + "." +
                           std::to_string(incremented(patch));
            break;
    }
    next.buildNumber = incremented(buildNumber);
    return next;
}

}  // namespace vesk

#include "vesk/sites/DockerProxy.hpp"

#include <charconv>

namespace vesk {

namespace {

// Optional sign, digits only, within the signed 64-bit range.
std::optional<long long> wholeNumber(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i >= text.size()) return std::nullopt;
    for (std::size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return std::nullopt;
    }
    // Parse with the sign attached so that the minimum value fits.
    const std::string digits = (negative ? "-" : "") + text.substr(i);
    long long v = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return v;
}

}  // namespace

std::string DockerContainer::resolvedDomain() const {
    const auto it = labels.find("vesk.domain");
    if (it == labels.end()) return name;
    std::string domain = it->second;
    static constexpr std::string_view suffix = ".test";
    if (domain.size() >= suffix.size() &&
        domain.compare(domain.size() - suffix.size(), suffix.size(), suffix) == 0) {
        domain.erase(domain.size() - suffix.size());
    }
    return domain;
}

std::optional<long long> DockerContainer::resolvedPort() const {
    if (const auto it = labels.find("vesk.port"); it != labels.end()) {
        if (auto port = wholeNumber(it->second)) return port;
    }
    if (!ports.empty()) return ports.front();
    return std::nullopt;
}

}  // namespace vesk

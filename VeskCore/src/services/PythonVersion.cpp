#include "vesk/services/PythonVersion.hpp"

#include <charconv>

#include "vesk/services/GoVersion.hpp"

namespace vesk {

std::string PythonVersion::shortVersion() const {
    return shortVersionOf(version);
}

std::optional<std::int64_t> PythonVersion::majorVersion() const {
    std::string_view part(version);
    part = part.substr(0, part.find('.'));
    if (!part.empty() && part.front() == '+') part.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || error != std::errc() || end != part.data() + part.size()) {
        return std::nullopt;
    }
    return value;
}

namespace PythonDistributionConfig {

const URL& baseURL() {
    static const URL url =
        *URL::parse("https://github.com/astral-sh/python-build-standalone/releases/download");
    return url;
}

const std::vector<Release>& versions() {
    static const std::vector<Release> list{{"3.13.1", "20250115"},
                                           {"3.12.8", "20250115"},
                                           {"3.11.11", "20250115"},
                                           {"3.10.16", "20250115"},
                                           {"3.9.21", "20250115"}};
    return list;
}

const std::vector<std::string>& availableVersions() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> out;
        for (const auto& r : versions()) out.emplace_back(r.version);
        return out;
    }();
    return list;
}

std::optional<URL> downloadURL(std::string_view version) {
    for (const auto& r : versions()) {
        if (r.version != version) continue;
        std::string url = baseURL().absoluteString();
        url += '/';
        url += r.tag;
        url += "/cpython-";
        url += version;
        url += '+';
        url += r.tag;
        url += "-aarch64-apple-darwin-install_only.tar.gz";
        return URL::parse(url);
    }
    return std::nullopt;
}

}  // namespace PythonDistributionConfig

}  // namespace vesk

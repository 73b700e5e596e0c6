#include "vesk/app/GitHubRelease.hpp"

#include <algorithm>

#include "vesk/app/BuildInfo.hpp"

namespace vesk {

std::string GitHubRelease::version() const {
    return !tagName.empty() && tagName.front() == 'v' ? tagName.substr(1) : tagName;
}

bool GitHubRelease::isNewer(std::string_view remote, std::string_view local) {
    const auto r = versionNumbers(remote);
    const auto l = versionNumbers(local);
    for (std::size_t i = 0; i < std::max(r.size(), l.size()); ++i) {
        const std::int64_t a = i < r.size() ? r[i] : 0;
        const std::int64_t b = i < l.size() ? l[i] : 0;
        if (a != b) return a > b;
    }
    return false;
}

}  // namespace vesk

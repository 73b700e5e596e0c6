#include "vesk/sites/SiteFilterCategory.hpp"

#include <algorithm>
#include <array>

namespace vesk {

namespace {

using P = ProjectType;

struct Row {
    std::string_view displayName;
    std::string_view iconName;
    std::vector<ProjectType> types;
};

const std::array<Row, 6>& rows() {
    static constexpr auto every = allCases<ProjectType>();
    static const std::array<Row, 6> r{{
        {"All", "square.grid.2x2", std::vector<ProjectType>(every.begin(), every.end())},
        {"Web", "globe", {P::laravel, P::php, P::nodejs, P::staticSite, P::ruby}},
        {"API", "server.rack", {P::python, P::java}},
        {"CLI", "terminal", {P::golang, P::rust, P::cli}},
        {"Mobile", "iphone", {P::reactNative, P::flutter, P::swift, P::kotlin}},
        {"Other", "questionmark.folder", {P::unknown}},
    }};
    return r;
}

const Row& row(SiteFilterCategory c) {
    return rows().at(caseIndex(c));
}

}  // namespace

std::string_view displayName(SiteFilterCategory c) {
    return row(c).displayName;
}
std::string_view iconName(SiteFilterCategory c) {
    return row(c).iconName;
}
const std::vector<ProjectType>& includedTypes(SiteFilterCategory c) {
    return row(c).types;
}

bool includes(SiteFilterCategory c, ProjectType type) {
    if (c == SiteFilterCategory::all) return true;
    const auto& types = row(c).types;
    return std::find(types.begin(), types.end(), type) != types.end();
}

SiteFilterCategory siteFilterCategoryFor(ProjectType type) {
    for (SiteFilterCategory c : allCases<SiteFilterCategory>()) {
        if (c != SiteFilterCategory::all && includes(c, type)) return c;
    }
    return SiteFilterCategory::other;
}

}  // namespace vesk

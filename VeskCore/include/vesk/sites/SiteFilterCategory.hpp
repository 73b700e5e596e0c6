// The tabs that narrow the site list.
#pragma once

#include <string_view>
#include <vector>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/sites/ProjectType.hpp"

namespace vesk {

enum class SiteFilterCategory { all, web, api, cli, mobile, other };

}  // namespace vesk

VESK_RAW_ENUM(vesk::SiteFilterCategory, {vesk::SiteFilterCategory::all, "all"},
              {vesk::SiteFilterCategory::web, "web"}, {vesk::SiteFilterCategory::api, "api"},
              {vesk::SiteFilterCategory::cli, "cli"}, {vesk::SiteFilterCategory::mobile, "mobile"},
              {vesk::SiteFilterCategory::other, "other"});
// A tab of the window, never stored or exchanged.
VESK_NOT_CODED(vesk::SiteFilterCategory);

namespace vesk {

std::string_view displayName(SiteFilterCategory category);
std::string_view iconName(SiteFilterCategory category);
/// The project types of the tab (every type for `all`).
const std::vector<ProjectType>& includedTypes(SiteFilterCategory category);
/// True for every type in `all`, otherwise whether the tab's types hold it.
bool includes(SiteFilterCategory category, ProjectType type);
/// The first tab after `all` whose types hold `type`; `other` when none does.
SiteFilterCategory siteFilterCategoryFor(ProjectType type);

}  // namespace vesk

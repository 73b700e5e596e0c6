// The product version.
#pragma once

#include <string_view>

namespace vesk::VeskVersion {

inline constexpr std::string_view current = "1.0.0";

}  // namespace vesk::VeskVersion

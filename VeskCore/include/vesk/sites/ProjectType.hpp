// Kinds of project, with their presentation data and serving properties.
#pragma once

#include <string_view>

#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

enum class ProjectType {
    laravel,
    php,
    nodejs,
    reactNative,
    flutter,
    python,
    golang,
    ruby,
    swift,
    java,
    kotlin,
    rust,
    cli,
    staticSite,
    unknown,
};

}  // namespace vesk

VESK_RAW_ENUM(vesk::ProjectType, {vesk::ProjectType::laravel, "laravel"},
              {vesk::ProjectType::php, "php"}, {vesk::ProjectType::nodejs, "nodejs"},
              {vesk::ProjectType::reactNative, "reactNative"},
              {vesk::ProjectType::flutter, "flutter"}, {vesk::ProjectType::python, "python"},
              {vesk::ProjectType::golang, "golang"}, {vesk::ProjectType::ruby, "ruby"},
              {vesk::ProjectType::swift, "swift"}, {vesk::ProjectType::java, "java"},
              {vesk::ProjectType::kotlin, "kotlin"}, {vesk::ProjectType::rust, "rust"},
              {vesk::ProjectType::cli, "cli"}, {vesk::ProjectType::staticSite, "staticSite"},
              {vesk::ProjectType::unknown, "unknown"});

namespace vesk {

std::string_view displayName(ProjectType type);
std::string_view shortName(ProjectType type);
/// The emoji, e.g. U+1F53A for laravel (two code points where a variation selector follows).
std::string_view icon(ProjectType type);
/// A system symbol name.
std::string_view iconName(ProjectType type);
/// "#RRGGBB", upper-case hexadecimal.
std::string_view colorHex(ProjectType type);
/// A named colour.
std::string_view color(ProjectType type);

bool supportsPHP(ProjectType type);
bool supportsNode(ProjectType type);
bool requiresWebServer(ProjectType type);
bool needsDomain(ProjectType type);
bool isMobile(ProjectType type);
bool isNativeApp(ProjectType type);
bool isCLI(ProjectType type);

}  // namespace vesk

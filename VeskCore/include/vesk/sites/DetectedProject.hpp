// What project detection found in a site's directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/sites/ProjectType.hpp"

namespace vesk {

enum class RuntimeType { php, node, python, ruby, golang, dart, java };

}  // namespace vesk

VESK_RAW_ENUM(vesk::RuntimeType, {vesk::RuntimeType::php, "php"}, {vesk::RuntimeType::node, "node"},
              {vesk::RuntimeType::python, "python"}, {vesk::RuntimeType::ruby, "ruby"},
              {vesk::RuntimeType::golang, "golang"}, {vesk::RuntimeType::dart, "dart"},
              {vesk::RuntimeType::java, "java"});

namespace vesk {

std::string_view displayName(RuntimeType type);

struct ProjectFrameworkInfo {
    std::string name;
    std::optional<std::string> version;
    std::optional<std::string> configFile;

    /// The name, then one space and the version when it is known.
    [[nodiscard]] std::string displayString() const;

    friend bool operator==(const ProjectFrameworkInfo&, const ProjectFrameworkInfo&) = default;
};

struct RuntimeInfo {
    RuntimeType runtime = RuntimeType::php;
    std::optional<std::string> requiredVersion;
    std::optional<std::string> versionSource;

    friend bool operator==(const RuntimeInfo&, const RuntimeInfo&) = default;
};

struct DetectedProject {
    UUID id;
    std::string path;
    ProjectType primaryType = ProjectType::unknown;
    std::vector<ProjectType> allTypes;
    std::optional<ProjectFrameworkInfo> frameworkInfo;
    std::vector<RuntimeInfo> runtimes;
    Date detectedAt;
    double confidence = 0;

    DetectedProject() = default;
    /// An empty `allTypes` becomes the one-element list of `primaryType`
    /// (decoding keeps the list as stored).
    DetectedProject(const UUID& id, std::string path, ProjectType primaryType,
                    std::vector<ProjectType> allTypes,
                    std::optional<ProjectFrameworkInfo> frameworkInfo,
                    std::vector<RuntimeInfo> runtimes, Date detectedAt, double confidence);

    [[nodiscard]] bool isHybrid() const { return allTypes.size() > 1; }
    [[nodiscard]] bool hasMobileComponents() const;
    [[nodiscard]] bool usesNode() const;
    [[nodiscard]] bool usesPHP() const;

    friend bool operator==(const DetectedProject&, const DetectedProject&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::ProjectFrameworkInfo, vesk::field("name", &vesk::ProjectFrameworkInfo::name),
            vesk::field("version", &vesk::ProjectFrameworkInfo::version),
            vesk::field("configFile", &vesk::ProjectFrameworkInfo::configFile));
VESK_RECORD(vesk::RuntimeInfo, vesk::field("runtime", &vesk::RuntimeInfo::runtime),
            vesk::field("requiredVersion", &vesk::RuntimeInfo::requiredVersion),
            vesk::field("versionSource", &vesk::RuntimeInfo::versionSource));
VESK_RECORD(vesk::DetectedProject, vesk::field("id", &vesk::DetectedProject::id),
            vesk::field("path", &vesk::DetectedProject::path),
            vesk::field("primaryType", &vesk::DetectedProject::primaryType),
            vesk::field("allTypes", &vesk::DetectedProject::allTypes),
            vesk::field("frameworkInfo", &vesk::DetectedProject::frameworkInfo),
            vesk::field("runtimes", &vesk::DetectedProject::runtimes),
            vesk::field("detectedAt", &vesk::DetectedProject::detectedAt),
            vesk::field("confidence", &vesk::DetectedProject::confidence));
VESK_HASHABLE(vesk::ProjectFrameworkInfo);
VESK_HASHABLE(vesk::RuntimeInfo);
VESK_HASHABLE(vesk::DetectedProject);

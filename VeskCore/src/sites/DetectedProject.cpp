#include "vesk/sites/DetectedProject.hpp"

#include <algorithm>

namespace vesk {

namespace {

bool contains(const std::vector<ProjectType>& types, std::initializer_list<ProjectType> any) {
    return std::any_of(types.begin(), types.end(), [&](ProjectType t) {
        return std::find(any.begin(), any.end(), t) != any.end();
    });
}

bool asksFor(const std::vector<RuntimeInfo>& runtimes, RuntimeType runtime) {
    return std::any_of(runtimes.begin(), runtimes.end(),
                       [&](const RuntimeInfo& r) { return r.runtime == runtime; });
}

}  // namespace

std::string_view displayName(RuntimeType type) {
    switch (type) {
        case RuntimeType::php:
            return "PHP";
        case RuntimeType::node:
            return "Node.js";
        case RuntimeType::python:
            return "Python";
        case RuntimeType::ruby:
            return "Ruby";
        case RuntimeType::golang:
            return "Go";
        case RuntimeType::dart:
            return "Dart";
        case RuntimeType::java:
            return "Java";
    }
    return {};
}

std::string ProjectFrameworkInfo::displayString() const {
    return version ? name + " " + *version : name;
}

DetectedProject::DetectedProject(const UUID& id_, std::string path_, ProjectType primaryType_,
                                 std::vector<ProjectType> allTypes_,
                                 std::optional<ProjectFrameworkInfo> frameworkInfo_,
                                 std::vector<RuntimeInfo> runtimes_, Date detectedAt_,
                                 double confidence_)
    : id(id_),
      path(std::move(path_)),
      primaryType(primaryType_),
      allTypes(allTypes_.empty() ? std::vector<ProjectType>{primaryType_} : std::move(allTypes_)),
      frameworkInfo(std::move(frameworkInfo_)),
      runtimes(std::move(runtimes_)),
      detectedAt(detectedAt_),
      confidence(confidence_) {}

bool DetectedProject::hasMobileComponents() const {
    return contains(allTypes,
                    {ProjectType::reactNative, ProjectType::flutter, ProjectType::kotlin});
}

bool DetectedProject::usesNode() const {
    return contains(allTypes,
                    {ProjectType::laravel, ProjectType::nodejs, ProjectType::reactNative}) ||
           asksFor(runtimes, RuntimeType::node);
}

bool DetectedProject::usesPHP() const {
    return contains(allTypes, {ProjectType::laravel, ProjectType::php}) ||
           asksFor(runtimes, RuntimeType::php);
}

}  // namespace vesk

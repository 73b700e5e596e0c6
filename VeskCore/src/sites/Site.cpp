#include "vesk/sites/Site.hpp"

namespace vesk {

Site::Site(const UUID& id_, std::string name_, std::string path_,
           std::optional<std::string> domain_, std::string tld_,
           std::optional<std::string> phpVersion_, std::optional<std::string> nodeVersion_,
           bool isSecured_, bool isLinked_, bool isParked_, bool isPinned_,
           std::optional<std::string> group_, std::vector<std::string> aliases_, Date createdAt_,
           std::optional<DetectedProject> detectedProject_)
    : id(id_),
      name(std::move(name_)),
      path(std::move(path_)),
      domain(domain_ ? std::move(*domain_) : name),
      tld(std::move(tld_)),
      phpVersion(std::move(phpVersion_)),
      nodeVersion(std::move(nodeVersion_)),
      isSecured(isSecured_),
      isLinked(isLinked_),
      isParked(isParked_),
      isPinned(isPinned_),
      group(std::move(group_)),
      aliases(std::move(aliases_)),
      createdAt(createdAt_),
      detectedProject(std::move(detectedProject_)) {}

ProjectType Site::projectType() const {
    return detectedProject ? detectedProject->primaryType : ProjectType::unknown;
}

std::optional<std::string> Site::frameworkDisplay() const {
    if (!detectedProject || !detectedProject->frameworkInfo) return std::nullopt;
    return detectedProject->frameworkInfo->displayString();
}

bool Site::isMobileProject() const {
    return detectedProject && detectedProject->hasMobileComponents();
}

}  // namespace vesk

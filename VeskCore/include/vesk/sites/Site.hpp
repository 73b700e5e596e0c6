// A served project: its directory, domain and how it is served.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"
#include "vesk/sites/DetectedProject.hpp"
#include "vesk/sites/ProjectType.hpp"

namespace vesk {

struct Site {
    UUID id;
    std::string name;
    std::string path;
    std::string domain;
    std::string tld;
    std::optional<std::string> phpVersion;
    std::optional<std::string> nodeVersion;
    bool isSecured = false;
    bool isLinked = false;
    bool isParked = false;
    bool isPinned = false;
    std::optional<std::string> group;
    std::vector<std::string> aliases;
    Date createdAt;
    std::optional<DetectedProject> detectedProject;

    Site() = default;
    /// Every field in order; without a domain, the site's domain is its name.
    Site(const UUID& id, std::string name, std::string path, std::optional<std::string> domain,
         std::string tld, std::optional<std::string> phpVersion,
         std::optional<std::string> nodeVersion, bool isSecured, bool isLinked, bool isParked,
         bool isPinned, std::optional<std::string> group, std::vector<std::string> aliases,
         Date createdAt, std::optional<DetectedProject> detectedProject);

    /// domain + "." + tld
    [[nodiscard]] std::string fullDomain() const { return domain + "." + tld; }
    /// The detected primary type, or unknown.
    [[nodiscard]] ProjectType projectType() const;
    /// The framework's name and, when known, its version; none without framework information.
    [[nodiscard]] std::optional<std::string> frameworkDisplay() const;
    /// The detected types include React Native, Flutter or Kotlin.
    [[nodiscard]] bool isMobileProject() const;

    friend bool operator==(const Site&, const Site&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::Site, vesk::field("id", &vesk::Site::id), vesk::field("name", &vesk::Site::name),
            vesk::field("path", &vesk::Site::path), vesk::field("domain", &vesk::Site::domain),
            vesk::field("tld", &vesk::Site::tld),
            vesk::field("phpVersion", &vesk::Site::phpVersion),
            vesk::field("nodeVersion", &vesk::Site::nodeVersion),
            vesk::field("isSecured", &vesk::Site::isSecured),
            vesk::field("isLinked", &vesk::Site::isLinked),
            vesk::field("isParked", &vesk::Site::isParked),
            vesk::field("isPinned", &vesk::Site::isPinned),
            vesk::field("group", &vesk::Site::group), vesk::field("aliases", &vesk::Site::aliases),
            vesk::field("createdAt", &vesk::Site::createdAt),
            vesk::field("detectedProject", &vesk::Site::detectedProject));
VESK_HASHABLE(vesk::Site);

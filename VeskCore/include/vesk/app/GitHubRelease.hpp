// A release of a release listing, and whether it is newer than what runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Json.hpp"

namespace vesk {

struct GitHubAsset {
    std::string name;
    std::string browserDownloadUrl;
    std::int64_t size = 0;
    friend bool operator==(const GitHubAsset&, const GitHubAsset&) = default;
};

struct GitHubRelease {
    std::string tagName;
    std::optional<std::string> name;
    bool prerelease = false;
    bool draft = false;
    std::optional<std::string> publishedAt;
    std::optional<std::string> body;
    std::vector<GitHubAsset> assets;

    /// The tag without one leading lower-case "v".
    [[nodiscard]] std::string version() const;
    /// Whether `remote` is a higher version than `local`, number by number
    /// (a missing number counts as 0).
    static bool isNewer(std::string_view remote, std::string_view local);

    friend bool operator==(const GitHubRelease&, const GitHubRelease&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::GitHubAsset, vesk::field("name", &vesk::GitHubAsset::name),
            vesk::field("browser_download_url", &vesk::GitHubAsset::browserDownloadUrl),
            vesk::field("size", &vesk::GitHubAsset::size));
VESK_RECORD(vesk::GitHubRelease, vesk::field("tag_name", &vesk::GitHubRelease::tagName),
            vesk::field("name", &vesk::GitHubRelease::name),
            vesk::field("prerelease", &vesk::GitHubRelease::prerelease),
            vesk::field("draft", &vesk::GitHubRelease::draft),
            vesk::field("published_at", &vesk::GitHubRelease::publishedAt),
            vesk::field("body", &vesk::GitHubRelease::body),
            vesk::field("assets", &vesk::GitHubRelease::assets));

// How the development sites are served, as the developer wants it: PHP set
// up for development (errors shown, big uploads, no execution limit) and
// the web server's limits to match. Kept in a file of the developer's own,
// written once with these defaults and never overwritten.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Json.hpp"

namespace vesk {

/// PHP ini directives by name ("memory_limit" -> "1G").
using PHPDirectives = std::map<std::string, std::string>;

struct ServingSettings {
    /// The largest request body, in PHP's size form ("512M"): nginx's
    /// client_max_body_size and PHP's post_max_size and upload_max_filesize.
    std::string bodyLimit = "512M";
    /// How long one request may take before the web server gives up on it,
    /// in seconds: long enough to sit at a debugger's breakpoint.
    int requestTimeoutSeconds = 3600;
    /// Directives for every PHP pool, over the development defaults.
    PHPDirectives php;
    /// Directives for one PHP version's pool ("8.2"), over `php`.
    std::map<std::string, PHPDirectives> phpVersions;
    /// Directives for one site's requests (its full domain), over its pool's.
    std::map<std::string, PHPDirectives> sites;

    friend bool operator==(const ServingSettings&, const ServingSettings&) = default;

    /// The settings a developer starts with.
    static ServingSettings defaultValue();

    /// The directives of `version`'s pool: the development defaults, with
    /// the body limit, then `php`, then that version's.
    [[nodiscard]] PHPDirectives poolDirectives(const std::string& version) const;

    /// nginx's client_max_body_size for the body limit ("512m"); none when
    /// the limit is not a size ("1G", "512M", "800K" or bytes).
    [[nodiscard]] std::optional<std::string> nginxBodyLimit() const;
};

namespace ServingRules {

/// Whether `name` = `value` can be written as a PHP directive into a pool's
/// configuration and into nginx's (a name of letters, digits, '.' and '_';
/// a value of printable characters but quotes, backslashes, '$', braces,
/// ';' and '#').
bool isDirective(std::string_view name, std::string_view value);

}  // namespace ServingRules

}  // namespace vesk

VESK_RECORD(vesk::ServingSettings, vesk::field("bodyLimit", &vesk::ServingSettings::bodyLimit),
            vesk::field("requestTimeoutSeconds", &vesk::ServingSettings::requestTimeoutSeconds),
            vesk::field("php", &vesk::ServingSettings::php),
            vesk::field("phpVersions", &vesk::ServingSettings::phpVersions),
            vesk::field("sites", &vesk::ServingSettings::sites));

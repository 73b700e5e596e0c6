#include "vesk/sites/SiteInfo.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

#include "vesk/foundation/Unicode.hpp"

namespace vesk {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kDetection{{
    {"DB_CONNECTION=mysql", "MySQL"},
    {"DB_CONNECTION=pgsql", "PostgreSQL"},
    {"DB_CONNECTION=sqlite", "SQLite"},
    {"REDIS_HOST", "Redis"},
    {"CACHE_DRIVER=redis", "Redis"},
    {"QUEUE_CONNECTION=redis", "Redis"},
    {"MAIL_MAILER=smtp", "SMTP Mail"},
    {"MAIL_MAILER=mailhog", "MailHog"},
    {"MEMCACHED_HOST", "Memcached"},
    {"ELASTICSEARCH_HOST", "Elasticsearch"},
    {"MEILISEARCH_HOST", "Meilisearch"},
}};

std::optional<std::string> readUTF8File(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string text;
        text.reserve(static_cast<std::size_t>(st.st_size));
        char buf[65536];
        ssize_t n = 0;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
        if (n == 0 && Unicode::isValidUTF8(text)) out = std::move(text);
    }
    ::close(fd);
    return out;
}

}  // namespace

std::vector<std::string> SiteInfo::parseServices(std::string_view text) {
    std::vector<std::string> found;
    for (std::string_view line : Unicode::lines(text, Unicode::LineBreaks::eachCharacter)) {
        line = Unicode::trimmedBlanks(line);
        for (const auto& [prefix, service] : kDetection) {
            if (line.substr(0, prefix.size()) == prefix &&
                std::find(found.begin(), found.end(), service) == found.end()) {
                found.emplace_back(service);
            }
        }
    }
    return found;
}

SiteInfo SiteInfo::fromDisk(const Site& site, const std::string& driverName,
                            long long envLineLimit) {
    std::string envPath = site.path;
    if (envPath.empty() || envPath.back() != '/') envPath += '/';
    envPath += ".env";

    std::optional<std::vector<std::string>> preview;
    std::vector<std::string> services;
    if (const auto text = readUTF8File(envPath)) {
        const auto lines = Unicode::lines(*text, Unicode::LineBreaks::eachCharacter);
        const auto count = static_cast<std::size_t>(std::max<long long>(envLineLimit, 0));
        preview.emplace();
        for (std::size_t i = 0; i < lines.size() && i < count; ++i) preview->emplace_back(lines[i]);
        services = parseServices(*text);
    }

    std::optional<Date> modified;
    struct stat st {};
    if (::stat(site.path.c_str(), &st) == 0) {
        modified = Date::fromUnix(static_cast<double>(st.st_mtim.tv_sec) +
                                  static_cast<double>(st.st_mtim.tv_nsec) / 1e9);
    }
    return SiteInfo{site, driverName, std::move(preview), std::move(services), modified};
}

}  // namespace vesk

// The eight kinds of backing service, their presentation data, default ports
// and connection settings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

enum class ServiceType {
    mysql,
    postgresql,
    redis,
    mariadb,
    mongodb,
    meilisearch,
    typesense,
    minio
};

}  // namespace vesk

VESK_RAW_ENUM(vesk::ServiceType, {vesk::ServiceType::mysql, "mysql"},
              {vesk::ServiceType::postgresql, "postgresql"}, {vesk::ServiceType::redis, "redis"},
              {vesk::ServiceType::mariadb, "mariadb"}, {vesk::ServiceType::mongodb, "mongodb"},
              {vesk::ServiceType::meilisearch, "meilisearch"},
              {vesk::ServiceType::typesense, "typesense"}, {vesk::ServiceType::minio, "minio"});

namespace vesk {

std::string_view displayName(ServiceType type);
std::string_view iconName(ServiceType type);
int defaultPort(ServiceType type);
bool isDatabase(ServiceType type);

/// What a project needs to reach a service.
struct ConnectionInfo {
    std::string host;
    long long port = 0;
    std::optional<std::string> username;
    std::optional<std::string> password;  ///< an empty text is a set, empty password
    std::optional<std::string> database;

    /// The environment-file block for `type`, lines joined by "\n", no final line feed.
    [[nodiscard]] std::string dotEnv(ServiceType type) const;

    friend bool operator==(const ConnectionInfo&, const ConnectionInfo&) = default;
};

/// The URL a client connects with; none for the search engines and the object store.
std::optional<std::string> connectionURL(ServiceType type, long long port);

/// Host 127.0.0.1, the given port and the kind's credentials.
ConnectionInfo connectionInfo(ServiceType type, long long port);

}  // namespace vesk

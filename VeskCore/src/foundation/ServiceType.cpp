#include "vesk/foundation/ServiceType.hpp"

#include <array>

namespace vesk {

namespace {

struct Presentation {
    std::string_view displayName;
    std::string_view iconName;
    int port;
    bool database;
};

// Indexed by declaration order of ServiceType.
constexpr std::array<Presentation, 8> kPresentation{{
    {"MySQL", "cylinder.split.1x2", 3360, true},
    {"PostgreSQL", "elephant", 5440, true},
    {"Redis", "bolt.horizontal", 6380, true},
    {"MariaDB", "cylinder.split.1x2", 3361, true},
    {"MongoDB", "leaf", 27018, true},
    {"Meilisearch", "magnifyingglass", 7710, false},
    {"Typesense", "magnifyingglass.circle", 8118, false},
    {"MinIO", "externaldrive", 9010, false},
}};

const Presentation& presentation(ServiceType t) {
    return kPresentation.at(caseIndex(t));
}

std::string orElse(const std::optional<std::string>& v, std::string_view fallback) {
    return v ? *v : std::string(fallback);
}

}  // namespace

std::string_view displayName(ServiceType type) {
    return presentation(type).displayName;
}
std::string_view iconName(ServiceType type) {
    return presentation(type).iconName;
}
int defaultPort(ServiceType type) {
    return presentation(type).port;
}
bool isDatabase(ServiceType type) {
    return presentation(type).database;
}

std::optional<std::string> connectionURL(ServiceType type, long long port) {
    const std::string p = std::to_string(port);
    switch (type) {
        case ServiceType::mysql:
        case ServiceType::mariadb:
            return "mysql://root@127.0.0.1:" + p;
        case ServiceType::postgresql:
            return "postgres://vesk@127.0.0.1:" + p + "/postgres";
        case ServiceType::redis:
            return "redis://127.0.0.1:" + p;
        case ServiceType::mongodb:
            return "mongodb://127.0.0.1:" + p;
        case ServiceType::meilisearch:
        case ServiceType::typesense:
        case ServiceType::minio:
            return std::nullopt;
    }
    return std::nullopt;
}

ConnectionInfo connectionInfo(ServiceType type, long long port) {
    ConnectionInfo info{"127.0.0.1", port, std::nullopt, std::nullopt, std::nullopt};
    switch (type) {
        case ServiceType::mysql:
        case ServiceType::mariadb:
            info.username = "root";
            info.password = "";
            break;
        case ServiceType::postgresql:
            info.username = "vesk";
            info.password = "";
            info.database = "postgres";
            break;
        case ServiceType::minio:
            info.username = "stubsecret";
            info.password = "stubsecret";
            break;
        case ServiceType::redis:
        case ServiceType::mongodb:
        case ServiceType::meilisearch:
        case ServiceType::typesense:
            break;
    }
    return info;
}

std::string ConnectionInfo::dotEnv(ServiceType type) const {
    const std::string p = std::to_string(port);
    switch (type) {
        case ServiceType::mysql:
        case ServiceType::mariadb:
            return "DB_CONNECTION=mysql\nDB_HOST=" + host + "\nDB_PORT=" + p +
                   "\nDB_DATABASE=laravel\nDB_USERNAME=" + orElse(username, "root") +
                   "\nDB_PASSWORD=" + orElse(password, "");
        case ServiceType::postgresql:
            return "DB_CONNECTION=pgsql\nDB_HOST=" + host + "\nDB_PORT=" + p +
                   "\nDB_DATABASE=" + orElse(database, "postgres") +
                   "\nDB_USERNAME=" + orElse(username, "vesk") +
                   "\nDB_PASSWORD=" + orElse(password, "");
        case ServiceType::redis:
            return "REDIS_HOST=" + host + "\nREDIS_PORT=" + p +
                   "\nREDIS_PASSWORD=" + orElse(password, "null");
        case ServiceType::mongodb:
            return "DB_CONNECTION=mongodb\nDB_HOST=" + host + "\nDB_PORT=" + p +
                   "\nDB_DATABASE=" + orElse(database, "laravel");
        case ServiceType::meilisearch:
            return "SCOUT_DRIVER=meilisearch\nMEILISEARCH_HOST=http://" + host + ":" + p;
        case ServiceType::typesense:
            return "SCOUT_DRIVER=typesense\nTYPESENSE_HOST=" + host + "\nTYPESENSE_PORT=" + p;
        case ServiceType::minio:
            return "FILESYSTEM_DISK=s3\nAWS_ENDPOINT=http://" + host + ":" + p +
                   "\nAWS_ACCESS_KEY_ID=stubsecret\nAWS_SECRET_ACCESS_KEY=stubsecret"
                   "\nAWS_BUCKET=local\nAWS_USE_PATH_STYLE_ENDPOINT=true";
    }
    return {};
}

}  // namespace vesk

#include "vesk/services/EnvMapping.hpp"

namespace vesk::EnvMapping {

std::vector<Entry> entries(ServiceType type, long long port) {
    const std::string p = std::to_string(port);
    const auto database = [&](const char* driver, const char* user) {
        return std::vector<Entry>{{"DB_CONNECTION", driver},
                                  {"DB_HOST", "127.0.0.1"},
                                  {"DB_PORT", p},
                                  {"DB_USERNAME", user},
                                  {"DB_PASSWORD", ""}};
    };
    switch (type) {
        case ServiceType::mysql:
            return database("mysql", "root");
        case ServiceType::mariadb:
            return database("mariadb", "root");
        case ServiceType::postgresql:
            return database("pgsql", "vesk");
        case ServiceType::redis:
            return {{"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", p}};
        case ServiceType::meilisearch:
            return {{"SCOUT_DRIVER", "meilisearch"}, {"MEILISEARCH_HOST", "http://127.0.0.1:" + p}};
        case ServiceType::minio:
            return {{"AWS_ENDPOINT", "http://127.0.0.1:" + p},
                    {"AWS_URL", "http://127.0.0.1:" + p}};
        case ServiceType::mongodb:
        case ServiceType::typesense:
            return {};
    }
    return {};
}

const std::vector<ServiceType>& supportedServiceTypes() {
    static const std::vector<ServiceType> types{ServiceType::mysql,       ServiceType::mariadb,
                                                ServiceType::postgresql,  ServiceType::redis,
                                                ServiceType::meilisearch, ServiceType::minio};
    return types;
}

}  // namespace vesk::EnvMapping

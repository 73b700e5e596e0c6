// Environment-file key/value pairs per service kind.
#pragma once

#include <string>
#include <vector>

#include "vesk/foundation/ServiceType.hpp"

namespace vesk::EnvMapping {

struct Entry {
    std::string key;
    std::string value;
    friend bool operator==(const Entry&, const Entry&) = default;
};

/// The pairs for a kind on a port, in their fixed order; empty for mongodb and typesense.
std::vector<Entry> entries(ServiceType type, long long port);

/// mysql, mariadb, postgresql, redis, meilisearch, minio.
const std::vector<ServiceType>& supportedServiceTypes();

}  // namespace vesk::EnvMapping

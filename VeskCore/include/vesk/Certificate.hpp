// A TLS certificate issued for a local domain, or the local authority.
#pragma once

#include <optional>
#include <string>

#include "vesk/Date.hpp"
#include "vesk/Hashing.hpp"
#include "vesk/Json.hpp"
#include "vesk/UUID.hpp"

namespace vesk {

struct Certificate {
    UUID id;
    std::string domain;
    std::string certificatePath;
    std::string keyPath;
    bool isCA = false;
    std::optional<Date> expiresAt;
    Date createdAt;

    friend bool operator==(const Certificate&, const Certificate&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::Certificate, vesk::field("id", &vesk::Certificate::id),
            vesk::field("domain", &vesk::Certificate::domain),
            vesk::field("certificatePath", &vesk::Certificate::certificatePath),
            vesk::field("keyPath", &vesk::Certificate::keyPath),
            vesk::field("isCA", &vesk::Certificate::isCA),
            vesk::field("expiresAt", &vesk::Certificate::expiresAt),
            vesk::field("createdAt", &vesk::Certificate::createdAt));
VESK_HASHABLE(vesk::Certificate);

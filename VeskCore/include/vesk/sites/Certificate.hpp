// A TLS certificate issued for a local domain, or the local authority.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

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

/// A certificate or key that cannot be made, read or written; what() says which.
class CertificateError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// The local certificate authority and the site certificates it signs.
/// Keys are P-256; files are written whole, readable by their owner alone.
namespace Certificates {

/// How long the authority is valid: ten years.
inline constexpr double kAuthorityDays = 3650;
/// How long a site certificate is valid: 397 days, the longest browsers accept.
inline constexpr double kSiteDays = 397;

/// The authority in `dir` ("vesk-ca.crt" and "vesk-ca.key"): read when both
/// are there and belong together, made (and written) when neither is. A new
/// authority vouches for nothing but the names under `domains` (the
/// development domains), "localhost" and the loopback addresses (a critical
/// name constraint), and for TLS servers alone. Throws CertificateError when
/// only one is there or they cannot be read.
Certificate authority(const std::string& dir, const Date& now,
                      const std::vector<std::string>& domains = {"test"});

/// A site's certificate and key as PEM texts, and when the certificate ends.
struct IssuedPEM {
    std::string certificate;
    std::string key;
    std::optional<Date> expiresAt;
};

/// A certificate for `domain` (and "*." + domain) and each alias, signed by
/// `authority`. Throws CertificateError for a name no certificate may hold,
/// and for an authority with no name constraint or a name outside it.
IssuedPEM issuePEM(const Certificate& authority, const std::string& domain,
                   const std::vector<std::string>& aliases, const Date& now);

/// The same, written as `dir`/<domain>.crt and .key; the record has no id of
/// its own yet (the caller gives it one).
Certificate issue(const Certificate& authority, const std::string& domain,
                  const std::vector<std::string>& aliases, const std::string& dir, const Date& now);

/// Writes a certificate and key issued elsewhere as `dir`/<domain>.crt and
/// .key (the key readable by its owner alone); the record of them.
Certificate store(const IssuedPEM& issued, const std::string& domain, const std::string& dir,
                  const Date& now);

/// The host names the certificate `pem` starts with may vouch for, from its
/// critical name constraint; none when it has no such constraint (an
/// authority that can vouch for any name).
std::optional<std::vector<std::string>> permittedNames(std::string_view pem);

/// Whether `name` is one of `permitted` or below one of them at a label
/// boundary (case-insensitively, as host names compare).
bool isPermitted(std::string_view name, const std::vector<std::string>& permitted);

/// Why the certificate at `certificatePath` would not be trusted for
/// `domain` at `now` by a client trusting `authority`; none when it would.
std::optional<std::string> verify(const Certificate& authority, const std::string& certificatePath,
                                  const std::string& domain, const Date& now);

/// The certificate `pem` starts with, written again on its own, when it is
/// a certificate authority's (basic constraints CA); none otherwise. What
/// goes into a trust store is this, never the file's bytes.
std::optional<std::string> authorityText(std::string_view pem);

}  // namespace Certificates

}  // namespace vesk

VESK_RECORD(vesk::Certificate, vesk::field("id", &vesk::Certificate::id),
            vesk::field("domain", &vesk::Certificate::domain),
            vesk::field("certificatePath", &vesk::Certificate::certificatePath),
            vesk::field("keyPath", &vesk::Certificate::keyPath),
            vesk::field("isCA", &vesk::Certificate::isCA),
            vesk::field("expiresAt", &vesk::Certificate::expiresAt),
            vesk::field("createdAt", &vesk::Certificate::createdAt));
VESK_HASHABLE(vesk::Certificate);

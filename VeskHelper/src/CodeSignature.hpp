// Appended code signatures for executables.
//
// A signed file is: the original bytes, a detached DER CMS (PKCS#7)
// SignedData over those bytes with the signer certificate embedded, a
// 12-byte info block whose last four bytes hold the signature length (big
// endian), and the magic text "~Vesk signature appended~\n".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::codesign {

inline constexpr std::string_view kMagic = "~Vesk signature appended~\n";
inline constexpr std::size_t kInfoSize = 12;
inline constexpr std::uint8_t kIdTypePKCS7 = 2;

/// A signing identity: a private key and its certificate, both PEM text.
struct Identity {
    std::string keyPEM;
    std::string certificatePEM;
};

/// The bytes with a signature by every identity appended (normally one).
/// Throws std::runtime_error when a key or certificate cannot be used.
std::vector<std::uint8_t> sign(std::span<const std::uint8_t> content,
                               const std::vector<Identity>& identities);

/// The bytes a well-formed trailer covers, or none when there is no trailer.
std::optional<std::span<const std::uint8_t>> signedContent(std::span<const std::uint8_t> file);

struct Verification {
    std::optional<std::string> teamIdentifier;  ///< the signer subject's OU, if any
    std::string signerSubject;                  ///< one-line subject, for display
};

/// Verifies the trailer, the CMS signature over the bytes before it, that it
/// has exactly one signer, and that the signer chains to `trustRootPEM`.
/// None for anything else; never throws.
std::optional<Verification> verify(std::span<const std::uint8_t> file,
                                   std::string_view trustRootPEM);

}  // namespace vesk::codesign

// The appended-signature parser on arbitrary file bytes: the trailer and the
// DER inside it are walked, and verification never throws nor accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "CodeSignature.hpp"
#include "VeskIdentity.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> file(data, size);
    const auto covered = vesk::codesign::signedContent(file);
    if (covered && (covered->data() != data || covered->size() >= size)) std::abort();
    // Nothing the fuzzer makes carries a signature by the trust root's key.
    if (vesk::codesign::verify(file, vesk::identity::kTrustRootPEM)) std::abort();
    return 0;
}

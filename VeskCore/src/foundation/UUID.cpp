#include "vesk/foundation/UUID.hpp"

#include <sys/random.h>

#include <cstring>
#include <stdexcept>

namespace vesk {

namespace {

// Hex digit values by byte; 0xFF for every other byte.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
    std::array<std::uint8_t, 256> t{};
    t.fill(0xFF);
    for (int c = '0'; c <= '9'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
    return t;
}();

// Where the sixteen bytes' digit pairs start in the canonical text.
constexpr std::array<std::uint8_t, 16> kPairAt = {0,  2,  4,  6,  9,  11, 14, 16,
                                                  19, 21, 24, 26, 28, 30, 32, 34};

// The canonical upper-case text, written into `out` (36 bytes).
void writeCanonical(const std::array<std::uint8_t, 16>& bytes, char* out) {
    // Each byte's two digits, in the order they are written.
    static constexpr auto kPairs = [] {
        constexpr char kDigits[] = "0123456789ABCDEF";
        std::array<std::array<char, 2>, 256> t{};
        for (std::size_t b = 0; b < t.size(); ++b) t[b] = {kDigits[b >> 4], kDigits[b & 0x0F]};
        return t;
    }();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::memcpy(out + kPairAt[i], kPairs[bytes[i]].data(), 2);
    }
    out[8] = out[13] = out[18] = out[23] = '-';
}

}  // namespace

UUID UUID::random() {
    std::array<std::uint8_t, 16> b{};
    // The kernel's generator: blocks only until it is seeded, at boot.
    if (::getrandom(b.data(), b.size(), 0) != static_cast<ssize_t>(b.size())) {
        throw std::runtime_error("the system's random generator failed");
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return UUID(b);
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> b{};
    std::uint8_t bad = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        const std::uint8_t hi = kHexValue[static_cast<unsigned char>(text[kPairAt[i]])];
        const std::uint8_t lo = kHexValue[static_cast<unsigned char>(text[kPairAt[i] + 1])];
        bad |= hi | lo;
        b[i] = static_cast<std::uint8_t>((hi << 4) | (lo & 0x0F));
    }
    if ((bad & 0xF0) != 0) return std::nullopt;
    return UUID(b);
}

std::string UUID::uuidString() const {
    std::string s(36, '-');
    writeCanonical(bytes_, s.data());
    return s;
}

void JsonCoding<UUID>::encode(JsonOut out, const UUID& v) {
    out.plainString(36, [&](char* p) { writeCanonical(v.bytes(), p); });
}

UUID JsonCoding<UUID>::decode(const JsonIn& in) {
    const std::string_view text = in.stringView();
    auto u = UUID::parse(text);
    if (!u) {
        in.fail(DecodingError::Fault::invalidValue, "\"" + std::string(text) + "\" is not a UUID");
    }
    return *u;
}

}  // namespace vesk

std::size_t std::hash<vesk::UUID>::operator()(const vesk::UUID& u) const noexcept {
    std::size_t h = 1469598103934665603ULL;
    for (auto b : u.bytes()) h = (h ^ b) * 1099511628211ULL;
    return h;
}

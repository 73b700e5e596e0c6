#include "vesk/UUID.hpp"

#include <openssl/rand.h>

#include <stdexcept>

namespace vesk {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

UUID UUID::random() {
    std::array<std::uint8_t, 16> b{};
    if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
        throw std::runtime_error("the system's random generator failed");
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return UUID(b);
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<std::uint8_t, 16> b{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = hexDigit(text[i]);
        const int lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        b[out++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return UUID(b);
}

std::string UUID::uuidString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += digits[bytes_[i] >> 4];
        s += digits[bytes_[i] & 0x0F];
    }
    return s;
}

void JsonCoding<UUID>::encode(JsonOut out, const UUID& v) {
    out.string(v.uuidString());
}

UUID JsonCoding<UUID>::decode(const JsonIn& in) {
    const std::string text = in.string();
    auto u = UUID::parse(text);
    if (!u) in.fail(DecodingError::Fault::invalidValue, "\"" + text + "\" is not a UUID");
    return *u;
}

}  // namespace vesk

std::size_t std::hash<vesk::UUID>::operator()(const vesk::UUID& u) const noexcept {
    std::size_t h = 1469598103934665603ULL;
    for (auto b : u.bytes()) h = (h ^ b) * 1099511628211ULL;
    return h;
}

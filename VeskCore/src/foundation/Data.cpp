#include "vesk/foundation/Data.hpp"

#include <cstdint>

namespace vesk {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// The six bits a Base64 letter stands for; -1 for anything else.
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string Data::base64() const {
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0U);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<Data> Data::fromBase64(std::string_view text) {
    // Whole groups of four letters; '=' only as the last one or two.
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    if (padding == 1 && text.size() >= 2 && text[text.size() - 2] == '=') return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    const std::size_t letters = text.size() - padding;
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < letters; ++i) {
        const int v = sextet(text[i]);
        if (v < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> held));
            bits &= (1U << held) - 1;
        }
    }
    return Data{std::move(out)};
}

Data JsonCoding<Data>::decode(const JsonIn& in) {
    auto d = Data::fromBase64(in.string());
    if (!d) in.fail(DecodingError::Fault::invalidValue, "not Base64 text");
    return *d;
}

bool JsonCoding<Data>::read(JsonTape& in, Data& v) {
    std::string_view text;
    if (!in.readString(text)) return false;
    auto d = Data::fromBase64(text);
    if (!d) return false;
    v = std::move(*d);
    return true;
}

}  // namespace vesk

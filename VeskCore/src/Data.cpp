#include "vesk/Data.hpp"

#include <openssl/evp.h>

namespace vesk {

std::string Data::base64() const {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    if (!bytes.empty()) {
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                      static_cast<int>(bytes.size()));
        out.resize(static_cast<std::size_t>(n));
    }
    return out;
}

std::optional<Data> Data::fromBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return Data{};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool alnum =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        const bool pad = c == '=' && i >= text.size() - 2 &&
                         (i == text.size() - 1 || text[text.size() - 1] == '=');
        if (!alnum && c != '+' && c != '/' && !pad) return std::nullopt;
    }
    std::size_t padding = 0;
    if (text.back() == '=') ++padding;
    if (text[text.size() - 2] == '=') ++padding;
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) < padding) return std::nullopt;
    out.resize(static_cast<std::size_t>(n) - padding);
    return Data{std::move(out)};
}

Data JsonCoding<Data>::decode(const JsonIn& in) {
    auto d = Data::fromBase64(in.string());
    if (!d) in.fail(DecodingError::Fault::invalidValue, "not Base64 text");
    return *d;
}

}  // namespace vesk

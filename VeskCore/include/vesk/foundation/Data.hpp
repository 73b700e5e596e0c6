// Byte buffers, written in JSON as standard Base64 text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/foundation/Json.hpp"

namespace vesk {

struct Data {
    std::vector<std::uint8_t> bytes;

    static Data fromString(std::string_view text) {
        return Data{std::vector<std::uint8_t>(text.begin(), text.end())};
    }
    [[nodiscard]] std::string base64() const;
    /// Strict standard Base64 (with padding); none for anything else.
    static std::optional<Data> fromBase64(std::string_view text);

    friend bool operator==(const Data&, const Data&) = default;
};

template <>
struct JsonCoding<Data> {
    static void encode(JsonOut out, const Data& v) { out.string(v.base64()); }
    static Data decode(const JsonIn& in);
    static bool read(JsonTape& in, Data& v);
};

}  // namespace vesk

template <>
struct std::hash<vesk::Data> {
    std::size_t operator()(const vesk::Data& d) const noexcept {
        const std::string_view bytes(reinterpret_cast<const char*>(d.bytes.data()),  // NOLINT
                                     d.bytes.size());
        return std::hash<std::string_view>{}(bytes);
    }
};

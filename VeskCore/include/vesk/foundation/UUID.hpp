// 128-bit universally unique identifiers, written as canonical upper-case text.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Json.hpp"

namespace vesk {

class UUID {
  public:
    /// The nil identifier (all zero bits).
    constexpr UUID() = default;
    explicit constexpr UUID(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    /// A fresh random (version 4) identifier from the system's secure generator.
    static UUID random();
    /// Parses the 8-4-4-4-12 hexadecimal form in either letter case.
    static std::optional<UUID> parse(std::string_view text);

    /// Canonical upper-case text, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    [[nodiscard]] std::string uuidString() const;
    [[nodiscard]] const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

  private:
    std::array<std::uint8_t, 16> bytes_{};
};

template <>
struct JsonCoding<UUID> {
    static void encode(JsonOut out, const UUID& v);
    static UUID decode(const JsonIn& in);
    template <class In>
    static bool read(In& in, UUID& v) {
        std::string_view text;
        if (!in.readString(text)) return false;
        const auto u = UUID::parse(text);
        if (!u) return false;
        v = *u;
        return true;
    }
};

}  // namespace vesk

template <>
struct std::hash<vesk::UUID> {
    std::size_t operator()(const vesk::UUID& u) const noexcept;
};

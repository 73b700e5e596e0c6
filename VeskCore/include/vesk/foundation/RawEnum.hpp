// Closed choice lists whose raw value is a text.
//
// An enumeration takes part by specialising `RawEnumTraits` with a constexpr
// array `cases` of {value, raw text} pairs in declaration order. Everything
// else (raw value, construction from text, allCases, JSON coding) comes from
// the generic functions below.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

namespace vesk {

template <class E>
struct RawCase {
    E value;
    std::string_view raw;
};

template <class E>
struct RawEnumTraits;  // specialise: static constexpr std::array<RawCase<E>, N> cases

template <class E, class = void>
struct IsRawEnum : std::false_type {};
template <class E>
struct IsRawEnum<E, std::void_t<decltype(RawEnumTraits<E>::cases)>> : std::true_type {};
template <class E>
inline constexpr bool isRawEnum = IsRawEnum<E>::value;

/// The raw text of a case.
template <class E>
requires isRawEnum<E>
constexpr std::string_view rawValue(E value) {
    constexpr auto& cases = RawEnumTraits<E>::cases;
    // Cases declared in the order of their values 0, 1, 2, ... are looked
    // up by value.
    constexpr bool dense = [] {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            if (static_cast<std::size_t>(cases[i].value) != i) return false;
        }
        return true;
    }();
    if constexpr (dense) {
        const auto i = static_cast<std::size_t>(value);
        return i < cases.size() ? cases[i].raw : std::string_view{};
    }
    for (const auto& c : cases) {
        if (c.value == value) return c.raw;
    }
    return {};
}

/// The case whose raw text is exactly `raw` (case-sensitive), or none.
template <class E>
requires isRawEnum<E>
constexpr std::optional<E> fromRawValue(std::string_view raw) {
    for (const auto& c : RawEnumTraits<E>::cases) {
        if (c.raw == raw) return c.value;
    }
    return std::nullopt;
}

/// Every case in declaration order.
template <class E>
requires isRawEnum<E>
constexpr auto allCases() {
    constexpr auto n = RawEnumTraits<E>::cases.size();
    std::array<E, n> out{};
    for (std::size_t i = 0; i < n; ++i) out[i] = RawEnumTraits<E>::cases[i].value;
    return out;
}

/// Position of a case in declaration order (for tables indexed by case).
template <class E>
requires isRawEnum<E>
constexpr std::size_t caseIndex(E value) {
    const auto& cs = RawEnumTraits<E>::cases;
    for (std::size_t i = 0; i < cs.size(); ++i) {
        if (cs[i].value == value) return i;
    }
    return cs.size();
}

}  // namespace vesk

/// Declares the raw texts of an enumeration: VESK_RAW_ENUM(E, {E::a, "a"}, {E::b, "b"}).
#define VESK_RAW_ENUM(E, ...)                                                         \
    template <>                                                                       \
    struct vesk::RawEnumTraits<E> {                                                   \
        static constexpr auto cases = std::to_array<vesk::RawCase<E>>({__VA_ARGS__}); \
    }

// Hashing of records, generic over the fields declared with VESK_RECORD.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

inline void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <class T>
std::size_t hashValue(const T& value);

template <class T>
std::size_t hashRecord(const T& record) {
    std::size_t seed = 0;
    std::apply([&](const auto&... f) { (hashCombine(seed, hashValue(record.*(f.member))), ...); },
               RecordFields<T>::fields);
    return seed;
}

template <class T>
std::size_t hashValue(const T& value) {
    if constexpr (isRawEnum<T>) {
        return std::hash<std::size_t>{}(caseIndex(value));
    } else if constexpr (IsRecord<T>::value) {
        return hashRecord(value);
    } else if constexpr (IsOptional<T>::value) {
        return value ? hashValue(*value) * 31 + 1 : 0;
    } else if constexpr (requires {
                             value.begin();
                             value.end();
                         } &&
                         !std::is_same_v<T, std::string>) {
        std::size_t seed = value.size();
        for (const auto& e : value) hashCombine(seed, hashValue(e));
        return seed;
    } else if constexpr (requires {
                             typename T::first_type;
                             typename T::second_type;
                         }) {
        std::size_t seed = hashValue(value.first);
        hashCombine(seed, hashValue(value.second));
        return seed;
    } else {
        return std::hash<T>{}(value);
    }
}

}  // namespace vesk

/// std::hash for a record declared with VESK_RECORD, over every field.
#define VESK_HASHABLE(T)                                                                  \
    template <>                                                                           \
    struct std::hash<T> {                                                                 \
        std::size_t operator()(const T& v) const noexcept { return vesk::hashRecord(v); } \
    }

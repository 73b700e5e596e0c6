// Interface languages and message lookup.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"

namespace vesk {

enum class Locale { en, zhHant, zhHans };

}  // namespace vesk

VESK_RAW_ENUM(vesk::Locale, {vesk::Locale::en, "en"}, {vesk::Locale::zhHant, "zh-Hant"},
              {vesk::Locale::zhHans, "zh-Hans"});

namespace vesk {

/// The language of a POSIX locale name such as "zh_TW.UTF-8": zh in TW, HK or
/// MO is Traditional Chinese, zh elsewhere Simplified, anything else English.
Locale localeFromPOSIXName(std::string_view name);

/// The system's language: LC_ALL, then LC_MESSAGES, then LANG (the first set
/// and non-empty one, as POSIX orders them).
Locale localeFromSystem();

namespace L10n {

/// An argument of a formatted message: "%@" takes text, "%d" an integer.
using Argument = std::variant<std::string, long long>;

inline Argument toArgument(std::string_view s) {
    return std::string(s);
}
inline Argument toArgument(const char* s) {
    return std::string(s);
}
inline Argument toArgument(const std::string& s) {
    return s;
}
template <class I>
requires std::is_integral_v<I> Argument toArgument(I i) {
    return static_cast<long long>(i);
}

/// The current language; English when the process starts.
Locale current();
void setLocale(Locale locale);

/// The text of `key` in the current language, else English, else the key.
std::string tr(std::string_view key);

/// The same text with the arguments substituted in order.
std::string tr(std::string_view key, std::initializer_list<Argument> arguments);

template <class... A>
requires(sizeof...(A) > 0) std::string tr(std::string_view key, const A&... arguments) {
    return tr(key, {toArgument(arguments)...});
}

/// printf-style substitution of "%@" and "%d" ("%%" is a percent sign).
std::string format(std::string_view format, std::initializer_list<Argument> arguments);

}  // namespace L10n
}  // namespace vesk

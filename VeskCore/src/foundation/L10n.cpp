#include "vesk/foundation/L10n.hpp"

#include <atomic>
#include <cstdlib>

#include "vesk/foundation/Strings.hpp"

namespace vesk {

namespace {

std::atomic<Locale> currentLocale{Locale::en};

const Strings::Table& table(Locale locale) {
    switch (locale) {
        case Locale::zhHant:
            return Strings::zhHant();
        case Locale::zhHans:
            return Strings::zhHans();
        case Locale::en:
            break;
    }
    return Strings::en();
}

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

Locale localeFromPOSIXName(std::string_view name) {
    // language[_territory][.codeset][@modifier]; a BCP 47 style "zh-Hant-TW" is
    // read the same way, its script subtag playing no part.
    const auto end = name.find_first_of(".@");
    name = name.substr(0, end);
    const auto sep = name.find_first_of("_-");
    const std::string_view language = name.substr(0, sep);
    std::string_view region;
    if (sep != std::string_view::npos) {
        std::string_view rest = name.substr(sep + 1);
        auto next = rest.find_first_of("_-");
        std::string_view first = rest.substr(0, next);
        if (first.size() == 4 && isAlpha(first[0]) && next != std::string_view::npos) {
            rest = rest.substr(next + 1);  // skip a script subtag
            next = rest.find_first_of("_-");
            first = rest.substr(0, next);
        } else if (first.size() == 4) {
            first = {};
        }
        region = first;
    }
    if (language != "zh") return Locale::en;
    if (region == "TW" || region == "HK" || region == "MO") return Locale::zhHant;
    return Locale::zhHans;
}

Locale localeFromSystem() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && value[0] != '\0') return localeFromPOSIXName(value);
    }
    return Locale::en;
}

namespace L10n {

Locale current() {
    return currentLocale.load(std::memory_order_relaxed);
}
void setLocale(Locale locale) {
    currentLocale.store(locale, std::memory_order_relaxed);
}

std::string tr(std::string_view key) {
    const auto& t = table(current());
    if (auto it = t.find(key); it != t.end()) return std::string(it->second);
    const auto& english = Strings::en();
    if (auto it = english.find(key); it != english.end()) return std::string(it->second);
    return std::string(key);
}

std::string tr(std::string_view key, std::initializer_list<Argument> arguments) {
    return format(tr(key), arguments);
}

std::string format(std::string_view fmt, std::initializer_list<Argument> arguments) {
    std::string out;
    out.reserve(fmt.size() + 16);
    auto arg = arguments.begin();
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        const char c = fmt[i];
        if (c != '%' || i + 1 >= fmt.size()) {
            out += c;
            continue;
        }
        const char spec = fmt[i + 1];
        if (spec == '%') {
            out += '%';
            ++i;
        } else if ((spec == '@' || spec == 'd') && arg != arguments.end()) {
            std::visit(
                [&](const auto& v) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
                        out += v;
                    } else {
                        out += std::to_string(v);
                    }
                },
                *arg);
            ++arg;
            ++i;
        } else {
            out += c;  // unknown directive or no argument left: kept as written
        }
    }
    return out;
}

}  // namespace L10n
}  // namespace vesk

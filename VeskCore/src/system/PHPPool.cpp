#include "vesk/system/PHPPool.hpp"

#include <algorithm>

namespace vesk {

std::optional<PHPPool> PHPPool::parse(std::string_view name) {
    PHPPool pool;
    const auto dash = name.find('-');
    const std::string_view version = name.substr(0, dash);
    const auto dot = version.find('.');
    const auto digits = [](std::string_view part) {
        return !part.empty() && part.size() <= 3 &&
               std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dot == std::string_view::npos || !digits(version.substr(0, dot)) ||
        !digits(version.substr(dot + 1))) {
        return std::nullopt;
    }
    pool.version = std::string(version);
    if (dash != std::string_view::npos) {
        pool.xdebug = fromRawValue<XdebugMode>(name.substr(dash + 1));
        if (!pool.xdebug) return std::nullopt;
    }
    return pool;
}

std::string PHPPool::name() const {
    return xdebug ? version + "-" + std::string(rawValue(*xdebug)) : version;
}

}  // namespace vesk

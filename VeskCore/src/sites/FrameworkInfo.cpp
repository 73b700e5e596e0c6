#include "vesk/sites/FrameworkInfo.hpp"

namespace vesk {

std::string_view displayName(FrameworkType type) {
    switch (type) {
        case FrameworkType::laravel:
            return "Laravel";
        case FrameworkType::wordpress:
            return "WordPress";
        case FrameworkType::symfony:
            return "Symfony";
        case FrameworkType::statamic:
            return "Statamic";
        case FrameworkType::staticSite:
            return "Static";
    }
    return {};
}

}  // namespace vesk

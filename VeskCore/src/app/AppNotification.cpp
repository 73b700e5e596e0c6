#include "vesk/app/AppNotification.hpp"

#include <array>

namespace vesk {

namespace {

struct TypeLook {
    std::string_view label;
    std::string_view icon;
    std::string_view color;
};

constexpr std::array<TypeLook, 5> kTypes{{
    {"Service Crashed", "exclamationmark.triangle.fill", "red"},
    {"Update Available", "arrow.down.circle.fill", "blue"},
    {"SSL Expiring", "lock.trianglebadge.exclamationmark.fill", "orange"},
    {"Port Conflict", "network.badge.shield.half.filled", "yellow"},
    {"Debug Capture", "ant.fill", "purple"},
}};

std::map<NotificationType, bool> everyType() {
    std::map<NotificationType, bool> all;
    for (const auto t : allCases<NotificationType>()) all.emplace(t, true);
    return all;
}

}  // namespace

std::string_view label(NotificationType type) {
    return kTypes[caseIndex(type)].label;
}
std::string_view iconName(NotificationType type) {
    return kTypes[caseIndex(type)].icon;
}
std::string_view colorName(NotificationType type) {
    return kTypes[caseIndex(type)].color;
}

NotificationPreferences::NotificationPreferences(
    bool isEnabled, bool playSounds, std::optional<std::map<NotificationType, bool>> enabledTypes)
    : isEnabled(isEnabled),
      playSounds(playSounds),
      enabledTypes(enabledTypes ? std::move(*enabledTypes) : everyType()) {}

NotificationPreferences NotificationPreferences::defaultValue() {
    return NotificationPreferences(true, true);
}

bool NotificationPreferences::isTypeEnabled(NotificationType type) const {
    if (!isEnabled) return false;
    const auto it = enabledTypes.find(type);
    return it == enabledTypes.end() || it->second;
}

}  // namespace vesk

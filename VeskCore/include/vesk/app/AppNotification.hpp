// In-app notifications, their kinds and actions, and the user's preferences.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/RawEnum.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

enum class NotificationType {
    serviceCrashed,
    updateAvailable,
    sslExpiring,
    portConflict,
    debugCapture
};

struct NotificationAction {
    enum class ActionType { restartService, updateApp, renewSSL, resolveConflict, viewDebug };

    std::string label;
    ActionType actionType = ActionType::restartService;
    std::optional<std::string> targetID;

    friend bool operator==(const NotificationAction&, const NotificationAction&) = default;
};

}  // namespace vesk

VESK_RAW_ENUM(vesk::NotificationType, {vesk::NotificationType::serviceCrashed, "serviceCrashed"},
              {vesk::NotificationType::updateAvailable, "updateAvailable"},
              {vesk::NotificationType::sslExpiring, "sslExpiring"},
              {vesk::NotificationType::portConflict, "portConflict"},
              {vesk::NotificationType::debugCapture, "debugCapture"});
VESK_RAW_ENUM(vesk::NotificationAction::ActionType,
              {vesk::NotificationAction::ActionType::restartService, "restartService"},
              {vesk::NotificationAction::ActionType::updateApp, "updateApp"},
              {vesk::NotificationAction::ActionType::renewSSL, "renewSSL"},
              {vesk::NotificationAction::ActionType::resolveConflict, "resolveConflict"},
              {vesk::NotificationAction::ActionType::viewDebug, "viewDebug"});

namespace vesk {

std::string_view label(NotificationType type);
std::string_view iconName(NotificationType type);
std::string_view colorName(NotificationType type);

struct AppNotification {
    UUID id;
    NotificationType type = NotificationType::serviceCrashed;
    std::string title;
    std::string message;
    Date createdAt;
    bool isRead = false;
    std::optional<NotificationAction> action;

    friend bool operator==(const AppNotification&, const AppNotification&) = default;
};

struct NotificationPreferences {
    bool isEnabled = true;
    bool playSounds = true;
    std::map<NotificationType, bool> enabledTypes;

    /// The default: enabled, with sounds, every type on.
    NotificationPreferences() : NotificationPreferences(true, true) {}
    /// Without `enabledTypes` every type is mapped to true.
    NotificationPreferences(bool isEnabled, bool playSounds,
                            std::optional<std::map<NotificationType, bool>> enabledTypes = {});
    /// Enabled, with sounds, every type on.
    static NotificationPreferences defaultValue();

    /// Off when notifications are off; else the type's entry, true without one.
    [[nodiscard]] bool isTypeEnabled(NotificationType type) const;

    friend bool operator==(const NotificationPreferences&,
                           const NotificationPreferences&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::NotificationAction, vesk::field("label", &vesk::NotificationAction::label),
            vesk::field("actionType", &vesk::NotificationAction::actionType),
            vesk::field("targetID", &vesk::NotificationAction::targetID));
VESK_HASHABLE(vesk::NotificationAction);
VESK_RECORD(vesk::AppNotification, vesk::field("id", &vesk::AppNotification::id),
            vesk::field("type", &vesk::AppNotification::type),
            vesk::field("title", &vesk::AppNotification::title),
            vesk::field("message", &vesk::AppNotification::message),
            vesk::field("createdAt", &vesk::AppNotification::createdAt),
            vesk::field("isRead", &vesk::AppNotification::isRead),
            vesk::field("action", &vesk::AppNotification::action));
VESK_HASHABLE(vesk::AppNotification);
VESK_RECORD(vesk::NotificationPreferences,
            vesk::field("isEnabled", &vesk::NotificationPreferences::isEnabled),
            vesk::field("playSounds", &vesk::NotificationPreferences::playSounds),
            vesk::field("enabledTypes", &vesk::NotificationPreferences::enabledTypes));
VESK_HASHABLE(vesk::NotificationPreferences);

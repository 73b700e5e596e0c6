// Names of the in-process broadcasts the product posts.
#pragma once

#include <string>

namespace vesk {

/// A broadcast name, compared by its text.
struct NotificationName {
    std::string rawValue;
    friend bool operator==(const NotificationName&, const NotificationName&) = default;
};

namespace VeskNotification {

/// "com.vesk.sitesDidChange": posted whenever the site list changes.
const NotificationName& sitesDidChange();

}  // namespace VeskNotification
}  // namespace vesk

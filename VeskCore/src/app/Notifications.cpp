#include "vesk/app/Notifications.hpp"

namespace vesk::VeskNotification {

const NotificationName& sitesDidChange() {
    static const NotificationName name{"com.vesk.sitesDidChange"};
    return name;
}

}  // namespace vesk::VeskNotification

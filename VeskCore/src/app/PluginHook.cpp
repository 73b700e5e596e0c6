#include "vesk/app/PluginHook.hpp"

#include <array>

namespace vesk {

std::string_view PluginHook::name() const {
    static constexpr std::array<std::string_view, 7> kNames{
        "siteCreated",    "siteDeleted",  "serviceStarted", "serviceStopped",
        "serviceCrashed", "appLaunching", "appShuttingDown"};
    return kNames[event.index()];
}

}  // namespace vesk

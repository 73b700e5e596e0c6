// The interface a plug-in implements.
#pragma once

#include <string>

#include "vesk/app/PluginHook.hpp"
#include "vesk/foundation/Async.hpp"

namespace vesk {

/// A plug-in: three read-only properties, and three asynchronous operations
/// that do nothing and succeed unless the plug-in overrides them.
class VeskPlugin {
  public:
    virtual ~VeskPlugin() = default;

    /// The manifest's identifier.
    [[nodiscard]] virtual std::string identifier() const = 0;
    /// The name shown to the user.
    [[nodiscard]] virtual std::string name() const = 0;
    /// The plug-in's version.
    [[nodiscard]] virtual std::string version() const = 0;

    // NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its callbacks by
    // value
    virtual void onLoad(Completion done) { done(std::nullopt); }
    // NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its callbacks by
    // value
    virtual void handle(const PluginHook& hook, Completion done) {
        (void)hook;
        done(std::nullopt);
    }
    // NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its callbacks by
    // value
    virtual void onUnload(Completion done) { done(std::nullopt); }
};

}  // namespace vesk

// The application's service handling, as an abstract interface.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "vesk/foundation/ServiceType.hpp"

namespace vesk {

/// Six asynchronous operations; each completes by calling its callback once.
/// Nothing in this library implements or calls them.
class ServiceProviding {
  public:
    /// Outcome of an operation: empty on success, otherwise the failure's text.
    using Completion = std::function<void(std::optional<std::string> error)>;

    virtual ~ServiceProviding() = default;
    virtual void start(ServiceType type, Completion done) = 0;
    virtual void stop(ServiceType type, Completion done) = 0;
    virtual void restart(ServiceType type, Completion done) = 0;
    virtual void isRunning(ServiceType type, std::function<void(bool running)> done) = 0;
    virtual void install(ServiceType type, std::string version, Completion done) = 0;
    virtual void installedVersions(ServiceType type,
                                   std::function<void(std::vector<std::string>)> done) = 0;
};

}  // namespace vesk

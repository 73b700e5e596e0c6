// The helper process minus the process: start-up lines, listener, serving.
#pragma once

#include <functional>
#include <memory>

#include "CallerCheck.hpp"
#include "HelperServer.hpp"
#include "vesk/system/EnvironmentLayout.hpp"

namespace vesk::helper {

class Helper {
  public:
    /// How the process ends after uninstallHelper (exit status 0); production
    /// flushes and calls _exit, tests record the call.
    using ExitProcess = std::function<void(int status)>;

    explicit Helper(EnvironmentLayout layout, ExitProcess exitProcess = {});

    /// Logs "Starting", listens, logs "Listening", then serves until stop().
    /// Returns 71 when the socket cannot be created.
    int run();
    void stop();

    [[nodiscard]] const EnvironmentLayout& layout() const { return layout_; }

  private:
    EnvironmentLayout layout_;
    ExitProcess exitProcess_;
    CallerCheck check_;
    std::unique_ptr<HelperServer> server_;
};

}  // namespace vesk::helper

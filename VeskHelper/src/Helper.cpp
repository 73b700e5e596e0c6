#include "Helper.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "Log.hpp"
#include "VeskIdentity.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk::helper {

namespace {

void exitNow(int status) {
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace

Helper::Helper(EnvironmentLayout layout, ExitProcess exitProcess)
    : layout_(std::move(layout)),
      exitProcess_(exitProcess ? std::move(exitProcess) : ExitProcess(exitNow)),
      check_(std::string(identity::kTrustRootPEM), std::string(identity::kTeamIdentifier),
             layout_) {}

int Helper::run() {
    logLine("Starting (version 1.0.0)");
    // Calls are small; a thread keeps no parser buffers sized for a large one.
    JsonDocument::setRetainedCapacity(std::size_t{64} << 10);
    server_ = std::make_unique<HelperServer>(layout_, check_, [exit = exitProcess_] {
        std::thread([exit] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            exit(0);
        }).detach();
    });
    try {
        server_->listen();
    } catch (const std::exception&) {
        return 71;  // EX_OSERR: the service manager records the failed start
    }
    logLine("Listening on com.vesk.helper");
    server_->run();
    return 0;
}

void Helper::stop() {
    if (server_) server_->stop();
}

}  // namespace vesk::helper

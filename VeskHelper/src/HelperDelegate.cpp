#include "HelperDelegate.hpp"

#include <string>

#include "Log.hpp"

namespace vesk::helper {

std::optional<CheckedProcess> HelperDelegate::verifyCallerIdentity(pid_t pid, uid_t uid) {
    try {
        return check_.check(pid, uid);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<CheckedProcess> HelperDelegate::shouldAcceptNewConnection(pid_t pid, uid_t uid) {
    auto checked = verifyCallerIdentity(pid, uid);
    if (checked) {
        logLine("Accepted connection from pid " + std::to_string(pid));
    } else {
        logLine("Rejected connection from unauthorized process (pid: " + std::to_string(pid) + ")");
    }
    return checked;
}

}  // namespace vesk::helper

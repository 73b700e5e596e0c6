// The accept decision: one per incoming connection.
#pragma once

#include <sys/types.h>

#include <optional>

#include "CallerCheck.hpp"

namespace vesk::helper {

class HelperDelegate {
  public:
    explicit HelperDelegate(CallerCheck& check) : check_(check) {}

    /// Checks the caller and logs the accept or the reject line. The checked
    /// process is returned for an accepted connection.
    std::optional<CheckedProcess> shouldAcceptNewConnection(pid_t pid, uid_t uid);

  private:
    /// True when the calling process passes every check; never throws.
    std::optional<CheckedProcess> verifyCallerIdentity(pid_t pid, uid_t uid);

    CallerCheck& check_;
};

}  // namespace vesk::helper

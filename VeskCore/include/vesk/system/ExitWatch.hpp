// Learning that a process ended the moment it does, without polling, for
// this process's children and for others' processes alike (a server root
// started through the helper): one pidfd a process, all waited on at once.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "vesk/system/Fd.hpp"

namespace vesk {

class ExitWatch {
  public:
    /// How a watched process ended: its status when it was this process's
    /// child (reaped here), none for another's.
    struct Exit {
        long pid = 0;
        std::optional<int> exitCode;
        std::optional<int> signal;
    };

    ExitWatch();
    ExitWatch(const ExitWatch&) = delete;
    ExitWatch& operator=(const ExitWatch&) = delete;

    /// Watches `pid`; false when it has ended already or cannot be watched.
    bool add(long pid);
    /// Stops watching `pid`.
    void remove(long pid);
    [[nodiscard]] bool watching(long pid) const { return watched_.count(pid) != 0; }
    /// A descriptor that polls readable when a watched process has ended
    /// (for a caller's own event loop; then wait(0)).
    [[nodiscard]] int fd() const noexcept { return epoll_.get(); }
    /// Waits until a watched process ends or `timeoutMs` passes (-1: no
    /// limit); the processes that ended, no longer watched.
    std::vector<Exit> wait(int timeoutMs);

  private:
    Fd epoll_;
    std::map<long, Fd> watched_;
};

}  // namespace vesk

// The listener: a Unix stream socket, one thread per accepted connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "CallerCheck.hpp"
#include "HelperDelegate.hpp"
#include "Layout.hpp"

namespace vesk::helper {

class HelperServer {
  public:
    /// Connections served at once; past it new connections are closed unread.
    static constexpr std::size_t kMaxConnections = 256;

    HelperServer(Layout layout, CallerCheck& check, std::function<void()> scheduleExit);
    ~HelperServer();
    HelperServer(const HelperServer&) = delete;
    HelperServer& operator=(const HelperServer&) = delete;

    /// Creates the socket directory (root's, 0755) and the socket (0666).
    /// Throws std::system_error when it cannot listen.
    void listen();
    /// Accepts connections until stop(); each one is checked and served on its own thread.
    void run();
    /// Stops accepting, ends every open connection and waits for their threads.
    void stop();

    [[nodiscard]] std::size_t activeConnections() const { return active_.load(); }

  private:
    void serve(int fd);
    void serveChecked(int fd, const CheckedProcess& caller);

    Layout layout_;
    HelperDelegate delegate_;
    std::function<void()> scheduleExit_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> active_{0};
    std::mutex mutex_;
    std::condition_variable drained_;
    std::set<int> open_;
};

}  // namespace vesk::helper

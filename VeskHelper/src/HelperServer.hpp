// The listener: a Unix stream socket, one thread per accepted connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include <sys/socket.h>

#include "CallerCheck.hpp"
#include "HelperDelegate.hpp"
#include "vesk/system/EnvironmentLayout.hpp"

namespace vesk::helper {

class HelperServer {
  public:
    /// Connections served at once; past it new connections are closed.
    static constexpr std::size_t kMaxConnections = 256;
    /// Connections of one user other than root served at once.
    static constexpr std::size_t kMaxConnectionsPerUser = 64;
    /// Connections being checked at once, in all and for one user; past it
    /// new connections are closed unread. They never take a serving slot.
    static constexpr std::size_t kMaxPending = 64;
    static constexpr std::size_t kMaxPendingPerUser = 8;
    /// Bytes a message may hold before it counts as large. Only this many
    /// large messages arrive at once (each holds its slot whole, so none
    /// waits on another), and they are answered one at a time.
    static constexpr std::size_t kSmallMessage = std::size_t{1} << 20;
    static constexpr std::size_t kLargeMessagesAtOnce = 2;

    HelperServer(EnvironmentLayout layout, CallerCheck& check, std::function<void()> scheduleExit);
    ~HelperServer();
    HelperServer(const HelperServer&) = delete;
    HelperServer& operator=(const HelperServer&) = delete;

    /// Takes the listening socket the service manager passed (socket
    /// activation), or else creates the socket directory (root's, 0755) and
    /// the socket (0666). Throws std::system_error when it cannot listen; an
    /// inherited socket that is not exactly one Unix stream socket listening
    /// on the layout's path is refused, with one log line.
    void listen();
    /// Accepts connections until stop(); each one is checked and served on its own thread.
    void run();
    /// Stops accepting, ends every open connection and waits for their threads.
    void stop();

    [[nodiscard]] std::size_t activeConnections() const { return active_.load(); }

  private:
    bool adoptInherited();
    void closeListener();
    void serve(int fd, ucred peer);
    void serveChecked(int fd, const CheckedProcess& caller);
    bool takeServingSlot(uid_t uid);
    void release(int fd, uid_t uid, bool served);
    bool acquireLargeSlot();
    void returnLargeSlot();

    EnvironmentLayout layout_;
    HelperDelegate delegate_;
    std::function<void()> scheduleExit_;
    std::atomic<int> listenFd_{-1};
    bool inherited_ = false;  ///< the service manager's socket: never shut down or unlinked
    int wake_ = -1;           ///< eventfd that ends the accept loop
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> active_{0};
    std::mutex mutex_;
    std::condition_variable drained_;
    std::set<int> open_;
    std::size_t pending_ = 0;
    std::size_t served_ = 0;
    std::map<uid_t, std::size_t> pendingByUser_;
    std::map<uid_t, std::size_t> servedByUser_;
    std::mutex budgetMutex_;
    std::condition_variable budgetFreed_;
    std::size_t largeSlots_ = kLargeMessagesAtOnce;
    std::mutex largeMessage_;  // one large message answered at a time
};

}  // namespace vesk::helper

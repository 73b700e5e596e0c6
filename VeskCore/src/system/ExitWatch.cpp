#include "vesk/system/ExitWatch.hpp"

#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace vesk {

namespace {

int pidfdOpen(long pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0U));
}

}  // namespace

ExitWatch::ExitWatch() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_) throw std::system_error(errno, std::generic_category(), "epoll_create1");
}

bool ExitWatch::add(long pid) {
    if (pid <= 0 || watched_.count(pid) != 0) return pid > 0;
    Fd fd(pidfdOpen(pid));
    if (!fd) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = static_cast<std::uint64_t>(pid);
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &event) != 0) return false;
    watched_.emplace(pid, std::move(fd));
    return true;
}

void ExitWatch::remove(long pid) {
    const auto it = watched_.find(pid);
    if (it == watched_.end()) return;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->second.get(), nullptr);
    watched_.erase(it);
}

std::vector<ExitWatch::Exit> ExitWatch::wait(int timeoutMs) {
    std::vector<Exit> ended;
    if (watched_.empty()) return ended;
    std::array<epoll_event, 16> events{};
    int n = -1;
    do {
        n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), timeoutMs);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        const auto pid = static_cast<long>(events[static_cast<std::size_t>(i)].data.u64);
        const auto it = watched_.find(pid);
        if (it == watched_.end()) continue;
        Exit exit{pid, std::nullopt, std::nullopt};
        siginfo_t info{};
        // A child is reaped here, with its status; another's process has
        // none to give (its parent reaps it).
        if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(it->second.get()), &info,
                     WEXITED | WNOHANG) == 0 &&
            info.si_pid != 0) {
            if (info.si_code == CLD_EXITED) {
                exit.exitCode = info.si_status;
            } else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
                exit.signal = info.si_status;
            }
        }
        remove(pid);
        ended.push_back(exit);
    }
    return ended;
}

}  // namespace vesk

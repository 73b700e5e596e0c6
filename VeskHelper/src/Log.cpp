#include "Log.hpp"

#include <unistd.h>

#include <mutex>

namespace vesk::helper {

namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> s;
    return s;
}

void writeAll(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void logLine(std::string_view text) {
    std::string line = "VeskHelper: ";
    line += text;
    // A line end inside a logged value (a path, say) must not forge a second entry.
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    const std::lock_guard lock(sinkMutex());
    if (sink()) {
        sink()(line);
        return;
    }
    line += '\n';
    writeAll(STDERR_FILENO, line);
}

void setLogSink(std::function<void(const std::string&)> s) {
    const std::lock_guard lock(sinkMutex());
    sink() = std::move(s);
}

}  // namespace vesk::helper

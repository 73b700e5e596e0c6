#include "vesk/foundation/Clock.hpp"

#include <atomic>
#include <memory>
#include <mutex>

namespace vesk::Clock {

namespace {

struct Replacement {
    std::mutex mutex;
    std::shared_ptr<const std::function<Date()>> source;
    std::atomic<bool> replaced{false};
};

Replacement& replacement() {
    static Replacement r;
    return r;
}

}  // namespace

Date systemNow() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return Date::fromUnix(std::chrono::duration<double>(since).count());
}

Date now() {
    Replacement& r = replacement();
    if (!r.replaced.load(std::memory_order_acquire)) return systemNow();
    std::shared_ptr<const std::function<Date()>> source;
    {
        const std::lock_guard lock(r.mutex);
        source = r.source;
    }
    return source ? (*source)() : systemNow();
}

void replace(std::function<Date()> source) {
    Replacement& r = replacement();
    const std::lock_guard lock(r.mutex);
    if (source) {
        r.source = std::make_shared<const std::function<Date()>>(std::move(source));
        r.replaced.store(true, std::memory_order_release);
    } else {
        r.source.reset();
        r.replaced.store(false, std::memory_order_release);
    }
}

}  // namespace vesk::Clock

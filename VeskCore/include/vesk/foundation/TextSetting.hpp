// A process-wide text that any thread may read and replace, for the
// library's mutable type-level settings.
#pragma once

#include <mutex>
#include <string>
#include <utility>

namespace vesk {

class TextSetting {
  public:
    explicit TextSetting(std::string initial) : value_(std::move(initial)) {}
    TextSetting(const TextSetting&) = delete;
    TextSetting& operator=(const TextSetting&) = delete;

    [[nodiscard]] std::string get() const {
        const std::lock_guard lock(mutex_);
        return value_;
    }
    void set(std::string value) {
        const std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

  private:
    mutable std::mutex mutex_;
    std::string value_;
};

}  // namespace vesk

// The one shape of the library's asynchronous operations: each completes by
// calling its callback exactly once, on any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vesk {

/// The outcome of an operation without a value: empty on success, otherwise
/// the failure's description (the platform's error text, passed on unchanged).
using Completion = std::function<void(std::optional<std::string> error)>;

/// The outcome of an operation with a value that may fail: the value, or
/// (with no value) the failure's description. Exactly one of them is present.
template <class T>
using ValueCompletion =
    std::function<void(std::optional<T> value, std::optional<std::string> error)>;

}  // namespace vesk

// "Now" for the whole library: the system clock, unless a caller (a test, a
// replay) puts another source in its place. Reads and replacements are safe
// from any thread.
#pragma once

#include <functional>

#include "vesk/foundation/Date.hpp"

namespace vesk::Clock {

/// The current time of the library's clock.
Date now();
/// The system's own clock, whatever source is in place.
Date systemNow();
/// Puts `source` in place of the clock; an empty function restores the
/// system clock.
void replace(std::function<Date()> source);

}  // namespace vesk::Clock

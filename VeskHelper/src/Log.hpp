// The helper's one log sink. Every line begins "VeskHelper: " and goes to
// standard error (the service manager's journal collects it) unless a test
// has installed a sink of its own.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vesk::helper {

/// Writes one line: "VeskHelper: " + text.
void logLine(std::string_view text);

/// Replaces the sink (a null function restores standard error). The sink
/// receives the whole line, prefix included, without a line end.
void setLogSink(std::function<void(const std::string& line)> sink);

}  // namespace vesk::helper

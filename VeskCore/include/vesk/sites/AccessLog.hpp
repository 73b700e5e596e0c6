// The sites' access log, read into the library's request records.
//
// nginx writes the sites' access log in the "vesk" format of its main
// configuration: tab-separated, in this order, remote address, $msec (Unix
// time with milliseconds), method, request URI, protocol, status, body bytes,
// request time (seconds), user agent, host. nginx escapes tabs, quotes and
// control characters in values ("\xHH"), so a tab always separates fields.
// The records' response times are milliseconds, the unit people read them
// in: the human summary and --json say the same numbers.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

#include "vesk/sites/DashboardStats.hpp"

namespace vesk::accesslog {

class AccessLogError : public std::runtime_error {
  public:
    explicit AccessLogError(const std::string& what) : std::runtime_error(what) {}
};

/// What a reading found.
struct Reading {
    RequestTally tally;
    std::size_t requests = 0;
    std::size_t skipped = 0;    ///< lines that are not in the format
    std::size_t truncated = 0;  ///< a last line still being written
};

/// Reads the requests since `since` (Unix time), those to `host` alone when
/// given. The log as it is when opened: what is written after that, and a
/// file renamed or truncated meanwhile, do not disturb the reading. A large
/// log is read in two halves at once, split at a line's start. Throws
/// AccessLogError when it cannot be read.
Reading read(const std::string& path, double since, const std::optional<std::string>& host);

}  // namespace vesk::accesslog

// A running server's or service's use of the machine, from two readings of
// the kernel's process table: the application's measure behind the library's
// ResourceUsage records. Megabytes are MiB (2^20 bytes, as top and ps count
// them), processor use is percent of one processor (a server busy on two is
// at 200), uptime is seconds.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vesk/services/ResourceMetrics.hpp"
#include "vesk/services/ResourceUsage.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::resources {

/// The usage between `earlier` and `later`, taken `seconds` apart: the
/// processor time used in that span as a share of it, and the memory and
/// uptime at `later`. Disk use is not measured here (0).
ResourceUsage between(const procfs::Usage& earlier, const procfs::Usage& later, double seconds);

/// The samples an alert looks at: a minute at the supervisor's ten seconds.
inline constexpr std::size_t kAlertWindow = 6;

/// The alerts of `name` over the thresholds: raised while every one of the
/// last `window` samples is past a threshold (a moment's spike is no
/// alert), each with the lowest of them as its value.
std::vector<ResourceAlert> alertsFor(const std::string& name, const ResourceHistory& history,
                                     std::size_t window = kAlertWindow);
/// An alert as a line: "CPU 93% (over 80%) for a minute".
std::string describe(const ResourceAlert& alert);

}  // namespace vesk::resources

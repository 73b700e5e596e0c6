// A running server's or service's use of the machine, from two readings of
// the kernel's process table: the application's measure behind the library's
// ResourceUsage records. Megabytes are MiB (2^20 bytes, as top and ps count
// them), processor use is percent of one processor (a server busy on two is
// at 200), uptime is seconds.
#pragma once

#include "vesk/services/ResourceUsage.hpp"
#include "vesk/system/ProcFS.hpp"

namespace vesk::resources {

/// The usage between `earlier` and `later`, taken `seconds` apart: the
/// processor time used in that span as a share of it, and the memory and
/// uptime at `later`. Disk use is not measured here (0).
ResourceUsage between(const procfs::Usage& earlier, const procfs::Usage& later, double seconds);

}  // namespace vesk::resources

// Readings of a running process and of the network namespace, and the statistics that the
// benchmark reports. The parsers take the text of a /proc file, so they can be checked
// without a process to read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace lmrbench {

/// CPU time (user and system) that pid has used so far, in nanoseconds; nothing when the
/// process is gone. Reads /proc/PID/schedstat, or utime+stime of /proc/PID/stat without it.
std::optional<std::uint64_t> cpu_time_ns(pid_t pid);

/// The first number of the "name:" line of a /proc/PID/status or /proc/PID/smaps_rollup text;
/// -1 when there is none.
long status_value(std::string_view status, std::string_view name);

/// The pages only this process maps, Private_Clean + Private_Dirty of a /proc/PID/smaps_rollup
/// text, in kB; -1 when either line is missing.
long private_kb(std::string_view smaps_rollup);

/// The counter called name on the "Udp:" lines of a /proc/net/snmp text; -1 when absent.
long udp_counter(std::string_view snmp, std::string_view name);

/// utime+stime, in clock ticks, of a /proc/PID/stat text; -1 when it is malformed.
long stat_cpu_ticks(std::string_view stat);

/// The nearest-rank percentile p (0 < p <= 100) of samples; NaN when there are none.
double percentile(std::vector<double> samples, double p);

/// The middle of the samples that are not NaN (the mean of the two middle ones for an even
/// count); NaN when there are none.
double median(std::vector<double> samples);

}  // namespace lmrbench

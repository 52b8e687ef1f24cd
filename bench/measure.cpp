#include "measure.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "support/process.h"

namespace lmrbench {
namespace {

// The number that starts at text[at], skipping blanks; -1 when there is none.
long number_at(std::string_view text, std::size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
    ++at;
  }
  if (at >= text.size() || text[at] < '0' || text[at] > '9') {
    return -1;
  }
  long value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + (text[at] - '0');
    ++at;
  }
  return value;
}

// The words of one line, split at blanks.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> result;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    if (end > at) {
      result.push_back(line.substr(at, end - at));
    }
    at = end + 1;
  }
  return result;
}

}  // namespace

std::optional<std::uint64_t> cpu_time_ns(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  // schedstat counts in nanoseconds; stat only in ticks of 10 ms, too coarse for one round.
  const std::string schedstat = lmrtest::read_file(base + "/schedstat");
  if (const long ns = number_at(schedstat, 0); ns >= 0) {
    return static_cast<std::uint64_t>(ns);
  }
  const long ticks = stat_cpu_ticks(lmrtest::read_file(base + "/stat"));
  if (ticks < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(ticks) * 1'000'000'000ULL /
         static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
}

long status_value(std::string_view status, std::string_view name) {
  std::size_t at = 0;
  while (at < status.size()) {
    const std::size_t end = std::min(status.find('\n', at), status.size());
    const std::string_view line = status.substr(at, end - at);
    if (line.size() > name.size() && line.substr(0, name.size()) == name &&
        line[name.size()] == ':') {
      return number_at(line, name.size() + 1);
    }
    at = end + 1;
  }
  return -1;
}

long private_kb(std::string_view smaps_rollup) {
  const long clean = status_value(smaps_rollup, "Private_Clean");
  const long dirty = status_value(smaps_rollup, "Private_Dirty");
  return clean < 0 || dirty < 0 ? -1 : clean + dirty;
}

long udp_counter(std::string_view snmp, std::string_view name) {
  // Two "Udp:" lines: the counters' names, then their values in the same order.
  const std::size_t names_at = snmp.find("\nUdp: ");
  if (names_at == std::string_view::npos) {
    return -1;
  }
  const std::size_t names_end = std::min(snmp.find('\n', names_at + 1), snmp.size());
  const std::size_t values_end = std::min(snmp.find('\n', names_end + 1), snmp.size());
  if (names_end >= snmp.size()) {
    return -1;
  }
  const auto names = words(snmp.substr(names_at + 1, names_end - names_at - 1));
  const auto values = words(snmp.substr(names_end + 1, values_end - names_end - 1));
  if (values.empty() || values[0] != "Udp:") {
    return -1;
  }
  for (std::size_t i = 1; i < names.size() && i < values.size(); ++i) {
    if (names[i] == name) {
      return number_at(values[i], 0);
    }
  }
  return -1;
}

long stat_cpu_ticks(std::string_view stat) {
  // The command name may hold blanks and parentheses; the fields start after its last ")".
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) {
    return -1;
  }
  const auto fields = words(stat.substr(close + 1));
  // Counted from the state (field 3): utime is field 14, stime field 15.
  constexpr std::size_t kUtime = 11;
  constexpr std::size_t kStime = 12;
  if (fields.size() <= kStime) {
    return -1;
  }
  const long utime = number_at(fields[kUtime], 0);
  const long stime = number_at(fields[kStime], 0);
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

double percentile(std::vector<double> samples, double p) {
  std::erase_if(samples, [](double x) { return std::isnan(x); });
  if (samples.empty()) {
    return std::nan("");
  }
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  const std::size_t index = std::clamp<std::size_t>(rank, 1, samples.size()) - 1;
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                   samples.end());
  return samples[index];
}

double median(std::vector<double> samples) {
  std::erase_if(samples, [](double x) { return std::isnan(x); });
  if (samples.empty()) {
    return std::nan("");
  }
  std::sort(samples.begin(), samples.end());
  const std::size_t middle = samples.size() / 2;
  return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

}  // namespace lmrbench

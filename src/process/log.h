// The daemon's log: the system log channel, and the budget for the lines that anyone's
// datagrams can cause.
#pragma once

#include <cstdint>
#include <string>

/// Opens the log channel: identity "lmr", LOG_CONS and LOG_PID, facility LOG_DAEMON, and
/// notes whether a system log listens on /dev/log.
void open_log();

/// Whether, when the log was opened, a system log listened on /dev/log: without one, every
/// line is lost (LOG_CONS reaches a console only where there is one).
bool system_log_reachable();

/// Passes text to the system log as data, never as a format.
void log_line(int priority, const std::string& text);

/// The lines that anyone's datagrams can cause are limited to kBudgetedLinesPerSecond a
/// second, so that a flood cannot push the lines that matter past the system log's own rate
/// limits; the rest are counted and reported in one line.
struct LogBudget {
  std::uint32_t second = 0;  // the second that used counts lines for
  int used = 0;
  long held = 0;  // lines held back since the last report
};
constexpr int kBudgetedLinesPerSecond = 10;

/// True when a budgeted line may be logged at second now; otherwise counts it as held back.
bool within_budget(LogBudget& budget, std::uint32_t now);

/// In a second after the lines held back: their number, once; otherwise 0.
long take_held_back(LogBudget& budget, std::uint32_t now);

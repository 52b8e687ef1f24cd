#include "process/log.h"

#include <syslog.h>

#include <utility>

void open_log() { openlog("lmr", LOG_CONS | LOG_PID, LOG_DAEMON); }

void log_line(int priority, const std::string& text) { syslog(priority, "%s", text.c_str()); }

bool within_budget(LogBudget& budget, std::uint32_t now) {
  if (now != budget.second) {
    budget.second = now;
    budget.used = 0;
  }
  if (budget.used < kBudgetedLinesPerSecond) {
    ++budget.used;
    return true;
  }
  ++budget.held;
  return false;
}

long take_held_back(LogBudget& budget, std::uint32_t now) {
  if (now == budget.second || budget.held == 0) {
    return 0;
  }
  return std::exchange(budget.held, 0);
}

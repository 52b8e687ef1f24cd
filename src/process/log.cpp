#include "process/log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace {

// Set once by open_log: whether the log channel leads anywhere.
bool log_reachable = false;

// Whether something accepts a connection on /dev/log, as syslog(3) connects: a datagram
// socket first, else a stream one.
bool listens_on_dev_log() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd == -1) {
      continue;
    }
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (connected) {
      return true;
    }
  }
  return false;
}

}  // namespace

void open_log() {
  openlog("lmr", LOG_CONS | LOG_PID, LOG_DAEMON);
  log_reachable = listens_on_dev_log();
}

bool system_log_reachable() { return log_reachable; }

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

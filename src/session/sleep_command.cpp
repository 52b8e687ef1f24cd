#include "session/sleep_command.h"

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <string_view>

#include "net/exit_status.h"
#include "process/log.h"
#include "process/startup.h"

extern char** environ;

namespace {

constexpr const char* kShell = "/bin/sh";
constexpr std::string_view kCommandFailed = "Failed to execute ";

// How long the wait for the sleep command sleeps between looks at the termination flag.
constexpr int kWaitSliceMilliseconds = 1000;

// The status of a child that has ended, as a shell tells it; the child is then gone.
int ended_with(SleepChild& child, int wait_status, const std::string& command) {
  if (child.fd != -1) {
    close(child.fd);
  }
  child = SleepChild{};
  if (command_not_run(wait_status)) {
    log_line(LOG_WARNING, std::string(kCommandFailed).append(command));
  }
  return shell_status(wait_status);
}

}  // namespace

bool command_not_run(int wait_status) {
  return WIFEXITED(wait_status) && (WEXITSTATUS(wait_status) == exit_status::kShellCannotExecute ||
                                    WEXITSTATUS(wait_status) == exit_status::kShellNotFound);
}

SleepChild start_sleep_command(std::string command) {
  // The child gets default handling and an empty mask for the signals the daemon catches,
  // so the command can be stopped like any other.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::array<char, 3> shell_name{'s', 'h', '\0'};
  std::array<char, 3> dash_c{'-', 'c', '\0'};
  std::array<char*, 4> arguments{shell_name.data(), dash_c.data(), command.data(), nullptr};
  SleepChild child;
  if (posix_spawn(&child.pid, kShell, nullptr, &attributes, arguments.data(), environ) != 0) {
    child.pid = -1;
  } else {
    // A raw call: glibc's <sys/pidfd.h> of this generation lacks C linkage in C++.
    child.fd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
  }
  posix_spawnattr_destroy(&attributes);
  return child;
}

std::optional<int> sleep_command_ended(SleepChild& child, const std::string& command) {
  if (child.pid == -1) {
    return ended_with(child, exit_status::kShellNotFound << 8, command);
  }
  int status = 0;
  const pid_t waited = waitpid(child.pid, &status, WNOHANG);
  if (waited == child.pid) {
    return ended_with(child, status, command);
  }
  if (waited == -1 && errno != EINTR) {
    return ended_with(child, exit_status::kShellNotFound << 8, command);
  }
  return std::nullopt;
}

int wait_for_sleep_command(SleepChild& child, const std::string& command) {
  // Looks at the termination flag at least once a second, so that SIGTERM or SIGINT ends the
  // daemon even while a sleep command hangs.
  for (;;) {
    exit_if_terminated();
    if (const auto status = sleep_command_ended(child, command)) {
      return *status;
    }
    // The descriptor becomes readable when the child ends; a signal cuts the sleep short.
    pollfd ready{child.fd, POLLIN, 0};
    poll(&ready, child.fd == -1 ? 0 : 1,
         child.fd == -1 ? kWaitSliceMilliseconds / 10 : kWaitSliceMilliseconds);
  }
}

int run_sleep_command(const std::string& command) {
  SleepChild child = start_sleep_command(command);
  return wait_for_sleep_command(child, command);
}

int shell_status(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return exit_status::kSignalBase + WTERMSIG(wait_status);
  }
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : exit_status::kShellNotFound;
}

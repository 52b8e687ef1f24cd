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

// Waits for the child, looking at the termination flag at least once a second, so that
// SIGTERM or SIGINT ends the daemon even while a sleep command hangs.
int wait_for_command(pid_t child) {
  // A raw call: glibc's <sys/pidfd.h> of this generation lacks C linkage in C++.
  const auto child_fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  int status = 0;
  for (;;) {
    exit_if_terminated();
    const pid_t waited = waitpid(child, &status, WNOHANG);
    if (waited == child || (waited == -1 && errno != EINTR)) {
      break;
    }
    // The descriptor becomes readable when the child ends; a signal cuts the sleep short.
    pollfd ready{child_fd, POLLIN, 0};
    poll(&ready, child_fd == -1 ? 0 : 1,
         child_fd == -1 ? kWaitSliceMilliseconds / 10 : kWaitSliceMilliseconds);
  }
  if (child_fd != -1) {
    close(child_fd);
  }
  return status;
}

}  // namespace

bool command_not_run(int wait_status) {
  return WIFEXITED(wait_status) && (WEXITSTATUS(wait_status) == exit_status::kShellCannotExecute ||
                                    WEXITSTATUS(wait_status) == exit_status::kShellNotFound);
}

int run_sleep_command(std::string command) {
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
  pid_t child = -1;
  const int spawned = posix_spawn(&child, kShell, nullptr, &attributes, arguments.data(), environ);
  posix_spawnattr_destroy(&attributes);
  const int wait_status = spawned == 0 ? wait_for_command(child) : exit_status::kShellNotFound << 8;
  if (command_not_run(wait_status)) {
    log_line(LOG_WARNING, std::string(kCommandFailed).append(command));
  }
  return shell_status(wait_status);
}

int shell_status(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return exit_status::kSignalBase + WTERMSIG(wait_status);
  }
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : exit_status::kShellNotFound;
}

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "process/log.h"
#include "process/startup.h"

namespace {

// Mode of a new PID file before the umask, as fopen would create it.
constexpr mode_t kPidFileMode = 0666;

// Points descriptors 0, 1 and 2 at /dev/null. Leaving them closed would hand those numbers
// to the next files the daemon opens, and the suspend command would then read the
// daemon's socket as its input and write its messages into whatever got 1 and 2.
bool attach_standard_descriptors_to_null() {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd == -1) {
    return false;
  }
  bool attached = true;
  for (int standard_fd = STDIN_FILENO; standard_fd <= STDERR_FILENO; ++standard_fd) {
    if (null_fd != standard_fd && dup2(null_fd, standard_fd) == -1) {
      attached = false;
    }
  }
  if (null_fd > STDERR_FILENO) {
    close(null_fd);
  }
  return attached;
}

}  // namespace

void daemonize() {
  const pid_t child = fork();
  if (child == -1) {
    fatal_exit("Error forking");
  }
  if (child > 0) {
    // The parent leaves without flushing or logging anything: the log and stdio belong to
    // the child now. Its copy of the keys goes first.
    wipe_keys_before_exit();
    _exit(0);
  }
  setsid();
  // Started with 0, 1 or 2 closed, the launcher's start line put the log socket on one of
  // them. It is closed first, so that /dev/null takes all three, and opened again above
  // them by the child's first line.
  closelog();
  const bool attached = attach_standard_descriptors_to_null();
  open_log();
  if (!attached) {
    fatal_exit("Error redirecting standard descriptors to /dev/null");
  }
}

void write_pid_file(const std::string& path) {
  // O_NOFOLLOW refuses a symbolic link planted where the file should be, so the daemon
  // never truncates a file of someone else's choosing.
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kPidFileMode);
  if (fd == -1) {
    fatal_exit("Error creating PID file");
  }
  const std::string line = std::to_string(getpid()) + "\n";
  // Errors while writing or closing are not reported; the file was created, which is what
  // start-up checks.
  [[maybe_unused]] const ssize_t written = write(fd, line.data(), line.size());
  close(fd);
}

bool remove_pid_file(const std::string& path) { return std::remove(path.c_str()) == 0; }

#include <syslog.h>

#include "net/listener.h"
#include "process/keys.h"
#include "process/log.h"
#include "process/notify.h"
#include "process/startup.h"
#include "session/session_loop.h"

int main(int argc, char* argv[]) {
  // First of all, so that a signal during start-up is never lost or fatal.
  install_termination_handling();
  Settings settings = read_settings(argc, argv);  // exits on --help or a bad option
  if (settings.check_keys) {
    return check_keys(settings);
  }
  // Before the log opens, so that standard error is still the launcher's and no log socket
  // can sit on descriptor 2 when a refusal is written there.
  const std::string key_refused = load_keys(settings);
  wipe_at_exit(settings.keys);  // whichever way the process ends from here on
  open_log();
  // From here on a termination signal ends start-up before the next step (the start line,
  // the fork, the PID file, the bind), with its own log line: the log is open for it.
  exit_if_terminated();
  log_line(LOG_INFO, "Starting Lomarind...");
  if (!key_refused.empty()) {
    fatal_exit(key_refused, true);
  }
  exit_if_terminated();
  if (settings.background) {
    daemonize();  // returns only in the child
  }
  exit_if_terminated();
  if (!settings.pid_file_path.empty()) {
    write_pid_file(settings.pid_file_path);  // after the fork, so it names the serving process
  }
  exit_if_terminated();
  open_listener(settings.port);  // does not return on failure
  if (settings.ipv6) {
    open_ipv6_listener(settings.port);  // does not return on failure
  }
  notify_ready();  // only now: a service manager waiting for this knows that the port is ours
  return run_session_loop(settings);
}

// The sleep command that a SUSPEND runs: started through /bin/sh, waited for, and its end told
// as a shell tells it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

/// A sleep command started and not yet waited for: its process and a descriptor that becomes
/// readable when it ends (-1 when the system gives none).
struct SleepChild {
  pid_t pid = -1;
  int fd = -1;
};

/// Starts command ("systemctl suspend", or the verb of --sleep) through /bin/sh, with the
/// termination signals at their defaults. The pid is -1 when it could not be started.
SleepChild start_sleep_command(std::string command);

/// The command's exit status as a shell gives it once it has ended, without waiting; empty
/// while it runs. Logs a warning when it could not be found or executed.
std::optional<int> sleep_command_ended(SleepChild& child, const std::string& command);

/// Waits for the command; a termination signal that arrives first ends the process
/// (exit_if_terminated). Returns its status as sleep_command_ended does.
int wait_for_sleep_command(SleepChild& child, const std::string& command);

/// Starts command and waits for it: 0 when it succeeded, 127 when it could not be started,
/// 128 + N when signal N ended it.
int run_sleep_command(const std::string& command);

/// The exit status a shell gives for a wait status.
int shell_status(int wait_status);

/// True when a shell's wait status says the command could not be found or executed.
bool command_not_run(int wait_status);

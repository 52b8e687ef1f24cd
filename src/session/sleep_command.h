// The sleep command that a SUSPEND runs: started through /bin/sh, waited for, and its end told
// as a shell tells it.
#pragma once

#include <string>

/// Runs command ("systemctl suspend", or the verb of --sleep) through /bin/sh and waits for it;
/// a termination signal that arrives first ends the process (exit_if_terminated). Logs a warning
/// when it cannot be started or found. Returns its exit status as a shell gives it: 0 when it
/// succeeded, 127 when it could not be started, 128 + N when signal N ended it.
int run_sleep_command(std::string command);

/// The exit status a shell gives for a wait status.
int shell_status(int wait_status);

/// True when a shell's wait status says the command could not be found or executed.
bool command_not_run(int wait_status);

// The process's face: configuration, command line, log channel, termination
// handling, fatal exit, daemon mode and the PID file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "key/key.h"
#include "net/protocol.h"

/// What reading the command line came to.
enum class OptionsOutcome {
  kRun,
  kHelp,
  kInvalidOption,
  kInvalidPort,
  kInvalidSleepVerb,
  kInvalidInterface
};

/// Everything the daemon runs with: read once at start-up, then handed down read-only.
struct Settings {
  bool background = false;
  int port = protocol::kDefaultPort;
  std::string pid_file_path;                 // empty: no PID file
  std::optional<std::string> key_file_path;  // none: keyless (an empty name is a file refused)
  std::string sleep_verb = "suspend";        // what a SUSPEND runs "systemctl" with
  bool ignore_inhibitors = false;            // run it even while an inhibitor blocks sleep
  bool check_keys = false;                   // --check: check the key file and end
  std::vector<std::string> wake_interfaces;  // the relay's interfaces; empty: every one
  bool ipv6 = false;                         // --ipv6: a second socket, for IPv6 peers
  KeySet keys;                               // load_keys fills it from key_file_path
};

/// Parses argv with getopt_long into settings, stopping at help or at the first error.
/// Non-option words are ignored wherever they stand, whatever the environment holds.
/// Resets the parser first, so it may be called more than once. getopt_long itself
/// writes its diagnostic for an unknown option or a missing argument to standard error.
OptionsOutcome parse_options(int argc, char* argv[], Settings& settings);

/// Converts a port argument as base 10 (leading white space and a sign allowed, stops at
/// the first non-digit, no digits is 0); returns -1 when the value is outside 1 to 65535.
int port_from_text(const char* text);

/// Reads the command line into the settings. Does not return on --help (status 0) or on an
/// invalid option, port or sleep verb (status 1).
Settings read_settings(int argc, char* argv[]);

/// Writes the help text to standard output.
void print_usage();

/// Names the keys that every way out of the process wipes: exit_if_terminated, fatal_exit and
/// daemon mode's parent wipe them before they end it (the QUIT path destroys them, which wipes
/// them, as main returns). keys must live as long as the process.
void wipe_at_exit(KeySet& keys);

/// Wipes the keys named by wipe_at_exit; for a way out that ends the process at once.
void wipe_keys_before_exit();

/// Logs message at LOG_ERR, closes the log, wipes the keys and ends the process with status 1;
/// once a termination signal has arrived, ends as exit_if_terminated does instead. When the
/// system log cannot be reached, also writes message to standard error, with the error of
/// the failed call unless told_already (the message is one standard error has had).
[[noreturn]] void fatal_exit(const std::string& message, bool told_already = false);

/// The handler for SIGTERM and SIGINT: records the signal and does nothing else.
extern "C" void handle_termination_signal(int signal_number);

/// The handler for SIGHUP: records that the keys are to be read again.
extern "C" void handle_reload_signal(int signal_number);

/// Installs handle_termination_signal for SIGTERM, then SIGINT, and handle_reload_signal for
/// SIGHUP, without SA_RESTART, so that a blocking receive or wait returns early with EINTR.
void install_termination_handling();

/// True once for each SIGHUP (or several that came together) since the last call.
bool take_reload_request();

/// If a termination signal has arrived: logs so, closes the log, wipes the keys and exits with
/// status 0.
void exit_if_terminated();

/// Detaches from the terminal in a child process. Returns only in the child.
void daemonize();

/// Writes the calling process's number and a line feed to path. Returns only on success.
void write_pid_file(const std::string& path);

/// Deletes the PID file; returns true when it was deleted.
bool remove_pid_file(const std::string& path);

// The daemon's keys: read at start-up, read again on SIGHUP (systemctl reload), and checked
// without serving (--check).
#pragma once

#include <string>

#include "process/startup.h"

/// Reads the key file, if one is set, into settings.keys and makes the process non-dumpable.
/// Returns "" when keyless or loaded; otherwise writes the refusal to standard error and
/// returns it.
std::string load_keys(Settings& settings);

/// --check: reads the key file as a start would and says what came of it, on standard output
/// (the file and its keys' names) or as load_keys refuses it; returns the exit status, 0 when
/// a daemon would start with the file.
int check_keys(Settings& settings);

/// What reading the key file again came to: the line to log, at its priority.
struct Reload {
  int priority;
  std::string line;
};

/// Reads settings' key file again. A file a start would refuse leaves settings.keys as they
/// were (the line says why); otherwise the new keys replace them, and the old ones are wiped.
/// No key's pointer into settings.keys may be held across it.
Reload reload_keys(Settings& settings);

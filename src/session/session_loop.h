// The loop that serves the daemon's port: it receives, reads the clocks, takes the turn
// (session/session_turn.h), does what the turn names and carries out its effect.
#pragma once

#include "process/startup.h"

/// Serves the listening socket until a QUIT has been carried out, then returns 0: keyless
/// sessions, or keyed commands when settings hold keys. On SIGHUP it reads the key file
/// again into settings.keys (process/keys.h), once no SUSPEND waits for its sleep command.
int run_session_loop(Settings& settings);

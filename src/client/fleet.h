// The fleet: every host of one call, each over a socket of its own, as many at once as the
// open-file limit allows (client/schedule.h). It resolves the names, runs each host's exchange
// (client/exchange.h) in one loop, and prints each host's line as it finishes.
#pragma once

#include "client/arguments.h"
#include "key/key.h"

/// Suspends or stops the daemons of all of arguments.targets, asks them how they are (status),
/// or wakes them and waits for their daemons (wake --wait), printing each host's line as it
/// finishes; each host's time limit counts from when it is first asked. With keys (not null),
/// each host's exchange is keyed with the key for its HOST word (key_for), which every target
/// must have. wake --via (arguments.relay) asks the relay, with its key, to send each MAC's
/// magic packet, then with --wait awaits each HOST relayed; it needs keys. Returns the exit
/// status.
int run_command(const Arguments& arguments, const KeySet* keys = nullptr);

// lomarind-bench --fleet: one call of the client to a fleet of real daemons at once, keyless
// and keyed, timed from the client's start.
#pragma once

#include <string>

namespace lmrbench {

struct FleetSetup {
  int hosts = 1000;
  int calls = 5;  // timed calls per fleet, after a first one that is reported on its own
  std::string daemon_path;
  std::string client_path;
  std::string work_dir;  // the benchmark's own directory; every file goes under it
};

/// Starts setup.hosts keyless daemons on ports of 127.0.0.1 in this (private) network
/// namespace, times setup.calls + 1 calls of the client that suspend all of them, checking
/// every host's line, the exit status and each daemon's one run of systemctl per call, and
/// stops them by pid; then the same with a key file of its own for each daemon and one for
/// the client that holds every key. Prints the figures. Needs the fake systemctl first on
/// PATH and the log socket free. Throws std::runtime_error, with the daemons ended, when a
/// call does not suspend every host.
void measure_fleet(const FleetSetup& setup);

}  // namespace lmrbench

// lomarind-bench --fleet: one call of the client to a fleet of real daemons at once, keyless
// and keyed, timed from the client's start; --fleet-standin: one call to up to 10 000 hosts
// that a stand-in answers for (bench/standin.h), with the client's open-file limit chosen.
#pragma once

#include <sys/resource.h>

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

struct StandinSetup {
  int hosts = 10000;
  int calls = 5;      // timed calls per kind, after a first one that is reported on its own
  rlim_t nofile = 0;  // the client's open-file limit, soft and hard; 0: the benchmark's own
  std::string client_path;
  std::string work_dir;
};

/// Starts a stand-in for setup.hosts daemons at 127.0.X.Y (bench/standin.h) on port 9 of this
/// (private) network namespace, and times setup.calls + 1 calls of the client that suspend all
/// of them, keyless and then keyed (each address with a key of its own, the client's file with
/// all of them), checking every host's line, the exit status and that each address carried out
/// exactly one SUSPEND per call. Prints the figures. Throws std::runtime_error when a call does
/// not suspend every host.
void measure_standin_fleet(const StandinSetup& setup);

}  // namespace lmrbench

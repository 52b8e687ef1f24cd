// lomarind: suspends or stops Lomarind daemons on other hosts, and wakes machines.
#include <cstdio>
#include <string>

#include "client/arguments.h"
#include "client/exchange.h"

int main(int argc, char* argv[]) {
  Arguments arguments;
  const std::string error = parse_arguments(argc, argv, arguments);
  if (!error.empty()) {
    (void)std::fprintf(stderr, "lomarind: %s\nTry 'lomarind --help'.\n", error.c_str());
    return 1;
  }
  switch (arguments.command) {
  case Command::kHelp:
    print_help();
    return 0;
  case Command::kWake:
    return send_wake(arguments.sleepers, arguments.wake_address, arguments.wake_port);
  case Command::kSuspend:
  case Command::kQuit:
    break;
  }
  return run_command(arguments.command, arguments.targets, arguments.time_limit);
}

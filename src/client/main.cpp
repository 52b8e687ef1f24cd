// lomarind: suspends or stops Lomarind daemons on other hosts, and wakes machines.
#include <cstdio>
#include <string>

#include "client/arguments.h"
#include "client/exchange.h"
#include "key/key.h"

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
  case Command::kKeygen: {
    const std::string failure = write_new_key_file(arguments.key_file);
    if (!failure.empty()) {
      (void)std::fprintf(stderr, "lomarind: %s\n", failure.c_str());
      return 1;
    }
    (void)std::printf("%s: new key written (mode 0600)\n", arguments.key_file.c_str());
    return 0;
  }
  case Command::kSuspend:
  case Command::kQuit:
    break;
  }
  if (arguments.key_file.empty()) {
    return run_command(arguments.command, arguments.targets, arguments.time_limit);
  }
  // The same checks as the daemon's: a key that others may read proves nothing.
  Key key;
  const std::string failure = read_key_file(arguments.key_file, key);
  if (!failure.empty()) {
    (void)std::fprintf(stderr, "lomarind: %s\n", failure.c_str());
    return 1;
  }
  return run_command(arguments.command, arguments.targets, arguments.time_limit, &key);
}

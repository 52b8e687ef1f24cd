// lomarind: suspends or stops Lomarind daemons on other hosts, and wakes machines.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "client/arguments.h"
#include "client/fleet.h"
#include "client/help.h"
#include "client/wake.h"
#include "key/key.h"
#include "key/key_file.h"
#include "net/exit_status.h"

namespace {

// A command line that cannot be right: nothing was sent, and help is one call away.
int refuse(const std::string& reason) {
  (void)std::fprintf(stderr, "lomarind: %s\nTry 'lomarind --help'.\n", reason.c_str());
  return exit_status::kUsage;
}

// A good command line that cannot be carried out (a key file, the system): the help would
// not say anything about it.
int fail(const std::string& reason) {
  (void)std::fprintf(stderr, "lomarind: %s\n", reason.c_str());
  return exit_status::kUsage;
}

// This machine's name up to its first dot: what a host's key file calls its key by default.
std::string own_name() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) {
    return "";
  }
  const std::string full(name.data());
  return full.substr(0, full.find('.'));
}

// A FILE that starts with '~' and is not there was most likely meant for the shell to expand,
// which it does not after '=' (--key-file=~/keys): the fix is on the command line, so say it.
std::string tilde_hint(const std::string& path) {
  struct stat found {};
  if (!path.starts_with('~') || lstat(path.c_str(), &found) == 0) {
    return "";
  }
  std::string hint = " (the shell does not expand ~ after '=': write --key-file " + path;
  if (path.starts_with("~/")) {
    hint.append(" or --key-file=\"$HOME").append(path, 1).append("\"");
  }
  return hint + ")";
}

int keygen(const Arguments& arguments) {
  if (arguments.keygen_host.empty()) {
    // The commonest mistake gets its own words: the file is there already.
    struct stat existing {};
    if (lstat(arguments.key_file.c_str(), &existing) == 0) {
      return fail(arguments.key_file + " exists: keygen FILE never overwrites a file; keygen " +
                  arguments.key_file + " HOST adds a key for HOST to it");
    }
    const std::string failure = write_new_key_file(arguments.key_file);
    if (!failure.empty()) {
      return fail(failure);
    }
    (void)std::printf("%s: new key written (mode 0600)\n", arguments.key_file.c_str());
    return 0;
  }
  const std::string name = arguments.keygen_name.empty() ? own_name() : arguments.keygen_name;
  for (const std::string& given : {arguments.keygen_host, arguments.keygen_name}) {
    if (const std::string problem = key_name_problem(given); !given.empty() && !problem.empty()) {
      return refuse(problem);
    }
  }
  if (!valid_key_name(name)) {
    return fail("this machine's name '" + name + "' cannot name a key; give a NAME");
  }
  // The daemon's line is the one thing on standard output, so that it can be piped to the
  // host; it holds the key, as the host's key file will.
  std::string daemon_line;
  const std::string failure =
      add_host_key(arguments.key_file, arguments.keygen_host, name, daemon_line);
  if (!failure.empty()) {
    return fail(failure);
  }
  (void)std::fprintf(stderr,
                     "lomarind: %s: new key for %s added; add the line below to the key file "
                     "of the daemon on %s\n",
                     arguments.key_file.c_str(), arguments.keygen_host.c_str(),
                     arguments.keygen_host.c_str());
  (void)std::printf("%s\n", daemon_line.c_str());
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  Arguments arguments;
  const std::string error = parse_arguments(argc, argv, arguments);
  if (!error.empty()) {
    return refuse(error);
  }
  switch (arguments.command) {
  case Command::kHelp:
    print_help();
    return 0;
  case Command::kWake:
    if (!arguments.wait && arguments.relay.name.empty()) {
      return send_wake(arguments.sleepers, arguments.wake_address, arguments.wake_port);
    }
    break;
  case Command::kKeygen:
    return keygen(arguments);
  case Command::kSuspend:
  case Command::kQuit:
  case Command::kStatus:
    break;
  }
  if (arguments.key_file.empty()) {
    return run_command(arguments);
  }
  // A core dump would hold the keys; so would another process's look at this one.
  if (!keep_out_of_core_dumps()) {
    return fail("the process could not be made non-dumpable");
  }
  // The same checks as the daemon's: a key that others may read proves nothing.
  KeySet keys;
  const std::string failure =
      read_key_file(arguments.key_file, keys, false, kMostClientKeyFileBytes);
  if (!failure.empty()) {
    return fail(failure + tilde_hint(arguments.key_file));
  }
  std::vector<Target> asked = arguments.targets;
  if (!arguments.relay.name.empty()) {
    asked.push_back(arguments.relay);
  }
  for (const Target& target : asked) {
    if (key_for(keys, target) == nullptr) {
      return fail(arguments.key_file + " holds no key for " + target.argument +
                  " and no default key");
    }
  }
  return run_command(arguments, &keys);
}

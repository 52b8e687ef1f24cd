#include "process/startup.h"

#include <getopt.h>
#include <signal.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "key/key_file.h"
#include "process/log.h"
#include "process/notify.h"

namespace {

constexpr const char* kUsage =
    "Usage: server [OPTIONS]\n"
    "Options:\n"
    "  -D, --background      Run in the background as a daemon.\n"
    "  -p, --port [PORT]     Specify the port number (default: 9).\n"
    "  --pidfile [FILE]      Create a PID file for the process.\n"
    "  --key-file=FILE       Accept only commands proven with a key in FILE.\n"
    "  --sleep=VERB          On SUSPEND, run systemctl VERB (default: suspend).\n"
    "  --ignore-inhibitors   Sleep even while an inhibitor blocks sleep.\n"
    "  --check               Check the key file (--key-file) and exit.\n"
    "  --wake-interface=IF   Relay wakes on interface IF only (default: on every one).\n"
    "  --ipv6                Also listen on IPv6 (a second socket, same port).\n"
    "  -h, --help            Display this help message.\n"
    "The manual is lomarind-server(8): the protocol, keyed mode, the log, the unit.\n";

constexpr const char* kInvalidOption = "Invalid option\n";
constexpr const char* kInvalidPort = "Invalid port number.\n";
constexpr const char* kInvalidSleepVerb =
    "Invalid sleep verb: use suspend, hibernate, hybrid-sleep or suspend-then-hibernate.\n";
constexpr const char* kInvalidInterface =
    "Invalid interface name: 1 to 15 characters, none of them '/', ':' or white space.\n";
constexpr const char* kShuttingDown = "Received termination signal. Shutting down...";

constexpr long kLowestPort = 1;
constexpr long kHighestPort = 65535;

// The sleep states that systemctl and logind offer; --sleep accepts exactly these.
constexpr std::array<std::string_view, 4> kSleepVerbs = {"suspend", "hibernate", "hybrid-sleep",
                                                         "suspend-then-hibernate"};

// The values getopt_long returns for --sleep and --ignore-inhibitors: above every character,
// so no short option.
constexpr int kSleepOption = 256;
constexpr int kIgnoreInhibitorsOption = 257;
constexpr int kCheckOption = 258;
constexpr int kWakeInterfaceOption = 259;
constexpr int kIpv6Option = 260;

volatile std::sig_atomic_t termination_signal = 0;
volatile std::sig_atomic_t reload_requested = 0;

// The keys that the ways out which end the process at once wipe first. Process-wide, as the
// termination flag is: the fatal exit and the termination exit reach them from anywhere.
KeySet* keys_to_wipe = nullptr;

}  // namespace

int port_from_text(const char* text) {
  // strtol into a type wider than the port, so that an overflowing argument is seen as
  // out of range instead of wrapping into a valid-looking port.
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (errno == ERANGE || value < kLowestPort || value > kHighestPort) {
    return -1;
  }
  return static_cast<int>(value);
}

namespace {

const option kLongOptions[] = {
    {"background", no_argument, nullptr, 'D'},
    {"port", optional_argument, nullptr, 'p'},
    {"pidfile", required_argument, nullptr, 0},
    {"key-file", required_argument, nullptr, 0},  // keyed mode's key file
    {"sleep", required_argument, nullptr, kSleepOption},
    {"ignore-inhibitors", no_argument, nullptr, kIgnoreInhibitorsOption},
    {"check", no_argument, nullptr, kCheckOption},
    {"wake-interface", required_argument, nullptr, kWakeInterfaceOption},
    {"ipv6", no_argument, nullptr, kIpv6Option},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// An interface name as the kernel takes one: at most IFNAMSIZ - 1 bytes, and none that a
// path or an address could be mistaken for.
bool valid_interface_name(std::string_view name) {
  constexpr std::size_t kMostInterfaceBytes = 15;
  return !name.empty() && name.size() <= kMostInterfaceBytes && name != "." && name != ".." &&
         name.find_first_of("/: \t\n") == std::string_view::npos;
}

// Takes one option that getopt_long returned (result, with long_index for a long one) into
// settings; empty when reading goes on, otherwise the outcome that ends it.
std::optional<OptionsOutcome> take_option(int result, int long_index, Settings& settings) {
  switch (result) {
  case 1:
    // A non-option word: accepted and ignored, wherever it stands.
    break;
  case 'D':
    settings.background = true;
    break;
  case 'p':
    // "--port" with no "=PORT" attached leaves the port as it was.
    if (optarg != nullptr) {
      const int port = port_from_text(optarg);
      if (port < 0) {
        return OptionsOutcome::kInvalidPort;
      }
      settings.port = port;
    }
    break;
  case 0:
    if (long_index >= 0 && std::strcmp(kLongOptions[long_index].name, "pidfile") == 0 &&
        optarg != nullptr) {
      settings.pid_file_path = optarg;
    }
    if (long_index >= 0 && std::strcmp(kLongOptions[long_index].name, "key-file") == 0 &&
        optarg != nullptr) {
      settings.key_file_path = optarg;
    }
    break;
  case kSleepOption:
    if (std::find(kSleepVerbs.begin(), kSleepVerbs.end(), optarg) == kSleepVerbs.end()) {
      return OptionsOutcome::kInvalidSleepVerb;
    }
    settings.sleep_verb = optarg;
    break;
  case kIgnoreInhibitorsOption:
    settings.ignore_inhibitors = true;
    break;
  case kCheckOption:
    settings.check_keys = true;
    break;
  case kWakeInterfaceOption:
    if (!valid_interface_name(optarg)) {
      return OptionsOutcome::kInvalidInterface;
    }
    settings.wake_interfaces.emplace_back(optarg);
    break;
  case kIpv6Option:
    settings.ipv6 = true;
    break;
  case 'h':
    return OptionsOutcome::kHelp;
  default:
    return OptionsOutcome::kInvalidOption;
  }
  return std::nullopt;
}

}  // namespace

OptionsOutcome parse_options(int argc, char* argv[], Settings& settings) {
  // Zero makes glibc's parser start over completely, including its internal state.
  optind = 0;
  for (;;) {
    int long_index = -1;
    // The leading '-' hands each non-option word over as option 1, in place, so that
    // options after one are read whatever the environment holds: without it, glibc stops
    // at the first such word when POSIXLY_CORRECT is set.
    const int result = getopt_long(argc, argv, "-Dp:h", kLongOptions, &long_index);
    if (result == -1) {
      return OptionsOutcome::kRun;
    }
    if (const auto outcome = take_option(result, long_index, settings)) {
      return *outcome;
    }
  }
}

Settings read_settings(int argc, char* argv[]) {
  Settings settings;
  switch (parse_options(argc, argv, settings)) {
  case OptionsOutcome::kRun:
    break;
  case OptionsOutcome::kHelp:
    print_usage();
    std::exit(0);
  case OptionsOutcome::kInvalidOption:
    static_cast<void>(std::fputs(kInvalidOption, stderr));
    std::exit(1);
  case OptionsOutcome::kInvalidPort:
    static_cast<void>(std::fputs(kInvalidPort, stderr));
    std::exit(1);
  case OptionsOutcome::kInvalidSleepVerb:
    static_cast<void>(std::fputs(kInvalidSleepVerb, stderr));
    std::exit(1);
  case OptionsOutcome::kInvalidInterface:
    static_cast<void>(std::fputs(kInvalidInterface, stderr));
    std::exit(1);
  }
  return settings;
}

void print_usage() { static_cast<void>(std::fputs(kUsage, stdout)); }

void wipe_at_exit(KeySet& keys) { keys_to_wipe = &keys; }

void wipe_keys_before_exit() {
  if (keys_to_wipe == nullptr) {
    return;
  }
  for (NamedKey& entry : keys_to_wipe->keys) {
    wipe_key(entry.key);
  }
}

void fatal_exit(const std::string& message, bool told_already) {
  const int error = errno;  // of the call that failed, before anything else can change it
  // A termination signal that came in while the failing step ran was sent before its
  // failure showed, and wins as it would have a moment earlier.
  exit_if_terminated();
  log_line(LOG_ERR, message);
  // Without a system log (a container, a minimal install) the line would reach nobody.
  if (!told_already && !system_log_reachable()) {
    const std::string told = message + ": " + std::strerror(error) + "\n";
    static_cast<void>(std::fputs(told.c_str(), stderr));
  }
  closelog();
  wipe_keys_before_exit();
  std::exit(1);
}

extern "C" void handle_termination_signal(int signal_number) {
  if (signal_number == SIGTERM || signal_number == SIGINT) {
    termination_signal = signal_number;
  }
}

extern "C" void handle_reload_signal(int /*signal_number*/) { reload_requested = 1; }

bool take_reload_request() {
  if (reload_requested == 0) {
    return false;
  }
  reload_requested = 0;
  return true;
}

void install_termination_handling() {
  struct sigaction action {};
  action.sa_handler = handle_termination_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = handle_reload_signal;
  sigaction(SIGHUP, &action, nullptr);
  // A launcher may hand over a signal mask with them blocked; they end the daemon all the
  // same. One already pending is taken by the handler as soon as it is unblocked.
  sigset_t termination;
  sigemptyset(&termination);
  sigaddset(&termination, SIGTERM);
  sigaddset(&termination, SIGINT);
  sigaddset(&termination, SIGHUP);
  sigprocmask(SIG_UNBLOCK, &termination, nullptr);
}

void exit_if_terminated() {
  if (termination_signal == 0) {
    return;
  }
  notify_stopping();
  log_line(LOG_INFO, kShuttingDown);
  closelog();
  wipe_keys_before_exit();
  std::exit(0);
}

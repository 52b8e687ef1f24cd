#include "client/arguments.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <cstdio>

#include "net/protocol.h"

namespace {

constexpr const char* kHelp =
    "Usage: lomarind [-p PORT] [-t SECONDS] [--key-file FILE] [--confirm] suspend HOST...\n"
    "       lomarind [-p PORT] [-t SECONDS] [--key-file FILE] quit HOST...\n"
    "       lomarind [-p PORT] [-t SECONDS] [--key-file FILE] status HOST...\n"
    "       lomarind [-b ADDRESS] [-p PORT] wake MAC...\n"
    "       lomarind [-b ADDRESS] [-p PORT] [-t SECONDS] [--key-file FILE]\n"
    "                wake --wait HOST=MAC...\n"
    "       lomarind keygen FILE [HOST [NAME]]\n"
    "       lomarind -h | --help\n"
    "Suspend hosts that run the Lomarind daemon, stop their daemons, ask whether they are\n"
    "awake, or wake machines.\n"
    "\n"
    "Commands:\n"
    "  suspend HOST...  put each HOST to sleep\n"
    "  quit HOST...     stop the daemon on each HOST\n"
    "  status HOST...   ask each HOST's daemon whether it is there, with keyed EHLOs only:\n"
    "                   nothing is carried out, held or (with a key it knows) logged there\n"
    "  wake MAC...      send a Wake-on-LAN magic packet for each MAC (aa:bb:cc:dd:ee:ff)\n"
    "  wake --wait HOST=MAC...\n"
    "                   send MAC's magic packet every second until HOST's daemon answers\n"
    "  keygen FILE      write a new key for keyed sessions to a new FILE (mode 0600)\n"
    "  keygen FILE HOST [NAME]\n"
    "                   add a new key for HOST to FILE (made with mode 0600 if missing) and\n"
    "                   print the line for HOST's key file: the key and NAME (default: the\n"
    "                   name of this machine)\n"
    "\n"
    "HOST is a name or an IPv4 address, optionally followed by :PORT.\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT            the daemons' UDP port, or where wake sends to (default: 9)\n"
    "  -t, --timeout SECONDS      give up on a host after this long (default: 10; wake\n"
    "                             --wait: 60)\n"
    "  --key-file FILE            prove each exchange with the key in FILE for the HOST as\n"
    "                             written, or else its default key (keyed daemons)\n"
    "  --confirm                  suspend, with --key-file: say suspended only once the\n"
    "                             host has stopped answering\n"
    "  --wait                     wake: wait for each HOST's daemon to answer\n"
    "  -b, --broadcast ADDRESS    the IPv4 address wake sends to (default: 255.255.255.255)\n"
    "  -h, --help                 show this help and exit\n"
    "\n"
    "All hosts are handled at once; each gets one line as soon as it is done:\n"
    "  HOST: suspended | stopped | awake | awake after SECONDS s      (status 0)\n"
    "        locked by another client                                 (2)\n"
    "        no answer | command not confirmed | cannot resolve       (3)\n"
    "        needs a key                                              (4)\n"
    "        refused by the host (systemctl exit N) | refused by the host (sleep command\n"
    "        could not run) | refused by the host (systemctl ended by signal N)  (5)\n"
    "        did not sleep                                            (6)\n"
    "        key not known to the host                                (7)\n"
    "        no daemon on port PORT                                   (8)\n"
    "\n"
    "Exit status:\n"
    "  0  every host succeeded (for wake without --wait: every packet was sent)\n"
    "  1  usage error, bad argument or key file; nothing was sent\n"
    "  2  some host stayed locked for the whole time limit; nothing was carried out\n"
    "  3  some host gave no answer, could not be resolved, or got its command without\n"
    "     confirming it: the command may have been carried out, look before asking again\n"
    "  4  some host's daemon needs a key and none was given; nothing was sent to it but\n"
    "     EHLO\n"
    "  5  some host's sleep command failed: the host is awake\n"
    "  6  some host still answered at the time limit (--confirm)\n"
    "  7  some host's daemon does not know the key; nothing was sent to it but EHLO\n"
    "  8  nothing listens on some host's port\n"
    "  With several hosts: the first of 3, 5, 6, 8, 7, 4, 2 that any host has, else 0.\n";

// Where wake sends its magic packets unless -p says otherwise: the discard port, by the
// custom of Wake-on-LAN. It is not the daemon's port, though the two have the same number.
constexpr std::uint16_t kWakePort = 9;
// getopt_long's codes for the options that have no letter.
constexpr int kKeyFileOption = 256;
constexpr int kConfirmOption = 257;
constexpr int kWaitOption = 258;
// How long wake --wait waits for a host unless -t says otherwise: a machine's firmware and
// boot take tens of seconds.
constexpr std::chrono::milliseconds kWakeTimeLimit{60000};
constexpr auto kDaemonPort = static_cast<std::uint16_t>(protocol::kDefaultPort);
constexpr std::chrono::milliseconds kLongestTimeLimit{24L * 60 * 60 * 1000};

std::string quoted(std::string_view text) {
  std::string result = "'";
  result.append(text).append("'");
  return result;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Splits "name:port"; a word without a colon takes default_port.
std::string target_from_word(const std::string& word, std::uint16_t default_port, Target& target) {
  target.argument = word;
  target.name = word;
  target.port = default_port;
  const std::size_t colon = word.find(':');
  if (colon != std::string::npos) {
    target.name = word.substr(0, colon);
    const auto port = parse_port(std::string_view(word).substr(colon + 1));
    if (!port) {
      return "invalid port in " + quoted(word) + " (expected HOST:PORT, PORT from 1 to 65535)";
    }
    target.port = *port;
  }
  if (target.name.empty()) {
    return "invalid HOST " + quoted(word);
  }
  return {};
}

// The options as given, before the command says which of them apply, and the other words in
// their order: the command and its operands.
struct CommandLine {
  std::optional<std::uint16_t> port;
  bool time_limit_given = false;
  bool address_given = false;
  bool help = false;
  std::vector<std::string> words;
};

// The refusal of an option getopt_long did not take. A long option is named by its word
// ("--help=x" takes no value, "--bogus" is unknown); a short one by its letter, which may sit
// inside a cluster such as "-xp".
std::string option_refusal(int option_char, std::string_view word) {
  const std::string name =
      word.starts_with("--") ? std::string(word) : std::string("-") + static_cast<char>(optopt);
  if (option_char == ':') {
    return "option " + quoted(name) + " needs a value";
  }
  return "invalid option " + quoted(name);
}

// Takes one option with its value; the time limit, the wake address and the key file go
// straight into arguments, since every command that accepts them uses them as given.
std::string read_option(int option_char, const char* value, std::string_view word,
                        Arguments& arguments, CommandLine& line) {
  switch (option_char) {
  case 'p':
    line.port = parse_port(value);
    if (!line.port) {
      return "invalid port " + quoted(value) + " (expected 1 to 65535)";
    }
    return {};
  case 't':
    if (const auto limit = parse_seconds(value)) {
      arguments.time_limit = *limit;
    } else {
      return "invalid time limit " + quoted(value) + " (expected seconds above 0, e.g. 10 or 2.5)";
    }
    line.time_limit_given = true;
    return {};
  case 'b':
    if (inet_pton(AF_INET, value, &arguments.wake_address) != 1) {
      return "invalid broadcast address " + quoted(value) +
             " (expected an IPv4 address such as 192.168.1.255)";
    }
    line.address_given = true;
    return {};
  case kKeyFileOption:
    if (*value == '\0') {
      return "option '--key-file' needs a value";
    }
    arguments.key_file = value;
    return {};
  case kConfirmOption:
    arguments.confirm = true;
    return {};
  case kWaitOption:
    arguments.wait = true;
    return {};
  default:
    return option_refusal(option_char, word);
  }
}

// Reads the whole command line into line (and the options that need no command into
// arguments), stopping at the first refusal or at -h, whatever follows them.
std::string read_command_line(int argc, char* argv[], Arguments& arguments, CommandLine& line) {
  static const option kLongOptions[] = {
      {"port", required_argument, nullptr, 'p'},
      {"timeout", required_argument, nullptr, 't'},
      {"broadcast", required_argument, nullptr, 'b'},
      {"help", no_argument, nullptr, 'h'},
      {"key-file", required_argument, nullptr, kKeyFileOption},
      {"confirm", no_argument, nullptr, kConfirmOption},
      {"wait", no_argument, nullptr, kWaitOption},
      {nullptr, 0, nullptr, 0},
  };
  // Zero makes glibc's parser start over completely; our own messages replace its own. The
  // leading '-' hands every word that is not an option back in its place, as option 1, which
  // glibc honours over POSIXLY_CORRECT: the command line reads the same whatever the
  // environment holds, with options before, between or after the other words.
  optind = 0;
  opterr = 0;
  for (;;) {
    // Nothing is reordered, so the word this call looks at is the one optind names now, also
    // while it reads the letters of a cluster such as "-xp" (optind is 0 only before the
    // first call).
    const int at = std::max(optind, 1);
    const std::string_view word = at < argc ? argv[at] : "";
    const int option_char = getopt_long(argc, argv, "-:p:t:b:h", kLongOptions, nullptr);
    if (option_char == -1) {
      break;
    }
    if (option_char == 1) {
      line.words.emplace_back(optarg);
      continue;
    }
    if (option_char == 'h') {
      line.help = true;
      return {};
    }
    std::string refusal = read_option(option_char, optarg, word, arguments, line);
    if (!refusal.empty()) {
      return refusal;
    }
  }
  // Whatever follows "--" is words too.
  for (; optind < argc; ++optind) {
    line.words.emplace_back(argv[optind]);
  }
  return {};
}

// The command a word names; empty for anything else.
std::optional<Command> command_named(std::string_view word) {
  if (word == "suspend") {
    return Command::kSuspend;
  }
  if (word == "quit") {
    return Command::kQuit;
  }
  if (word == "status") {
    return Command::kStatus;
  }
  if (word == "wake") {
    return Command::kWake;
  }
  if (word == "keygen") {
    return Command::kKeygen;
  }
  return std::nullopt;
}

// keygen FILE [HOST [NAME]]: it talks to no host, so no option means anything to it.
std::string read_keygen(const CommandLine& line, const std::vector<std::string>& operands,
                        Arguments& arguments) {
  if (line.port || line.time_limit_given || line.address_given || !arguments.key_file.empty() ||
      arguments.wait || arguments.confirm) {
    return "keygen takes no options";
  }
  if (operands.empty() || operands.size() > 3 || operands.front().empty()) {
    return "keygen needs a FILE, and may take a HOST and a NAME";
  }
  arguments.key_file = operands[0];
  arguments.keygen_host = operands.size() > 1 ? operands[1] : "";
  arguments.keygen_name = operands.size() > 2 ? operands[2] : "";
  return {};
}

// One word of wake --wait: HOST=MAC. The host is asked at its own :PORT or the daemon's
// default port; -p is where the magic packets go.
std::string read_wake_pair(const std::string& operand, Arguments& arguments) {
  const std::size_t equals = operand.find('=');
  if (equals == std::string::npos) {
    return "wake --wait needs HOST=MAC, not " + quoted(operand);
  }
  Target target;
  std::string error = target_from_word(operand.substr(0, equals), kDaemonPort, target);
  if (!error.empty()) {
    return error;
  }
  Sleeper sleeper{operand.substr(equals + 1), {}};
  const auto mac = parse_mac(sleeper.argument);
  if (!mac) {
    return "invalid MAC address " + quoted(sleeper.argument) + " in " + quoted(operand) +
           " (expected HOST=aa:bb:cc:dd:ee:ff)";
  }
  sleeper.mac = *mac;
  arguments.targets.push_back(target);
  arguments.sleepers.push_back(sleeper);
  return {};
}

// wake MAC...: a packet is sent without waiting for anything, and proves nothing. With
// --wait, each word is HOST=MAC and the client waits for HOST's daemon to answer.
std::string read_wake(const CommandLine& line, const std::vector<std::string>& operands,
                      Arguments& arguments) {
  if (arguments.confirm) {
    return "option --confirm applies to suspend only";
  }
  if (!arguments.wait && line.time_limit_given) {
    return "option -t applies to wake only with --wait";
  }
  if (!arguments.wait && !arguments.key_file.empty()) {
    return "option --key-file applies to wake only with --wait";
  }
  for (const std::string& operand : operands) {
    if (arguments.wait) {
      std::string error = read_wake_pair(operand, arguments);
      if (!error.empty()) {
        return error;
      }
      continue;
    }
    Sleeper sleeper{operand, {}};
    const auto mac = parse_mac(sleeper.argument);
    if (!mac) {
      return "invalid MAC address " + quoted(sleeper.argument) +
             (operand.find('=') == std::string::npos
                  ? " (expected six hex pairs such as aa:bb:cc:dd:ee:ff)"
                  : " (HOST=MAC needs --wait)");
    }
    sleeper.mac = *mac;
    arguments.sleepers.push_back(sleeper);
  }
  arguments.wake_port = line.port.value_or(kWakePort);
  if (arguments.wait && !line.time_limit_given) {
    arguments.time_limit = kWakeTimeLimit;
  }
  if (arguments.sleepers.empty()) {
    return arguments.wait ? "wake --wait needs at least one HOST=MAC"
                          : "wake needs at least one MAC";
  }
  return {};
}

// suspend, quit and status HOST...: -p is the port of each HOST that names none of its own.
std::string read_hosts(const std::string& command, const CommandLine& line,
                       const std::vector<std::string>& operands, Arguments& arguments) {
  if (line.address_given) {
    return "option -b applies to wake only";
  }
  if (arguments.wait) {
    return "option --wait applies to wake only";
  }
  if (arguments.confirm && arguments.command != Command::kSuspend) {
    return "option --confirm applies to suspend only";
  }
  // Without a key, the only way to see whether a daemon is up is a plain EHLO, which opens a
  // session there and locks every other client out for five seconds.
  if (arguments.confirm && arguments.key_file.empty()) {
    return "option --confirm needs --key-file: a keyless daemon cannot be asked whether it "
           "is up without opening a session on it";
  }
  for (const std::string& operand : operands) {
    Target target;
    std::string error = target_from_word(operand, line.port.value_or(kDaemonPort), target);
    if (!error.empty()) {
      return error;
    }
    arguments.targets.push_back(target);
  }
  if (arguments.targets.empty()) {
    return command + " needs at least one HOST";
  }
  return {};
}

}  // namespace

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return std::nullopt;
  }
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<std::chrono::milliseconds> parse_seconds(std::string_view text) {
  const std::size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) {
    return std::nullopt;
  }
  const auto digits = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(whole) || !digits(fraction)) {
    return std::nullopt;
  }
  // Leading zeros count for nothing; what is left of a day's seconds has at most 5 digits.
  whole.remove_prefix(std::min(whole.find_first_not_of('0'), whole.size()));
  if (whole.size() > 5) {
    return std::nullopt;
  }
  long milliseconds = 0;
  for (const char c : whole) {
    milliseconds = milliseconds * 10 + (c - '0');
  }
  milliseconds *= 1000;
  long scale = 100;
  for (const char c : fraction.substr(0, 3)) {
    milliseconds += scale * (c - '0');
    scale /= 10;
  }
  // Digits below the millisecond are dropped, but they still make the number above 0 or
  // above a day: a positive limit shorter than a millisecond is one millisecond, not none.
  const bool below =
      fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string_view::npos;
  if (milliseconds == 0 && below) {
    milliseconds = 1;
  }
  const std::chrono::milliseconds limit{milliseconds};
  if (limit <= std::chrono::milliseconds::zero() || limit > kLongestTimeLimit ||
      (limit == kLongestTimeLimit && below)) {
    return std::nullopt;
  }
  return limit;
}

std::optional<Mac> parse_mac(std::string_view text) {
  // "aa:bb:cc:dd:ee:ff" is 6 pairs and 5 separators.
  if (text.size() != 17 || (text[2] != ':' && text[2] != '-')) {
    return std::nullopt;
  }
  const char separator = text[2];
  Mac mac{};
  for (std::size_t i = 0; i < mac.size(); ++i) {
    const std::size_t at = i * 3;
    const int high = hex_value(text[at]);
    const int low = hex_value(text[at + 1]);
    if (high < 0 || low < 0 || (i + 1 < mac.size() && text[at + 2] != separator)) {
      return std::nullopt;
    }
    mac[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return mac;
}

std::string parse_arguments(int argc, char* argv[], Arguments& arguments) {
  arguments.wake_address.s_addr = htonl(INADDR_BROADCAST);
  CommandLine line;
  std::string refusal = read_command_line(argc, argv, arguments, line);
  if (!refusal.empty()) {
    return refusal;
  }
  if (line.help) {
    arguments.command = Command::kHelp;
    return {};
  }
  if (line.words.empty()) {
    return "no command given (expected suspend, quit, status, wake or keygen)";
  }
  const std::string& command = line.words.front();
  const std::optional<Command> named = command_named(command);
  if (!named) {
    return "unknown command " + quoted(command) +
           " (expected suspend, quit, status, wake or keygen)";
  }
  arguments.command = *named;
  const std::vector<std::string> operands(line.words.begin() + 1, line.words.end());
  if (arguments.command == Command::kKeygen) {
    return read_keygen(line, operands, arguments);
  }
  if (arguments.command == Command::kWake) {
    return read_wake(line, operands, arguments);
  }
  return read_hosts(command, line, operands, arguments);
}

void print_help() { (void)std::fputs(kHelp, stdout); }

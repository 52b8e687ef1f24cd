#include "client/arguments.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/protocol.h"

namespace {

// getopt_long's codes for the options that have no letter.
constexpr int kKeyFileOption = 256;
constexpr int kConfirmOption = 257;
constexpr int kWaitOption = 258;
constexpr int kViaOption = 259;
// How long wake --wait waits for a host unless -t says otherwise: a machine's firmware and
// boot take tens of seconds.
constexpr std::chrono::milliseconds kWakeTimeLimit{60000};
constexpr auto kDaemonPort = static_cast<std::uint16_t>(protocol::kDefaultPort);

std::string quoted(std::string_view text) {
  std::string result = "'";
  result.append(text).append("'");
  return result;
}

// Splits "name:port"; a word without a colon takes default_port. An IPv6 address is written
// "[address]:port" or "[address]", or bare (it has more than one colon) without a port; a
// link-local one with its interface, as "fe80::1%eth0".
std::string target_from_word(const std::string& word, std::uint16_t default_port, Target& target) {
  target.argument = word;
  target.name = word;
  target.port = default_port;
  std::size_t colon = word.find(':');
  if (word.starts_with('[')) {
    const std::size_t close = word.find(']');
    if (close == std::string::npos || close == 1 ||
        (close + 1 < word.size() && word[close + 1] != ':')) {
      return "invalid HOST " + quoted(word) + " (expected [ADDRESS] or [ADDRESS]:PORT)";
    }
    target.name = word.substr(1, close - 1);
    colon = close + 1 < word.size() ? close + 1 : std::string::npos;
  } else if (colon != std::string::npos && word.find(':', colon + 1) != std::string::npos) {
    colon = std::string::npos;
  }
  if (colon != std::string::npos) {
    target.name = word.starts_with('[') ? target.name : word.substr(0, colon);
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
  std::optional<std::string> via;
  std::vector<std::string> words;
};

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

// The refusal of an option that took a command word as its value, as "--key-file suspend nas"
// does when FILE is left out: the command line reads on as if the next word were the command.
// The option is named as written, long or short; value_name is its value in the help.
std::string took_command(int option_char, std::string_view word, std::string_view value_name,
                         std::string_view command) {
  const std::string name = word.starts_with("--")
                               ? std::string(word.substr(0, word.find('=')))
                               : std::string("-") + static_cast<char>(option_char);
  std::string refusal = "option " + quoted(name) + " took the command " + quoted(command);
  return refusal.append(" as its value (expected ")
      .append(name)
      .append(" ")
      .append(value_name)
      .append(" ")
      .append(command)
      .append(" ...)");
}

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
      return command_named(value) ? took_command(option_char, word, "PORT", value)
                                  : "invalid port " + quoted(value) + " (expected 1 to 65535)";
    }
    return {};
  case 't':
    if (const auto limit = parse_seconds(value)) {
      arguments.time_limit = *limit;
    } else {
      return command_named(value) ? took_command(option_char, word, "SECONDS", value)
                                  : "invalid time limit " + quoted(value) +
                                        " (expected seconds above 0, e.g. 10 or 2.5)";
    }
    line.time_limit_given = true;
    return {};
  case 'b':
    if (inet_pton(AF_INET, value, &arguments.wake_address) != 1) {
      return command_named(value) ? took_command(option_char, word, "ADDRESS", value)
                                  : "invalid broadcast address " + quoted(value) +
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
  case kViaOption:
    if (command_named(value)) {
      return took_command(option_char, word, "RELAY", value);
    }
    line.via = value;
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
      {"via", required_argument, nullptr, kViaOption},
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

// keygen FILE [HOST [NAME]]: it talks to no host, so no option means anything to it.
std::string read_keygen(const CommandLine& line, const std::vector<std::string>& operands,
                        Arguments& arguments) {
  if (line.port || line.time_limit_given || line.address_given || !arguments.key_file.empty() ||
      arguments.wait || arguments.confirm || line.via) {
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
// default port; -p is where the magic packets go. Unless ask (wake --via without --wait),
// HOST only names the line of the MAC.
std::string read_wake_pair(const std::string& operand, bool ask, Arguments& arguments) {
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
  sleeper.host = target.argument;
  if (ask) {
    arguments.targets.push_back(target);
  }
  arguments.sleepers.push_back(sleeper);
  return {};
}

// wake --via RELAY: the relay's daemon sends the packets on its networks, for a proven WAKE
// only; where they go is its choice.
std::string read_relay(const CommandLine& line, Arguments& arguments) {
  if (arguments.key_file.empty()) {
    return "wake --via needs --key-file FILE: the relay acts only on a proven request";
  }
  if (line.address_given) {
    return "option -b does not go with --via: the relay sends the magic packets to its own "
           "networks";
  }
  if (line.port) {
    return "option -p does not go with --via: give the relay's port as --via RELAY:PORT";
  }
  return target_from_word(*line.via, kDaemonPort, arguments.relay);
}

// wake MAC...: a packet is sent without waiting for anything, and proves nothing. With
// --wait, each word is HOST=MAC and the client waits for HOST's daemon to answer.
std::string read_wake(const CommandLine& line, const std::vector<std::string>& operands,
                      Arguments& arguments) {
  if (arguments.confirm) {
    return "option --confirm applies to suspend only";
  }
  if (line.via) {
    std::string error = read_relay(line, arguments);
    if (!error.empty()) {
      return error;
    }
  }
  if (!arguments.wait && !line.via && line.time_limit_given) {
    return "option -t applies to wake only with --wait";
  }
  if (!arguments.wait && !line.via && !arguments.key_file.empty()) {
    return "option --key-file applies to wake only with --wait";
  }
  for (const std::string& operand : operands) {
    if (arguments.wait || (line.via && operand.find('=') != std::string::npos)) {
      std::string error = read_wake_pair(operand, arguments.wait, arguments);
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
  arguments.wake_port = line.port.value_or(kMagicPacketPort);
  arguments.relay_time_limit = arguments.time_limit;
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
  if (line.via) {
    return "option --via applies to wake only";
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

const NamedKey* key_for(const KeySet& keys, const Target& target) {
  return keys.for_host(target.argument, target.name);
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
  // A key file may have any name, a command's too; it was taken for one only when no command
  // follows it.
  if (command_named(arguments.key_file) &&
      (line.words.empty() || !command_named(line.words.front()))) {
    return took_command(kKeyFileOption, "--key-file", "FILE", arguments.key_file);
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

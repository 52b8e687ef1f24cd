// The client's command line, fed with any words: parse_arguments must read the same words
// the same way twice and whatever the environment holds, refuse in one line naming what it
// refuses, and take only what each command allows, each word as written. Aborts otherwise.
//
// Input format: the words after argv[0], separated by NUL bytes.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/arguments.h"
#include "client_words.h"
#include "fuzz_input.h"
#include "support/argv.h"

namespace {

using fuzz::all_digits;
using fuzz::formatted;
using fuzz::kLongestLimitMs;
using fuzz::lower;
using fuzz::mac_text;
using fuzz::number;
using fuzz::require;

using namespace std::chrono_literals;

// A HOST word's name and port text (none without a port): "[address]:port", "[address]", a
// bare IPv6 address (more than one colon, no port), or "name:port" and "name".
struct HostParts {
  std::string_view name;
  std::optional<std::string_view> port;
};

HostParts host_parts(std::string_view word) {
  if (word.starts_with('[')) {
    const std::size_t close = word.find(']');
    require(close != std::string_view::npos && (close + 1 == word.size() || word[close + 1] == ':'),
            "a bracketed host closes its bracket, and only a port follows");
    if (close + 1 == word.size()) {
      return {word.substr(1, close - 1), std::nullopt};
    }
    return {word.substr(1, close - 1), word.substr(close + 2)};
  }
  const std::size_t colon = word.find(':');
  if (colon == std::string_view::npos || word.find(':', colon + 1) != std::string_view::npos) {
    return {word, std::nullopt};
  }
  return {word.substr(0, colon), word.substr(colon + 1)};
}

// The time limit of a command line that sets none.
constexpr std::chrono::milliseconds kDefaultLimit = 10s;

// The command words, read here apart from the client's own list.
bool command_word(std::string_view word) {
  return word == "suspend" || word == "quit" || word == "status" || word == "wake" ||
         word == "keygen";
}

struct Parsed {
  std::string error;
  Arguments arguments;
};

Parsed parse(const std::vector<std::string>& words) {
  // getopt_long may reorder argv, so every call gets a fresh copy.
  lmrtest::Argv command_line(words);
  Parsed parsed;
  parsed.error = parse_arguments(command_line.argc(), command_line.argv(), parsed.arguments);
  return parsed;
}

bool same(const Parsed& a, const Parsed& b) {
  const Arguments& x = a.arguments;
  const Arguments& y = b.arguments;
  const auto same_target = [](const Target& s, const Target& t) {
    return s.argument == t.argument && s.name == t.name && s.port == t.port;
  };
  const auto same_sleeper = [](const Sleeper& s, const Sleeper& t) {
    return s.argument == t.argument && s.host == t.host && s.mac == t.mac;
  };
  return a.error == b.error && x.command == y.command && x.time_limit == y.time_limit &&
         x.key_file == y.key_file && x.wait == y.wait && x.confirm == y.confirm &&
         x.wake_address.s_addr == y.wake_address.s_addr && x.wake_port == y.wake_port &&
         same_target(x.relay, y.relay) && x.relay_time_limit == y.relay_time_limit &&
         std::equal(x.targets.begin(), x.targets.end(), y.targets.begin(), y.targets.end(),
                    same_target) &&
         std::equal(x.sleepers.begin(), x.sleepers.end(), y.sleepers.begin(), y.sleepers.end(),
                    same_sleeper);
}

void check_command_line(std::string_view text) {
  std::vector<std::string> words{"lomarind"};
  std::size_t at = 0;
  while (at <= text.size() && !text.empty()) {
    const std::size_t end = std::min(text.find('\0', at), text.size());
    words.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  const auto given = [&words](std::string_view word) {
    return std::find(words.begin() + 1, words.end(), word) != words.end();
  };
  // Whether a time limit was given: -t or --timeout, with its value in the next word or
  // attached (-t5, --timeout=5).
  const auto time_given = [&words] {
    return std::any_of(words.begin() + 1, words.end(), [](const std::string& word) {
      // getopt_long takes any unambiguous start of a long option's name: "--t=5" too.
      const std::string name = word.substr(0, word.find('='));
      return word.starts_with("-t") ||
             (name.size() > 2 && std::string_view("--timeout").starts_with(name));
    });
  };

  const Parsed parsed = parse(words);
  require(same(parsed, parse(words)), "the same command line parses the same way twice");
  (void)setenv("POSIXLY_CORRECT", "1", 1);
  const Parsed posixly_correct = parse(words);
  (void)unsetenv("POSIXLY_CORRECT");
  require(same(parsed, posixly_correct), "the environment does not change the parse");
  const Arguments& arguments = parsed.arguments;
  if (!parsed.error.empty()) {
    const bool newline_given = std::any_of(words.begin(), words.end(), [](const std::string& word) {
      return word.find('\n') != std::string::npos;
    });
    require(newline_given || parsed.error.find('\n') == std::string::npos, "a refusal is one line");
    // The option named as invalid is one, by itself: a word of the command line, or the
    // letter of one, and not the word of a good option next to it.
    constexpr std::string_view kInvalid = "invalid option '";
    if (parsed.error.starts_with(kInvalid) && parsed.error.ends_with("'")) {
      const std::string name =
          parsed.error.substr(kInvalid.size(), parsed.error.size() - kInvalid.size() - 1);
      require(name.starts_with("--")
                  ? given(name)
                  : name.size() == 2 && name[0] == '-' &&
                        std::any_of(words.begin() + 1, words.end(),
                                    [&](const std::string& word) {
                                      return word.starts_with("-") &&
                                             word.find(name[1], 1) != std::string::npos;
                                    }),
              "an invalid option is named as it was written");
      require(parse({"lomarind", name, "-h"}).error == parsed.error,
              "the option named as invalid is invalid by itself");
    }
    // An option that took a command word for its value names that word, which the command
    // line gave (by itself, or after the option in one word).
    constexpr std::string_view kTook = "' took the command '";
    if (const std::size_t took = parsed.error.find(kTook);
        parsed.error.starts_with("option '") && took != std::string::npos) {
      const std::size_t start = took + kTook.size();
      const std::string command =
          parsed.error.substr(start, parsed.error.find('\'', start) - start);
      require(command_word(command) &&
                  std::any_of(words.begin() + 1, words.end(),
                              [&](const std::string& word) { return word.ends_with(command); }),
              "an option is said to have taken a command word that the command line gave");
    }
    // A key file named as a command, with no command after it, was the command: the refusal
    // says that the option took it, not that the command is missing or unknown.
    if (parsed.error.starts_with("no command given") ||
        parsed.error.starts_with("unknown command")) {
      require(!command_word(arguments.key_file), "a key file named as a command is pointed out");
    }
    return;
  }

  switch (arguments.command) {
  case Command::kKeygen:
    require(given("keygen") && given(arguments.key_file) && arguments.targets.empty(),
            "keygen writes to a FILE word of the command line");
    break;
  case Command::kHelp:
    require(std::any_of(words.begin() + 1, words.end(),
                        [](const std::string& word) {
                          return word.starts_with("-") && word.find('h') != std::string::npos;
                        }),
            "help only when asked for");
    break;
  case Command::kSuspend:
  case Command::kQuit:
  case Command::kStatus: {
    require(given(arguments.command == Command::kQuit     ? "quit"
                  : arguments.command == Command::kStatus ? "status"
                                                          : "suspend"),
            "the command word");
    require(!arguments.confirm ||
                (arguments.command == Command::kSuspend && !arguments.key_file.empty()),
            "--confirm only for a keyed suspend");
    require(!arguments.targets.empty() && arguments.sleepers.empty(), "hosts and no MACs");
    require(arguments.time_limit > 0ms && arguments.time_limit.count() <= kLongestLimitMs,
            "a time limit above 0 and at most a day");
    std::optional<std::uint16_t> default_port;
    for (const Target& target : arguments.targets) {
      require(given(target.argument), "each host is a word of the command line");
      const HostParts parts = host_parts(target.argument);
      require(!target.name.empty() && target.name == parts.name,
              "the name is the word up to its first colon, or the IPv6 address");
      require(target.port >= 1, "a host's port is 1 to 65535");
      if (!parts.port) {
        require(default_port.value_or(target.port) == target.port,
                "hosts without a port share one");
        default_port = target.port;
      } else {
        const std::string_view digits = *parts.port;
        require(all_digits(digits) && digits.size() <= 5 && number(digits) == target.port,
                "HOST:PORT gives the host that port");
      }
    }
    break;
  }
  case Command::kWake:
    require(given("wake"), "the command word");
    require(!arguments.sleepers.empty(), "MACs");
    require(arguments.wait ? arguments.targets.size() == arguments.sleepers.size()
                           : arguments.targets.empty() && (!arguments.relay.name.empty() ||
                                                           arguments.time_limit == kDefaultLimit),
            "wake --wait names a host for each MAC; wake alone takes no time limit");
    require(arguments.relay.name.empty() ||
                (!arguments.key_file.empty() && arguments.relay.port >= 1 &&
                 std::any_of(words.begin() + 1, words.end(),
                             [&](const std::string& word) {
                               return word.ends_with(arguments.relay.argument);
                             })),
            "wake --via asks a relay named on the command line, with a key");
    require(!arguments.wait || time_given() ||
                arguments.time_limit == std::chrono::milliseconds(60'000),
            "wake --wait waits a minute unless told otherwise");
    require(arguments.wake_port >= 1, "a wake port is 1 to 65535");
    for (const Sleeper& sleeper : arguments.sleepers) {
      require((arguments.wait || !arguments.relay.name.empty() || given(sleeper.argument)) &&
                  mac_text(sleeper.argument) &&
                  formatted(sleeper.mac, sleeper.argument[2], false) == lower(sleeper.argument),
              "each MAC is a word of the command line, read as its pairs");
    }
    break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader input(data, size);
  check_command_line(input.rest());
  return 0;
}

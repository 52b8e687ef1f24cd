// The client's input handling: one host's exchange run against a model of the daemon over a
// network that loses, delays and reorders datagrams, and the parsers of its command line fed
// with any text. Aborts when an outcome is wrong.
//
// Input format: the first byte chooses what the rest is.
//   byte % 3 == 0  one call for one host: a byte choosing the command (even: suspend, odd:
//                  quit) and, by its half modulo 5, the keys: none; the same key in both;
//                  a wrong key in the client; a key in the daemon only; in the client
//                  only; a 2-byte big-endian time limit in milliseconds (modulo 30 000, plus
//                  one); a byte whose value modulo 4 is the number of other clients, each
//                  then given by a 2-byte big-endian time (modulo 20 000 ms) at which it
//                  sends one EHLO. After that the model draws one byte whenever it needs a
//                  choice, in the order the events happen:
//                  - every datagram sent, by anyone: its fate, (byte % 4 == 3) lost (below
//                    128) or delivered at once without its first byte, else delivered
//                    after byte / 4 units of 1 ms, 20 ms or 100 ms (byte % 4);
//                  - every session opened: its length, from just over 4 s to 6 s, as the
//                    daemon's whole-second clock makes it;
//                  - every suspend carried out: how long the host sleeps, byte * 100 ms,
//                    with datagrams waiting meanwhile.
//                  Past the input's end every byte is 0: delivered at once.
//   byte % 3 == 1  text for parse_mac, parse_port and parse_seconds.
//   byte % 3 == 2  a command line for parse_arguments: the words after argv[0], separated
//                  by NUL bytes.
//
// The exchange is checked by what came of it, never by its own rules: a command is carried
// out at most once in a call; "suspended" or "stopped" only if it was carried out; "locked
// by another client" and "no answer" only if it was not; "needs a key" and "does not ask
// for a key" only when the keys do not match, and then no command is sent; the call ends by
// its time limit; and with nothing lost, nothing slow and nobody else asking, the result is
// what the keys make it: carried out and reported so when they match.
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/arguments.h"
#include "client/exchange.h"
#include "fuzz_input.h"
#include "key/key.h"
#include "net/protocol.h"

namespace {

using fuzz::Reader;
using fuzz::require;

using namespace std::chrono_literals;

constexpr long kLongestLimitMs = 86'400'000;
constexpr std::chrono::milliseconds kDefaultLimit = 10s;

constexpr int kDaemon = 0;
constexpr int kClient = 1;  // the exchange under test; other clients are 2 and up

struct Event {
  enum Kind { kArrival, kExpiry, kWake } kind;
  int from = kDaemon;
  int to = kDaemon;
  std::string text;
  int session = 0;  // for kExpiry: which session's window ends
};

// The daemon as clients see it: one session at a time, owned by the sender of the EHLO that
// opened it, ending by itself; commands only from the owner; asleep after a suspend.
struct Daemon {
  bool stopped = false;
  bool active = false;
  int owner = 0;
  int session = 0;
  std::string challenge;  // keyed: the open session's, until a valid proof spends it
  Clock::time_point asleep_until{};
  std::deque<Event> waiting;  // datagrams that came while the host slept
  int carried_out = 0;
};

class Model {
 public:
  Model(Reader& input, const Key* key) : input_(input), key_(key) {}

  void send(int from, int to, std::string_view text, Clock::time_point now) {
    const std::uint8_t fate = input_.byte();
    if (fate % 4 == 3) {
      // Lost, or arrives damaged: one byte short, which no peer may take for a message.
      lost_ = true;
      if (fate >= 128 && !text.empty()) {
        events_.emplace(now, Event{Event::kArrival, from, to, std::string(text.substr(1))});
      }
      return;
    }
    constexpr std::array<Clock::duration, 3> kUnits{1ms, 20ms, 100ms};
    const Clock::duration delay = (fate / 4) * kUnits[fate % 4];
    slowest_ = std::max(slowest_, delay);
    events_.emplace(now + delay, Event{Event::kArrival, from, to, std::string(text)});
  }

  // Nothing was lost and nothing took long.
  bool smooth() const { return !lost_ && slowest_ <= 100ms; }

  bool idle() const { return events_.empty(); }
  Clock::time_point next_time() const { return events_.begin()->first; }

  // Takes the next event; those for the daemon are handled here, the rest handed back.
  std::pair<Clock::time_point, Event> pop() {
    auto first = events_.begin();
    auto taken = std::make_pair(first->first, first->second);
    events_.erase(first);
    return taken;
  }

  void at_daemon(const Event& event, Clock::time_point now) {
    if (daemon_.stopped) {
      return;
    }
    if (now < daemon_.asleep_until) {
      daemon_.waiting.push_back(event);
      return;
    }
    if (event.kind == Event::kWake) {
      while (!daemon_.waiting.empty() && now >= daemon_.asleep_until && !daemon_.stopped) {
        const Event next = daemon_.waiting.front();
        daemon_.waiting.pop_front();
        at_daemon(next, now);
      }
      return;
    }
    // Expiry is seen first in every turn, before that turn's datagram.
    if (daemon_.active &&
        (event.kind == Event::kExpiry ? event.session == daemon_.session : now >= ends_)) {
      daemon_.active = false;
      send(kDaemon, daemon_.owner, protocol::kEnd, now);
    }
    if (event.kind != Event::kArrival) {
      return;
    }
    if (event.text == protocol::kEhlo) {
      if (daemon_.active) {
        send(kDaemon, event.from, protocol::kLocked, now);
        return;
      }
      daemon_.active = true;
      daemon_.owner = event.from;
      ++daemon_.session;
      ends_ = now + 4001ms + input_.byte() * 2000ms / 256;
      events_.emplace(ends_, Event{Event::kExpiry, kDaemon, kDaemon, {}, daemon_.session});
      if (key_ == nullptr) {
        send(kDaemon, event.from, protocol::kStart, now);
        return;
      }
      daemon_.challenge = std::string(32, '0') + std::to_string(daemon_.session);
      daemon_.challenge.erase(0, daemon_.challenge.size() - 32);
      send(kDaemon, event.from, std::string(protocol::kStartPrefix) + daemon_.challenge + "\n",
           now);
    } else if (daemon_.active && event.from == daemon_.owner && commands(event.text)) {
      ++daemon_.carried_out;
      daemon_.challenge.clear();
      send(kDaemon, event.from, protocol::kOk, now);
      if (event.text.starts_with(protocol::kQuitWord)) {
        daemon_.stopped = true;
      } else {
        daemon_.asleep_until = now + input_.byte() * 100ms;
        events_.emplace(daemon_.asleep_until, Event{Event::kWake, kDaemon, kDaemon, {}, 0});
      }
    }
  }

  const Daemon& daemon() const { return daemon_; }

 private:
  // Whether text is a command the daemon carries out: a plain one, or with a key one whose
  // proof is valid for the session's challenge, which it spends.
  bool commands(std::string_view text) const {
    if (key_ == nullptr) {
      return text == protocol::kSuspend || text == protocol::kQuit;
    }
    for (const std::string_view word : {protocol::kSuspendWord, protocol::kQuitWord}) {
      if (!daemon_.challenge.empty() && text.size() == word.size() + 66 && text.starts_with(word) &&
          text[word.size()] == ' ' && text.back() == '\n' &&
          proof_matches(*key_, daemon_.challenge, word, text.substr(word.size() + 1, 64))) {
        return true;
      }
    }
    return false;
  }

  Reader& input_;
  const Key* key_;
  Daemon daemon_;
  Clock::time_point ends_{};
  bool lost_ = false;
  Clock::duration slowest_{};
  std::multimap<Clock::time_point, Event> events_;  // equal times keep their order
};

// Which of the two sides holds a key, and whether it is the same.
enum class Keys { kNone, kSame, kWrong, kDaemonOnly, kClientOnly };

void run_exchange(Reader& input) {
  const std::uint8_t choice = input.byte();
  const Command command = choice % 2 == 0 ? Command::kSuspend : Command::kQuit;
  const auto keys = static_cast<Keys>(choice / 2 % 5);
  Key daemon_key;
  Key client_key;
  daemon_key.bytes.fill(0x5a);
  client_key.bytes.fill(keys == Keys::kWrong ? 0xa5 : 0x5a);
  const bool daemon_keyed = keys != Keys::kNone && keys != Keys::kClientOnly;
  const bool client_keyed = keys != Keys::kNone && keys != Keys::kDaemonOnly;
  const auto limit = std::chrono::milliseconds(input.big_endian(2) % 30'000 + 1);
  const Clock::time_point start = Clock::time_point{} + 1000s;
  Model model(input, daemon_keyed ? &daemon_key : nullptr);
  const int others = input.byte() % 4;
  for (int other = 0; other < others; ++other) {
    model.send(other + 2, kDaemon, protocol::kEhlo,
               start + std::chrono::milliseconds(input.big_endian(2) % 20'000));
  }
  Exchange exchange = start_exchange(start, limit, client_keyed);
  Clock::time_point now = start;
  std::string challenge;  // from the last keyed START, as the client's loop keeps it
  int commands_sent = 0;
  const auto client_sends = [&](Send send) {
    if (send == Send::kEhlo) {
      model.send(kClient, kDaemon, protocol::kEhlo, now);
    } else if (send == Send::kCommand) {
      ++commands_sent;
      const bool quit = command == Command::kQuit;
      model.send(kClient, kDaemon,
                 client_keyed ? keyed_command(client_key, challenge,
                                              quit ? protocol::kQuitWord : protocol::kSuspendWord)
                              : std::string(quit ? protocol::kQuit : protocol::kSuspend),
                 now);
    }
  };
  client_sends(on_timer(exchange, now));
  for (int steps = 0;; ++steps) {
    require(steps < 1'000'000, "the exchange and the model come to rest");
    const bool asking = exchange.step != Step::kFinished;
    if (model.idle() && !asking) {
      break;
    }
    if (asking && (model.idle() || wake_time(exchange) <= model.next_time())) {
      require(wake_time(exchange) >= now, "the exchange never asks to wake in the past");
      now = wake_time(exchange);
      client_sends(on_timer(exchange, now));
      require(exchange.step == Step::kFinished || now < exchange.deadline,
              "the call ends by its time limit");
      continue;
    }
    auto [at, event] = model.pop();
    now = at;
    if (event.kind == Event::kArrival && event.to != kDaemon) {
      if (event.to == kClient && asking) {
        const Reply reply = reply_of(event.text);
        if (reply == Reply::kKeyedStart) {
          challenge = challenge_in(event.text);
        }
        client_sends(on_reply(exchange, reply, now));
      }
    } else {
      model.at_daemon(event, now);
    }
  }

  const int carried_out = model.daemon().carried_out;
  require(carried_out <= 1, "a command is carried out at most once in a call");
  switch (exchange.result) {
  case Result::kDone:
    require(carried_out == 1, "suspended or stopped only if the command was carried out");
    break;
  case Result::kLocked:
    require(carried_out == 0, "locked only if the command was not carried out");
    break;
  case Result::kNoAnswer:
    require(carried_out == 0, "no answer only if the command was not carried out");
    break;
  case Result::kNeedsKey:
  case Result::kNotKeyed:
    require(exchange.result == (client_keyed ? Result::kNotKeyed : Result::kNeedsKey) &&
                client_keyed != daemon_keyed && commands_sent == 0,
            "a key mismatch only when the keys do not match, and then no command is sent");
    break;
  default:
    break;
  }
  require(client_keyed == daemon_keyed || commands_sent == 0,
          "no command goes to a daemon whose key setting does not match the client's");
  constexpr std::array kEasyResult{Result::kDone, Result::kDone, Result::kUnproven,
                                   Result::kNeedsKey, Result::kNotKeyed};
  const bool easy = others == 0 && limit >= 3s && model.smooth();
  require(!easy || exchange.result == kEasyResult[static_cast<std::size_t>(keys)],
          "with nothing lost or slow and nobody else asking, the keys decide the result");
}

int hex_digit(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (std::isdigit(u) != 0) {
    return c - '0';
  }
  return std::isxdigit(u) != 0 ? std::tolower(u) - 'a' + 10 : -1;
}

std::string lower(std::string_view text) {
  std::string result;
  for (const char c : text) {
    result.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return result;
}

std::string formatted(const Mac& mac, char separator, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : mac) {
    if (!text.empty()) {
      text.push_back(separator);
    }
    text.push_back(digits[byte / 16]);
    text.push_back(digits[byte % 16]);
  }
  return text;
}

// Six pairs of hex digits and five separators, all ':' or all '-'.
bool mac_text(std::string_view text) {
  if (text.size() != 17 || (text[2] != ':' && text[2] != '-')) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2 ? text[i] != text[2] : hex_digit(text[i]) < 0) {
      return false;
    }
  }
  return true;
}

void check_mac(std::string_view text) {
  const auto mac = parse_mac(text);
  require(mac.has_value() == mac_text(text), "a MAC is exactly six hex pairs, one separator");
  if (!mac) {
    return;
  }
  // No formatter exists in the client, so the fuzzer writes its own to read the bytes back.
  require(formatted(*mac, text[2], false) == lower(text), "the MAC's bytes are the text's pairs");
  for (const bool upper : {false, true}) {
    for (const char separator : {':', '-'}) {
      require(parse_mac(formatted(*mac, separator, upper)) == mac, "a written MAC parses back");
    }
  }
  const std::string packet = magic_packet(*mac);
  require(packet.size() == 102 && packet.substr(0, 6) == std::string(6, '\xff'),
          "a magic packet is six 0xFF bytes and 96 more");
  for (std::size_t i = 6; i < packet.size(); ++i) {
    require(static_cast<std::uint8_t>(packet[i]) == mac->at((i - 6) % 6),
            "then the MAC sixteen times");
  }
}

bool all_digits(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The value of a string of at most nine digits.
long number(std::string_view digits) {
  long value = 0;
  for (const char c : digits) {
    value = value * 10 + (c - '0');
  }
  return value;
}

void check_port(std::string_view text) {
  const auto port = parse_port(text);
  if (port) {
    require(!text.empty() && text.size() <= 5 && all_digits(text) && *port >= 1 &&
                number(text) == *port,
            "a port is its decimal digits, 1 to 65535");
  }
  if (!text.empty() && text.size() <= 5 && text[0] != '0' && all_digits(text) &&
      number(text) <= 65535) {
    require(port.has_value(), "every port from 1 to 65535 in plain digits is taken");
  }
}

void check_seconds(std::string_view text) {
  const auto limit = parse_seconds(text);
  const std::size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  const bool decimal =
      all_digits(whole) && all_digits(fraction) && (!whole.empty() || !fraction.empty());
  whole.remove_prefix(std::min(whole.find_first_not_of('0'), whole.size()));
  // Milliseconds: the whole seconds and the first three digits after the point; any other
  // digit that is not 0 makes the number a little more.
  long ms = -1;
  bool more = false;
  if (decimal && whole.size() <= 9) {
    std::string thousandths(fraction.substr(0, std::min<std::size_t>(fraction.size(), 3)));
    thousandths.resize(3, '0');
    ms = number(whole) * 1000 + number(thousandths);
    more = fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string_view::npos;
  }
  const bool in_range =
      (ms > 0 || (ms == 0 && more)) && (ms < kLongestLimitMs || (ms == kLongestLimitMs && !more));
  if (limit) {
    require(in_range, "a time limit is a whole or decimal number above 0 and at most a day");
    require(limit->count() == std::max(ms, 1L),
            "a time limit is its decimal seconds, to the ms, and never below 1 ms");
  }
  if (in_range) {
    require(limit.has_value(), "every whole or decimal number above 0 and at most 86400 is taken");
  }
}

struct Parsed {
  std::string error;
  Arguments arguments;
};

Parsed parse(const std::vector<std::string>& words) {
  // getopt_long reorders argv, so every call gets a fresh copy.
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  argv.reserve(copy.size() + 1);
  for (std::string& word : copy) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  Parsed parsed;
  parsed.error = parse_arguments(static_cast<int>(copy.size()), argv.data(), parsed.arguments);
  return parsed;
}

bool same(const Parsed& a, const Parsed& b) {
  const Arguments& x = a.arguments;
  const Arguments& y = b.arguments;
  const auto same_target = [](const Target& s, const Target& t) {
    return s.argument == t.argument && s.name == t.name && s.port == t.port;
  };
  const auto same_sleeper = [](const Sleeper& s, const Sleeper& t) {
    return s.argument == t.argument && s.mac == t.mac;
  };
  return a.error == b.error && x.command == y.command && x.time_limit == y.time_limit &&
         x.key_file == y.key_file && x.wake_address.s_addr == y.wake_address.s_addr &&
         x.wake_port == y.wake_port &&
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
  case Command::kQuit: {
    require(given(arguments.command == Command::kQuit ? "quit" : "suspend"), "the command word");
    require(!arguments.targets.empty() && arguments.sleepers.empty(), "hosts and no MACs");
    require(arguments.time_limit > 0ms && arguments.time_limit.count() <= kLongestLimitMs,
            "a time limit above 0 and at most a day");
    std::optional<std::uint16_t> default_port;
    for (const Target& target : arguments.targets) {
      require(given(target.argument), "each host is a word of the command line");
      const std::size_t colon = target.argument.find(':');
      require(!target.name.empty() && target.name == target.argument.substr(0, colon),
              "the name is the word up to its first colon");
      require(target.port >= 1, "a host's port is 1 to 65535");
      if (colon == std::string::npos) {
        require(default_port.value_or(target.port) == target.port,
                "hosts without a port share one");
        default_port = target.port;
      } else {
        const std::string_view digits = std::string_view(target.argument).substr(colon + 1);
        require(all_digits(digits) && digits.size() <= 5 && number(digits) == target.port,
                "HOST:PORT gives the host that port");
      }
    }
    break;
  }
  case Command::kWake:
    require(given("wake"), "the command word");
    require(!arguments.sleepers.empty() && arguments.targets.empty(), "MACs and no hosts");
    require(arguments.time_limit == kDefaultLimit, "wake takes no time limit");
    require(arguments.wake_port >= 1, "a wake port is 1 to 65535");
    for (const Sleeper& sleeper : arguments.sleepers) {
      require(given(sleeper.argument) && mac_text(sleeper.argument) &&
                  formatted(sleeper.mac, sleeper.argument[2], false) == lower(sleeper.argument),
              "each MAC is a word of the command line, read as its pairs");
    }
    break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader input(data, size);
  switch (input.byte() % 3) {
  case 0:
    run_exchange(input);
    break;
  case 1: {
    const std::string_view text = input.rest();
    check_mac(text);
    check_port(text);
    check_seconds(text);
    break;
  }
  default:
    check_command_line(input.rest());
    break;
  }
  return 0;
}

// The client's input handling: one host's exchange driven by replies of any bytes and timer
// steps at any time, and the parsers of its command line fed with any text. Aborts when a
// rule of the client's behaviour breaks.
//
// Input format: the first byte chooses what the rest is.
//   byte % 3 == 0  one exchange, as run_command drives it for one host:
//                    a byte choosing the command (even: suspend, odd: quit), for the result
//                    line; a 4-byte big-endian time limit in milliseconds (modulo 86 400 000,
//                    plus one); then events until the input runs out:
//                    kind % 3 == 0  a datagram from the host: 2-byte big-endian length
//                                   (modulo 1025, the most the client's receive keeps), then
//                                   that many bytes, as far as the input reaches;
//                    kind % 3 == 1  a timer step (on_timer) at the present time;
//                    kind % 3 == 2  the steady clock moves on by a 2-byte big-endian count of
//                                   the unit kind / 3 % 4 chooses: nanoseconds, microseconds,
//                                   milliseconds or seconds.
//                  The exchange starts with a timer step, as the loop does, and ends with one
//                  at its deadline (or later), after which it must have finished.
//   byte % 3 == 1  text for parse_mac, parse_port and parse_seconds.
//   byte % 3 == 2  a command line for parse_arguments: the words after argv[0], separated
//                  by NUL bytes.
#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/arguments.h"
#include "client/exchange.h"
#include "fuzz_input.h"

namespace {

using fuzz::Reader;
using fuzz::require;
using fuzz::violated;

using namespace std::chrono_literals;

// The fuzzer's own statement of the rules, written out here rather than taken from the
// client's headers, so that a wrong constant there is caught.
constexpr std::string_view kStart = "START\n";
constexpr std::string_view kLocked = "LOCKED\n";
constexpr std::string_view kOk = "OK\n";
constexpr std::string_view kEnd = "END\n";
constexpr std::size_t kLongestReply = 1024;
constexpr int kMostEhlosUnanswered = 4;
constexpr Clock::duration kEhloSpacing = 1s;
constexpr Clock::duration kOkWaitAfterGuess = 1s;
constexpr long kLongestLimitMs = 86'400'000;
constexpr std::chrono::milliseconds kDefaultLimit = 10s;
constexpr std::string_view kHost = "192.0.2.1:9999";

bool same(const Exchange& a, const Exchange& b) {
  return a.step == b.step && a.result == b.result && a.ehlos == b.ehlos && a.lockeds == b.lockeds &&
         a.heard_locked == b.heard_locked && a.guessed == b.guessed && a.next == b.next &&
         a.deadline == b.deadline;
}

// What the fuzzer has seen of one exchange, kept apart from the exchange's own counters.
//
// The rules for a command that got no OK, so that no call carries a command out twice:
// - A command sent on START went to a session of our own: after it, nothing more is sent,
//   and it ends in success (OK) or no answer.
// - A guessed command (a repeated EHLO met LOCKED, another EHLO of the round got no reply)
//   may have met another client's session, which drops it, or our own session whose START
//   was lost, which carries it out and may lose the OK. A second later the exchange asks
//   again with EHLO, and may send the command once more on START, but only while it has no
//   sign that the guess reached a session of ours:
//   - a START before the first EHLO after the guess answers an EHLO from before it: the
//     guess went to our own session and counts as a command sent on START;
//   - an END (sent only to a session's owner) ends the exchange at once in no answer;
//   - an EHLO after the guess that gets no reply within a second (a host asleep, a daemon
//     stopped or busy suspending) ends it in no answer, and nothing more is sent.
// - So the command goes out at most twice, and a second time only on START, after a guess.
struct History {
  Clock::time_point deadline;
  bool finished = false;
  Result result = Result::kPending;
  std::optional<Clock::time_point> last_ehlo;
  int ehlos_since_locked = 0;  // EHLOs sent since the last LOCKED reply
  // The round: the EHLOs since the first one sent after a LOCKED reply, and the LOCKED
  // replies since then.
  int round_ehlos = 0;
  int round_lockeds = 0;
  bool locked_since_ehlo = false;
  bool heard_locked = false;
  bool heard_answer = false;  // any START, LOCKED, OK or END
  bool command_sent = false;
  int commands = 0;
  // The last command went to a session known to be ours: it was sent on START, or a START
  // came while its guess still waited for OK.
  bool command_on_start = false;
  std::optional<Clock::time_point> guessed_at;
  bool asking_again = false;         // an EHLO went out after the guess
  bool answered_since_ehlo = false;  // START, LOCKED, OK or END since the last EHLO
  // A timer step that sent something at this instant, with no reply since.
  std::optional<Clock::time_point> quiet_after_timer;
};

// The rules that hold after every event: before is the exchange as the event found it.
void check_state(const Exchange& before, const Exchange& after, Send send, History& history) {
  require((after.step == Step::kFinished) == (after.result != Result::kPending),
          "the result is pending exactly while the exchange is not finished");
  require(after.deadline == history.deadline, "the deadline never moves");
  require(wake_time(after) <= history.deadline, "the exchange wakes no later than its deadline");
  if (history.finished) {
    require(send == Send::kNothing, "nothing is sent after the exchange finished");
    require(same(before, after), "a finished exchange stays as it ended");
  }
  if (after.step == Step::kFinished && !history.finished) {
    history.finished = true;
    history.result = after.result;
    switch (after.result) {
    case Result::kDone:
      require(history.command_sent, "success only after a command");
      break;
    case Result::kLocked:
      require(history.heard_locked, "locked only after a LOCKED reply");
      require(!history.command_on_start, "a command sent on START ends in OK or no answer");
      require(!history.asking_again || history.answered_since_ehlo,
              "a host silent after a guessed command is no answer, not locked");
      break;
    case Result::kNoAnswer:
      break;
    case Result::kPending:
    case Result::kUnresolved:
      violated("an exchange ends in a result of its own");
    }
    if (!history.heard_answer) {
      require(after.result == Result::kNoAnswer, "a host that never answered is no answer");
    }
  }
}

// What any send means for the history, whichever event made it.
void record_send(Send send, Clock::time_point now, History& history) {
  if (send == Send::kEhlo) {
    require(!history.command_on_start,
            "after a command in a session of our own, EHLO is never sent again");
    if (history.guessed_at.has_value()) {
      require(now - *history.guessed_at >= kOkWaitAfterGuess,
              "a guessed command gets a second for its OK before EHLO");
      require(!history.asking_again || history.answered_since_ehlo,
              "after a guessed command, an EHLO that got no reply is the last");
      history.asking_again = true;
    }
    history.answered_since_ehlo = false;
    require(now < history.deadline, "no EHLO at or after the deadline");
    if (history.last_ehlo.has_value()) {
      require(now - *history.last_ehlo >= kEhloSpacing, "EHLOs are at least a second apart");
    }
    history.last_ehlo = now;
    ++history.ehlos_since_locked;
    require(history.ehlos_since_locked <= kMostEhlosUnanswered,
            "at most four EHLOs without a LOCKED reply");
    if (history.locked_since_ehlo) {
      history.round_ehlos = 0;
      history.round_lockeds = 0;
      history.locked_since_ehlo = false;
    }
    ++history.round_ehlos;
  } else if (send == Send::kCommand) {
    require(history.commands == 0 || (history.guessed_at.has_value() && history.asking_again &&
                                      !history.command_on_start && history.commands == 1),
            "the command goes out once, or a second time only when asking again after a "
            "guess without OK");
    require(history.last_ehlo.has_value(), "a command only after an EHLO");
    history.command_sent = true;
    ++history.commands;
  }
}

void timer_step(Exchange& exchange, Clock::time_point now, History& history) {
  const Exchange before = exchange;
  const bool asleep = now < wake_time(before);
  const bool silent_after_guess = !history.finished && history.asking_again &&
                                  !history.answered_since_ehlo && !history.command_on_start &&
                                  now - *history.last_ehlo >= kEhloSpacing;
  const bool guess_unanswered = !history.finished && history.guessed_at.has_value() &&
                                !history.asking_again && !history.command_on_start &&
                                now - *history.guessed_at >= kOkWaitAfterGuess &&
                                now < history.deadline;
  const Send send = on_timer(exchange, now);
  check_state(before, exchange, send, history);
  if (guess_unanswered) {
    require(send == Send::kEhlo, "a guessed command without OK asks again a second later");
  }
  if (silent_after_guess) {
    require(exchange.result == Result::kNoAnswer,
            "a host silent for a second after a guessed command is no answer at once");
  }
  if (asleep) {
    require(send == Send::kNothing && same(before, exchange),
            "a timer step before the wake time does nothing, so the loop may sleep until then");
  }
  if (history.quiet_after_timer == now) {
    require(send == Send::kNothing, "a second timer step at the same instant sends nothing");
  }
  if (send == Send::kCommand) {
    // A command on the timer is the guess: a repeated EHLO was answered LOCKED, and another
    // EHLO of the same round got no reply.
    require(history.round_ehlos >= 2 && history.round_lockeds >= 1 &&
                history.round_lockeds < history.round_ehlos,
            "the command is guessed only when a repeated EHLO of the round went unanswered");
    require(now < history.deadline, "no guessed command at or after the deadline");
    require(history.commands == 0, "a command is guessed once, and never after another");
    history.guessed_at = now;
  }
  record_send(send, now, history);
  if (send != Send::kNothing) {
    history.quiet_after_timer = now;
  }
  if (now >= history.deadline) {
    require(exchange.step == Step::kFinished, "a timer step at the deadline finishes it");
  }
  if (exchange.step != Step::kFinished) {
    require(wake_time(exchange) > now, "after a timer step the exchange wakes in the future");
  }
}

Reply expected_reply(std::string_view datagram) {
  if (datagram == kStart) {
    return Reply::kStart;
  }
  if (datagram == kLocked) {
    return Reply::kLocked;
  }
  if (datagram == kOk) {
    return Reply::kOk;
  }
  if (datagram == kEnd) {
    return Reply::kEnd;
  }
  return Reply::kOther;
}

void datagram_step(Exchange& exchange, std::string_view datagram, Clock::time_point now,
                   History& history) {
  const Reply reply = reply_of(datagram);
  require(reply == expected_reply(datagram), "only the exact reply texts count");
  const Exchange before = exchange;
  const bool was_finished = history.finished;
  const bool commanded = history.command_sent;
  // Asking with EHLO and free to send the command on START: before any command, or again
  // after a guess that got no OK.
  const bool asking = !commanded || (history.asking_again && !history.command_on_start);
  const Send send = on_reply(exchange, reply, now);
  check_state(before, exchange, send, history);
  history.quiet_after_timer.reset();
  require(send != Send::kEhlo, "a reply never makes an EHLO: those go by the clock");
  record_send(send, now, history);
  if (reply != Reply::kOther) {
    history.answered_since_ehlo = true;
  }
  switch (reply) {
  case Reply::kStart:
    history.heard_answer = true;
    if (was_finished || !asking) {
      require(send == Send::kNothing, "a START after the command is ignored");
      if (!was_finished && commanded) {
        // Still waiting for the guess's OK: the START answers an EHLO from before the guess.
        history.command_on_start = true;
      }
    } else if (now < history.deadline) {
      require(send == Send::kCommand, "START within the time limit is answered with the command");
    }
    // Past the deadline, before the timer step has ended the exchange, a START may be used
    // or let go; either way the rules above and the result's hold.
    if (send == Send::kCommand) {
      history.command_on_start = true;
    }
    break;
  case Reply::kLocked:
    history.heard_answer = true;
    require(send == Send::kNothing, "LOCKED is not answered");
    if (!was_finished && asking) {
      history.heard_locked = true;
      history.ehlos_since_locked = 0;
      history.locked_since_ehlo = true;
      ++history.round_lockeds;
    }
    break;
  case Reply::kOk:
    history.heard_answer = true;
    require(send == Send::kNothing, "OK is not answered");
    if (!was_finished && commanded) {
      require(exchange.result == Result::kDone, "OK after the command is success");
    }
    if (!commanded) {
      require(same(before, exchange), "an OK before any command changes nothing");
    }
    break;
  case Reply::kEnd:
    history.heard_answer = true;
    require(send == Send::kNothing, "END is not answered");
    if (!was_finished && history.guessed_at.has_value() && !history.command_on_start) {
      require(exchange.result == Result::kNoAnswer,
              "END after a guessed command without OK is no answer at once");
    } else {
      require(same(before, exchange), "END changes nothing unless a guess waits for its OK");
    }
    break;
  case Reply::kOther:
    require(send == Send::kNothing && same(before, exchange),
            "a datagram that is not a reply word changes nothing");
    break;
  }
}

// The line and the exit status of a finished exchange.
void check_outcome(Result result, Command command) {
  std::string_view text;
  switch (result) {
  case Result::kDone:
    text = command == Command::kQuit ? "stopped" : "suspended";
    break;
  case Result::kLocked:
    text = "locked by another client";
    break;
  case Result::kNoAnswer:
    text = "no answer";
    break;
  case Result::kPending:
  case Result::kUnresolved:
    violated("an exchange ends in a result of its own");
  }
  std::string line(kHost);
  line.append(": ").append(text);
  require(result_line(std::string(kHost), result, command) == line, "the result line");

  const int alone = result == Result::kDone ? 0 : result == Result::kLocked ? 2 : 3;
  require(exit_status_of({result}) == alone, "the exit status of one host");
  require(exit_status_of({Result::kDone, result}) == alone, "success adds nothing to a status");
  require(exit_status_of({result, Result::kLocked}) == std::max(alone, 2), "2 unless 3");
  require(exit_status_of({Result::kUnresolved, result}) == 3, "cannot resolve is 3");
}

void run_exchange(Reader& input) {
  const Command command = input.byte() % 2 == 0 ? Command::kSuspend : Command::kQuit;
  const std::chrono::milliseconds limit{input.big_endian(4) % kLongestLimitMs + 1};
  constexpr std::array<Clock::duration, 4> kUnits = {1ns, 1us, 1ms, 1s};

  const Clock::time_point start = Clock::time_point{} + 100s;
  Clock::time_point now = start;
  History history;
  history.deadline = start + limit;
  Exchange exchange = start_exchange(start, limit);
  require(exchange.step != Step::kFinished && wake_time(exchange) == start,
          "a new exchange is due at once");
  timer_step(exchange, now, history);
  require(history.last_ehlo == start, "the first EHLO goes at the start");

  while (!input.done()) {
    const std::uint8_t kind = input.byte();
    switch (kind % 3) {
    case 0: {
      const std::size_t length = input.big_endian(2) % (kLongestReply + 1);
      datagram_step(exchange, input.bytes(length), now, history);
      break;
    }
    case 1:
      timer_step(exchange, now, history);
      break;
    default: {
      // Past a day after the deadline, time no longer matters; stopping there keeps the
      // clock far from overflow however long the input.
      const auto step = input.big_endian(2) * kUnits.at(kind / 3 % kUnits.size());
      if (now < history.deadline + 24h) {
        now += step;
      }
      break;
    }
    }
  }
  timer_step(exchange, std::max(now, history.deadline), history);
  check_outcome(exchange.result, command);
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
         x.wake_address.s_addr == y.wake_address.s_addr && x.wake_port == y.wake_port &&
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

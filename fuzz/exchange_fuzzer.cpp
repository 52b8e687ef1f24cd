// The client's input handling: one host's exchange run against a model of the daemon over a
// network that loses, delays and reorders datagrams, and the parsers of its command line fed
// with any text. Aborts when an outcome is wrong.
//
// Input format: the first byte chooses what the rest is.
//   byte % 3 == 0  one call for one host: a byte c choosing the command (even: suspend, odd:
//                  quit), by c / 2 % 5 the keys: none; the same key in both; a wrong key in
//                  the client; a key in the daemon only; in the client only; by c / 10 % 2
//                  --confirm; and by c / 20 % 8 == 7 a host with no daemon on the port,
//                  whose kernel answers each datagram with ICMP port unreachable; a 2-byte
//                  big-endian time limit in milliseconds (modulo 30 000, plus one); a byte whose
//                  value modulo 4 is the number of other clients, each then given by a 2-byte
//                  big-endian time (modulo 20 000 ms) at which it sends one EHLO. After that the
//                  model draws one byte whenever it needs a choice, in the order the events happen:
//                  - every datagram sent, by anyone: its fate, (byte % 4 == 3) lost (below
//                    128) or delivered at once without its first byte, else delivered
//                    after byte / 4 units of 1 ms, 20 ms or 100 ms (byte % 4);
//                  - every session opened: its length, from just over 4 s to 6 s, as the
//                    daemon's whole-second clock makes it;
//                  - every suspend carried out: how long its sleep command runs, byte * 2 ms;
//                    with a key, its status (an even byte: 0, else 1 + byte / 2), a failure
//                    being told to the client with a proven REFUSED once it has run; after
//                    a success, how long the host sleeps, byte * 100 ms; the daemon answers
//                    nothing while the command runs or the host sleeps, and datagrams wait;
//                  - with a key in the client, after every datagram it sends, what a forger
//                    sends it from the daemon's address and port, (f >> 4) * 20 ms later:
//                    f % 16 is nothing (0, 14, 15), START, OK, LOCKED, END, KEYED 2 (1 to
//                    5), START and OK with made-up proofs (6, 7), START and OK recorded from
//                    an earlier exchange (8, 9), the latest datagram the daemon sent the
//                    client (10), an OK with the proof for the client's challenge and the
//                    other word (11), a REFUSED with a made-up proof (12) or recorded from an
//                    earlier exchange (13).
//                  Past the input's end every byte is 0: delivered at once, no forgery.
//   byte % 3 == 1  text for parse_mac, parse_port and parse_seconds.
//   byte % 3 == 2  a command line for parse_arguments: the words after argv[0], separated
//                  by NUL bytes.
//
// The daemon model is keyless (sessions) or keyed (a challenge for each keyed EHLO naming its
// key, KEYED 2 for one naming another, good for four seconds, spent by the first proven
// command; copies answered OK again; a failed sleep command told with REFUSED). The exchange
// is checked by what came of it, never by its own rules: a command is carried out at most
// once in a call; "suspended" or "stopped" only if it was carried out, and with a key only
// on an OK the daemon sent; "locked by another client" and "no answer" only if it was not;
// "needs a key" only from a keyed daemon to a client without a key, and then no command is
// sent; "refused" only with the status of a sleep command that failed; "did not sleep" only
// with --confirm after the command was carried out; "key not known" only before any command;
// "no daemon" only from a host without one; with --confirm and nothing lost or slow,
// "suspended" only if the host slept; with a key, the command goes out only on a START the
// daemon gave for the client's nonce, at most three times, always the same; the call ends by
// its time limit; and with nothing lost, nothing slow and nobody else asking, the result is
// what the keys and the host make it whatever the forger sends.
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/arguments.h"
#include "client/exchange.h"
#include "fuzz_input.h"
#include "key/key.h"
#include "key/keyed_wire.h"
#include "net/protocol.h"

namespace {

using fuzz::Reader;
using fuzz::require;

using namespace std::chrono_literals;

constexpr long kLongestLimitMs = 86'400'000;
constexpr std::chrono::milliseconds kDefaultLimit = 10s;

constexpr int kDaemon = 0;
constexpr int kClient = 1;   // the exchange under test; other clients are 2 and up
constexpr int kForger = -1;  // sends to the client as if from the daemon's address and port

// Keyed protocol version 2 as the fuzzer states it.
constexpr long kGoodSeconds = 4;  // a challenge is good while now - issued <= 4 seconds
constexpr int kCommandCopies = 3;
constexpr std::string_view kNonce = "00112233445566778899aabbccddeeff";
constexpr std::string_view kEarlierNonce = "ffeeddccbbaa99887766554433221100";
constexpr std::string_view kKeyedNotice = "KEYED 2\n";

std::string_view bytes_of(const Key& key) {
  return {reinterpret_cast<const char*>(key.bytes.data()), key.bytes.size()};
}

// HMAC-SHA-256 under key of "lomarind-v2 <label> <first> <second>".
std::string mac(const Key& key, std::string_view label, std::string_view first,
                std::string_view second) {
  std::string message("lomarind-v2 ");
  message.append(label).append(" ").append(first).append(" ").append(second);
  return hmac_sha256_hex(bytes_of(key), message);
}

std::string id_of(const Key& key) {
  return hmac_sha256_hex(bytes_of(key), "lomarind-v2 key-id").substr(0, 8);
}

long second_of(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// The model daemon's challenge for an EHLO from peer in second: the second, and something of
// the peer's own, as the daemon's is.
std::string challenge_for(long second, int peer) {
  std::array<char, 33> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "%08lx%024x", second,
                                  static_cast<unsigned>(peer + 0xc0de)));
  return text.data();
}

std::string keyed_command(const Key& key, std::string_view challenge, std::string_view word) {
  return std::string(word) + " " + id_of(key) + " " + std::string(challenge) + " " +
         mac(key, "command", challenge, word) + "\n";
}

struct Event {
  // kTell: the daemon sends text to `to` (a REFUSED once the sleep command has failed);
  // kIcmp: the kernel of a host without a daemon answers `to`.
  enum Kind { kArrival, kExpiry, kWake, kTell, kIcmp } kind;
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
  std::map<std::string, std::string> spent;  // keyed: challenges and the words they went to
  Clock::time_point asleep_until{};
  std::deque<Event> waiting;  // datagrams that came while the host slept
  int carried_out = 0;
  int refused = 0;          // the status of a sleep command that failed, told with REFUSED
  Clock::duration slept{};  // how long the host slept after a successful sleep command
};

class Model {
 public:
  Model(Reader& input, const Key* key, bool absent) : input_(input), key_(key), absent_(absent) {}

  void send(int from, int to, std::string_view text, Clock::time_point now) {
    if (from == kDaemon && to == kClient) {
      told_client_.emplace(text);
    }
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
    if (absent_) {
      if (event.kind == Event::kArrival) {
        events_.emplace(now + 1ms, Event{Event::kIcmp, kDaemon, event.from, {}});
      }
      return;
    }
    if (event.kind == Event::kTell) {
      send(kDaemon, event.to, event.text, now);
      return;
    }
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
    if (key_ != nullptr) {
      keyed_at_daemon(event, now);
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
      send(kDaemon, event.from, protocol::kStart, now);
    } else if (daemon_.active && event.from == daemon_.owner &&
               (event.text == protocol::kSuspend || event.text == protocol::kQuit)) {
      carry_out(event.from, protocol::kOk, event.text.starts_with(protocol::kQuitWord), now, "");
    }
  }

  // A datagram to the client from its daemon's address and port that the daemon never sent.
  void forge(std::string_view text, Clock::time_point at) {
    events_.emplace(at, Event{Event::kArrival, kForger, kClient, std::string(text)});
  }

  // Whether the daemon sent text to the client.
  bool told_client(const std::string& text) const { return told_client_.contains(text); }

  const Daemon& daemon() const { return daemon_; }

 private:
  // The OK goes first; then the sleep command runs, the daemon deaf meanwhile, and either
  // fails (told with a proven REFUSED when keyed) or puts the host to sleep for a while.
  void carry_out(int from, std::string_view ok, bool quit, Clock::time_point now,
                 const std::string& challenge) {
    ++daemon_.carried_out;
    send(kDaemon, from, ok, now);
    if (quit) {
      daemon_.stopped = true;
      return;
    }
    const Clock::time_point done = now + input_.byte() * 2ms;
    const std::uint8_t fate = key_ != nullptr ? input_.byte() : 0;
    daemon_.asleep_until = done;
    if (fate % 2 == 1) {
      daemon_.refused = 1 + fate / 2;
      const std::string status = std::to_string(daemon_.refused);
      events_.emplace(
          done, Event{Event::kTell, kDaemon, from,
                      "REFUSED " + status + " " + mac(*key_, "refused", challenge, status) + "\n"});
    } else {
      daemon_.slept = input_.byte() * 100ms;
      daemon_.asleep_until += daemon_.slept;
    }
    events_.emplace(daemon_.asleep_until, Event{Event::kWake, kDaemon, kDaemon, {}, 0});
  }

  // With a key there are no sessions: a keyed EHLO naming the key gets a challenge, good for
  // four seconds after the second it was given in, and only for its sender; the first proven
  // command on it is carried out, and every copy of that command is answered OK again.
  void keyed_at_daemon(const Event& event, Clock::time_point now) {
    const std::string& text = event.text;
    const long second = second_of(now);
    const std::string id = id_of(*key_);
    const std::string ehlo = "EHLO " + id + " ";
    // A plain EHLO, or a keyed one naming a key this daemon does not hold.
    if (text == protocol::kEhlo || (text.size() == ehlo.size() + 33 && text.starts_with("EHLO ") &&
                                    !text.starts_with(ehlo) && text.back() == '\n')) {
      send(kDaemon, event.from, kKeyedNotice, now);
      return;
    }
    if (text.size() == ehlo.size() + 33 && text.starts_with(ehlo) && text.back() == '\n') {
      const std::string_view nonce = std::string_view(text).substr(ehlo.size(), 32);
      const std::string challenge = challenge_for(second, event.from);
      send(kDaemon, event.from,
           "START " + challenge + " " + mac(*key_, "start", nonce, challenge) + "\n", now);
      return;
    }
    for (long issued = second - kGoodSeconds; issued <= second; ++issued) {
      const std::string challenge = challenge_for(issued, event.from);
      for (const std::string_view word : {protocol::kSuspendWord, protocol::kQuitWord}) {
        if (text != keyed_command(*key_, challenge, word)) {
          continue;
        }
        const std::string ok = "OK " + mac(*key_, "ok", challenge, word) + "\n";
        const auto [spent, first] = daemon_.spent.emplace(challenge, word);
        if (first) {
          carry_out(event.from, ok, word == protocol::kQuitWord, now, challenge);
        } else if (spent->second == word) {
          send(kDaemon, event.from, ok, now);
        }
        return;
      }
    }
  }

  Reader& input_;
  const Key* key_;
  bool absent_;
  Daemon daemon_;
  Clock::time_point ends_{};
  bool lost_ = false;
  Clock::duration slowest_{};
  std::multimap<Clock::time_point, Event> events_;  // equal times keep their order
  std::set<std::string, std::less<>> told_client_;
};

// Which of the two sides holds a key, and whether it is the same.
enum class Keys { kNone, kSame, kWrong, kDaemonOnly, kClientOnly };

// What the forger sends when the client has sent a datagram, by the byte f (see the input
// format): nothing, the plain words, proofs it made up, and replies recorded from the
// daemon: from earlier exchanges (before start), the latest one to this client, and one for
// this client's challenge and the other word, which the daemon never sends.
std::string forged(std::uint8_t f, const Key& daemon_key, Clock::time_point start,
                   std::string_view challenge, std::string_view word, std::string_view other,
                   std::string_view latest) {
  const long earlier = second_of(start) - 1 - (f >> 4U);
  const std::string made_up = hmac_sha256_hex("forger", std::to_string(f));
  const std::string recorded = challenge_for(earlier, kClient);
  switch (f % 16) {
  case 1:
    return std::string(protocol::kStart);
  case 2:
    return std::string(protocol::kOk);
  case 3:
    return std::string(protocol::kLocked);
  case 4:
    return std::string(protocol::kEnd);
  case 5:
    return std::string(kKeyedNotice);
  case 6:
    return "START " + challenge_for(second_of(start), kClient) + " " + made_up + "\n";
  case 7:
    return "OK " + made_up + "\n";
  case 8:
    return "START " + recorded + " " + mac(daemon_key, "start", kEarlierNonce, recorded) + "\n";
  case 9:
    return "OK " + mac(daemon_key, "ok", recorded, word) + "\n";
  case 10:
    return std::string(latest);
  case 11:
    return "OK " + mac(daemon_key, "ok", challenge.empty() ? recorded : challenge, other) + "\n";
  case 12:
    return "REFUSED 1 " + made_up + "\n";
  case 13:
    return "REFUSED 1 " + mac(daemon_key, "refused", recorded, "1") + "\n";
  default:
    return "";
  }
}

// What one run came to, for the checks after it.
struct Run {
  Keys keys = Keys::kNone;
  bool quit = false;
  bool confirm = false;
  bool absent = false;
  bool easy = false;           // nothing lost or slow, nobody else asking, time enough
  bool forged_notice = false;  // the forger sent a KEYED 2
  int commands_sent = 0;
};

// The outcome against what the model daemon did.
void check_outcome(const Run& run, const Exchange& exchange, const Daemon& daemon) {
  const bool client_keyed = run.keys != Keys::kNone && run.keys != Keys::kDaemonOnly;
  const bool daemon_keyed = run.keys != Keys::kNone && run.keys != Keys::kClientOnly;
  const int carried_out = daemon.carried_out;
  require(carried_out <= 1, "a command is carried out at most once in a call");
  require(run.commands_sent <= (client_keyed ? kCommandCopies : 1),
          "a command goes out once, or with a key at most three times");
  switch (exchange.result) {
  case Result::kDone:
    require(carried_out == 1, "suspended or stopped only if the command was carried out");
    require(!run.easy || run.quit || !client_keyed || daemon.refused == 0,
            "with nothing lost, a refused sleep is never reported as suspended");
    require(!run.easy || !run.confirm || !client_keyed || run.quit || daemon.slept > 0ms,
            "with nothing lost, --confirm reports suspended only a host that slept");
    break;
  case Result::kLocked:
  case Result::kNoAnswer:
    require(carried_out == 0, "locked or no answer only if the command was not carried out");
    break;
  case Result::kNeedsKey:
    require(!client_keyed && daemon_keyed && run.commands_sent == 0,
            "needs a key only from a keyed daemon to a client without one, and then no "
            "command is sent");
    break;
  case Result::kRefused:
    require(client_keyed && !run.quit && carried_out == 1 && daemon.refused != 0 &&
                exchange.sleep_status == daemon.refused,
            "refused only with the status of the sleep command that failed");
    break;
  case Result::kDidNotSleep:
    require(run.confirm && carried_out == 1, "did not sleep only with --confirm, once carried out");
    break;
  case Result::kKeyNotKnown:
    require(client_keyed && run.commands_sent == 0, "key not known only before any command");
    break;
  case Result::kNoDaemon:
    require(run.absent && carried_out == 0, "no daemon only from a host without one");
    break;
  default:
    break;
  }
  require(client_keyed == daemon_keyed || run.commands_sent == 0,
          "no command goes to a daemon whose key setting does not match the client's");
  require(run.keys != Keys::kWrong || run.commands_sent == 0,
          "no command goes out under a wrong key");
  if (!run.easy) {
    return;
  }
  // A keyed client with a keyless daemon hears nothing it can prove: no answer; one whose
  // key the daemon does not hold is told KEYED 2.
  constexpr std::array kEasyResult{Result::kDone, Result::kDone, Result::kKeyNotKnown,
                                   Result::kNeedsKey, Result::kNoAnswer};
  Result expected =
      run.absent ? Result::kNoDaemon : kEasyResult[static_cast<std::size_t>(run.keys)];
  if (expected == Result::kDone && client_keyed && !run.quit && daemon.refused != 0) {
    expected = Result::kRefused;
  }
  // A confirmed suspend of a host that slept long enough, or not, depends on the timing; a
  // forged KEYED 2 that no proven START follows can only make the host fail another way.
  const bool either = (expected == Result::kDone && client_keyed && run.confirm && !run.quit &&
                       exchange.result == Result::kDidNotSleep) ||
                      (expected == Result::kNoAnswer && run.forged_notice &&
                       exchange.result == Result::kKeyNotKnown);
  require(either || exchange.result == expected,
          "with nothing lost or slow and nobody else asking, the keys and the host decide the "
          "result, whatever a forger sends");
}

// The nonce of the n-th --confirm probe.
std::string probe_nonce(int n) {
  std::array<char, 33> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "%032x", 0x9000 + n));
  return text.data();
}

void run_exchange(Reader& input) {
  const std::uint8_t choice = input.byte();
  Run run;
  run.quit = choice % 2 == 1;
  run.keys = static_cast<Keys>(choice / 2 % 5);
  run.confirm = choice / 10 % 2 == 1;
  run.absent = choice / 20 % 8 == 7;
  Key daemon_key;
  Key client_key;
  daemon_key.bytes.fill(0x5a);
  client_key.bytes.fill(run.keys == Keys::kWrong ? 0xa5 : 0x5a);
  const bool daemon_keyed = run.keys != Keys::kNone && run.keys != Keys::kClientOnly;
  const bool client_keyed = run.keys != Keys::kNone && run.keys != Keys::kDaemonOnly;
  const auto limit = std::chrono::milliseconds(input.big_endian(2) % 30'000 + 1);
  const Clock::time_point start = Clock::time_point{} + 1000s;
  Model model(input, daemon_keyed ? &daemon_key : nullptr, run.absent);
  const int others = input.byte() % 4;
  for (int other = 0; other < others; ++other) {
    model.send(other + 2, kDaemon, protocol::kEhlo,
               start + std::chrono::milliseconds(input.big_endian(2) % 20'000));
  }
  const std::string_view word = run.quit ? protocol::kQuitWord : protocol::kSuspendWord;
  const std::string_view other_word = run.quit ? protocol::kSuspendWord : protocol::kQuitWord;
  Exchange exchange = start_exchange(
      start, limit,
      {Task::kCommand, client_keyed, !run.quit, run.confirm && client_keyed && !run.quit});
  Clock::time_point now = start;
  std::string challenge;  // from the proven START the command answered, as the client keeps it
  std::string first_command;
  std::string latest_from_daemon;   // the latest datagram the client had from its daemon
  std::vector<std::string> probes;  // the nonces of --confirm's probes
  const auto client_sends = [&](Send send) {
    if (send == Send::kNothing) {
      return;
    }
    if (send == Send::kEhlo || send == Send::kProbe) {
      if (send == Send::kProbe) {
        probes.push_back(probe_nonce(static_cast<int>(probes.size())));
      }
      const std::string nonce = send == Send::kProbe ? probes.back() : std::string(kNonce);
      model.send(kClient, kDaemon,
                 client_keyed ? "EHLO " + id_of(client_key) + " " + nonce + "\n"
                              : std::string(protocol::kEhlo),
                 now);
    } else {
      ++run.commands_sent;
      const std::string text = client_keyed
                                   ? keyed_command(client_key, challenge, word)
                                   : std::string(run.quit ? protocol::kQuit : protocol::kSuspend);
      first_command = first_command.empty() ? text : first_command;
      require(text == first_command, "every copy of the command carries the same challenge");
      model.send(kClient, kDaemon, text, now);
    }
    if (client_keyed) {
      const std::uint8_t f = input.byte();
      const std::string text =
          forged(f, daemon_key, start, challenge, word, other_word, latest_from_daemon);
      if (!text.empty()) {
        run.forged_notice = run.forged_notice || text == kKeyedNotice;
        model.forge(text, now + (f >> 4U) * 20ms);
      }
    }
  };
  // As the client's loop: with a key, only proven replies count (while confirming, a START
  // only for a probe's nonce), and the challenge of the START that the command answers is kept.
  const auto classify = [&](const std::string& text, int& status) {
    if (!client_keyed) {
      return reply_of(text);
    }
    const bool confirming = exchange.step == Step::kConfirming;
    for (const std::string& nonce : probes) {
      if (confirming && proven_start(text, client_key, nonce)) {
        return Reply::kKeyedStart;
      }
    }
    const Reply reply = proven_reply(text, client_key, confirming ? "" : kNonce, challenge, word);
    status = reply == Reply::kRefused ? read_refused(text)->status : 0;
    return reply;
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
    if (event.kind == Event::kIcmp) {
      client_sends(on_reply(exchange, Reply::kUnreachable, now));
    } else if (event.kind == Event::kArrival && event.to != kDaemon) {
      if (event.to == kClient && asking) {
        const std::string& text = event.text;
        latest_from_daemon = event.from == kDaemon ? text : latest_from_daemon;
        int status = 0;
        const Reply reply = classify(text, status);
        require((reply != Reply::kKeyedOk && reply != Reply::kRefused &&
                 (reply != Reply::kKeyedStart || exchange.step == Step::kConfirming)) ||
                    model.told_client(text),
                "a keyed client takes only an OK, a REFUSED or a START the daemon sent it");
        const Send send = on_reply(exchange, reply, now, status);
        if (client_keyed && send == Send::kCommand) {
          require(text.starts_with("START ") && model.told_client(text),
                  "a keyed command goes out only on a START the daemon gave for our nonce");
          challenge = text.substr(6, 32);
        }
        client_sends(send);
      }
    } else {
      model.at_daemon(event, now);
    }
  }
  run.easy = others == 0 && limit >= 3s && model.smooth();
  check_outcome(run, exchange, model.daemon());
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
         x.key_file == y.key_file && x.wait == y.wait && x.confirm == y.confirm &&
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
    require(!arguments.sleepers.empty(), "MACs");
    require(arguments.wait ? arguments.targets.size() == arguments.sleepers.size()
                           : arguments.targets.empty() && arguments.time_limit == kDefaultLimit,
            "wake --wait names a host for each MAC; wake alone takes no time limit");
    require(!arguments.wait || given("-t") || given("--timeout") ||
                arguments.time_limit == std::chrono::milliseconds(60'000),
            "wake --wait waits a minute unless told otherwise");
    require(arguments.wake_port >= 1, "a wake port is 1 to 65535");
    for (const Sleeper& sleeper : arguments.sleepers) {
      require((arguments.wait || given(sleeper.argument)) && mac_text(sleeper.argument) &&
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

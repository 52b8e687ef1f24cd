// One host's exchange, run against a model of the daemon over a network that loses, delays
// and reorders datagrams. Aborts when an outcome is wrong.
//
// Input format: a byte c choosing the command (even: suspend, odd: quit), by c / 2 % 5 the
// keys: none; the same key in both; a wrong key in the client; a key in the daemon only; in
// the client only; by c / 10 % 2 --confirm; and by c / 20 % 8 == 7 a host with no daemon on
// the port, whose kernel answers each datagram with ICMP port unreachable; a 2-byte
// big-endian time limit in milliseconds (modulo 30 000, plus one); a byte whose value modulo
// 4 is the number of other clients, each then given by a 2-byte big-endian time (modulo
// 20 000 ms) at which it sends one EHLO. After that the model draws one byte whenever it
// needs a choice, in the order the events happen:
//   - every datagram sent, by anyone: its fate, (byte % 4 == 3) lost (below 128) or
//     delivered at once without its first byte, else delivered after byte / 4 units of 1 ms,
//     20 ms or 100 ms (byte % 4);
//   - every session opened: its length, from just over 4 s to 6 s, as the daemon's
//     whole-second clock makes it;
//   - every suspend carried out: how long its sleep command runs, byte * 40 ms; with a key,
//     its status (an even byte: 0, else 1 + byte / 2), a failure being told to the client
//     with a proven REFUSED once it has run, and whether the daemon knows RUNNING and
//     SLEEPING (an even byte) or is one from before them; a daemon that knows them finds a
//     block inhibitor held when the status byte is 2 modulo 4, and then runs nothing and
//     tells INHIBITED and REFUSED 1 at once; after a success, how long the host
//     sleeps, byte * 100 ms. The daemon answers nothing while the host sleeps, and datagrams
//     wait; one from before RUNNING answers nothing while the command runs either;
//   - with a key in the client, after every datagram it sends, what a forger sends it from
//     the daemon's address and port, (f >> 4) * 20 ms later: f % 16 is nothing (0),
//     START, OK, LOCKED, END, KEYED 2 (1 to 5), START and OK with made-up proofs (6, 7),
//     START and OK recorded from an earlier exchange (8, 9), the latest datagram the daemon
//     sent the client (10), an OK with the proof for the client's challenge and the other
//     word (11), a REFUSED with a made-up proof (12) or recorded from an earlier exchange
//     (13), a SLEEPING recorded from an earlier exchange (14), a RUNNING with a made-up proof
//     (15).
// Past the input's end every byte is 0: delivered at once, no forgery.
//
// The daemon model is keyless (sessions) or keyed (a challenge for each keyed EHLO naming its
// key, KEYED 2 for one naming another, good for four seconds, spent by the first proven
// command; copies answered OK again; a failed sleep command told with REFUSED). A keyed daemon
// that knows RUNNING and SLEEPING says RUNNING with the OK of a SUSPEND, serves on while the
// sleep command runs, tells SLEEPING or REFUSED when it ends, and answers every copy of the
// SUSPEND with the OK and the outcome so far. The exchange is checked by what came of it,
// never by its own rules: a command is carried out at most once in a call; "suspended" or
// "stopped" only if it was carried out, and with a key only on an OK the daemon sent; a keyed
// "suspended" from a daemon that knows RUNNING only once its sleep command succeeded, unless
// none of RUNNING, SLEEPING and REFUSED reached the client within the refusal wait after the
// first OK (then it takes the daemon for one from before them); "command not confirmed" only
// after a command went out; "locked by another client" and "no answer" only if it was not;
// "needs a key" only from a keyed daemon to a client without a key, and then no command is
// sent; "refused" only with the status of a sleep command that failed, and "inhibited by"
// only with the daemon's own text, which, with nothing lost, an inhibited SUSPEND gets; "did not
// sleep" only with --confirm after the command was carried out; "key not known" only before any
// command; "no daemon" only from a host without one; with --confirm and nothing lost or slow,
// "suspended" only if the host slept; with a key, the command goes out only on a START the
// daemon gave for the client's nonce, at most three times, always the same, and after a
// proven RUNNING again at most once a second; the call ends by its time limit; and with nothing
// lost, nothing slow and nobody else asking, the result is what the keys and the host make it
// whatever the forger sends.
#include <algorithm>
#include <array>
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

#include "client/exchange.h"
#include "client/hearing.h"
#include "fuzz_input.h"
#include "key/key.h"
#include "key/keyed_wire.h"
#include "net/protocol.h"

namespace {

using fuzz::Reader;
using fuzz::require;

using namespace std::chrono_literals;

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
// Who holds the model daemon's inhibitor and why, as INHIBITED tells it.
const std::string kInhibitor = "backup: Backup in progress";

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
  int refused = 0;               // the status of a sleep command that failed, told with REFUSED
  Clock::duration slept{};       // how long the host slept after a successful sleep command
  bool tells = false;            // keyed: knows RUNNING and SLEEPING
  bool inhibited = false;        // tells: an inhibitor held the sleep command back
  Clock::time_point ran_from{};  // when the SUSPEND's sleep command started
  Clock::time_point ran_to{};    // and when it ended
  std::string suspend;           // keyed: the SUSPEND carried out, whose copies it answers
  std::string ok;                // and its OK
  std::string challenge;
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
  // The OK goes first (with RUNNING from a daemon that knows it); then the sleep command runs
  // and either fails (told with a proven REFUSED when keyed) or puts the host to sleep for a
  // while (told with SLEEPING first by a daemon that knows it). A daemon from before RUNNING
  // is deaf while the command runs.
  void carry_out(int from, std::string_view ok, bool quit, Clock::time_point now,
                 const std::string& challenge) {
    ++daemon_.carried_out;
    send(kDaemon, from, ok, now);
    if (quit) {
      daemon_.stopped = true;
      return;
    }
    const Clock::time_point done = now + input_.byte() * 40ms;
    const std::uint8_t fate = key_ != nullptr ? input_.byte() : 0;
    daemon_.tells = key_ != nullptr && input_.byte() % 2 == 0;
    daemon_.ran_from = now;
    daemon_.ran_to = done;
    daemon_.challenge = challenge;
    if (daemon_.tells && fate % 4 == 2) {
      daemon_.inhibited = true;
      daemon_.refused = 1;
      daemon_.ran_to = now;
      daemon_.asleep_until = now;
      send(kDaemon, from, inhibition(), now);
      send(kDaemon, from, outcome(), now);
      return;
    }
    if (daemon_.tells) {
      send(kDaemon, from, "RUNNING " + mac(*key_, "running", challenge, "SUSPEND") + "\n", now);
    }
    daemon_.asleep_until = daemon_.tells ? now : done;
    if (fate % 2 == 1) {
      daemon_.refused = 1 + fate / 2;
      events_.emplace(done, Event{Event::kTell, kDaemon, from, outcome()});
    } else {
      if (daemon_.tells) {
        events_.emplace(done, Event{Event::kTell, kDaemon, from, outcome()});
      }
      daemon_.slept = input_.byte() * 100ms;
      daemon_.asleep_until = done + daemon_.slept;
    }
    events_.emplace(daemon_.asleep_until, Event{Event::kWake, kDaemon, kDaemon, {}, 0});
  }

  // The INHIBITED that tells that an inhibitor held the keyed SUSPEND's command back.
  std::string inhibition() const {
    return "INHIBITED " + mac(*key_, "inhibited", daemon_.challenge, kInhibitor) + " " +
           kInhibitor + "\n";
  }

  // How the keyed SUSPEND's sleep command ended: REFUSED or SLEEPING.
  std::string outcome() const {
    if (daemon_.refused != 0) {
      const std::string status = std::to_string(daemon_.refused);
      return "REFUSED " + status + " " + mac(*key_, "refused", daemon_.challenge, status) + "\n";
    }
    return "SLEEPING " + mac(*key_, "sleeping", daemon_.challenge, "SUSPEND") + "\n";
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
    // A daemon that knows RUNNING remembers its SUSPEND for longer than any call here lasts,
    // and answers every copy with the OK and what the sleep command has come to so far.
    if (daemon_.tells && text == daemon_.suspend) {
      send(kDaemon, event.from, daemon_.ok, now);
      if (daemon_.inhibited) {
        send(kDaemon, event.from, inhibition(), now);
      }
      send(kDaemon, event.from,
           now < daemon_.ran_to
               ? "RUNNING " + mac(*key_, "running", daemon_.challenge, "SUSPEND") + "\n"
               : outcome(),
           now);
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
          daemon_.suspend = word == protocol::kSuspendWord ? text : "";
          daemon_.ok = ok;
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
  case 14:
    return "SLEEPING " + mac(daemon_key, "sleeping", recorded, protocol::kSuspendWord) + "\n";
  case 15:
    return "RUNNING " + made_up + "\n";
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
  bool easy = false;             // nothing lost or slow, nobody else asking, time enough
  bool refused_first = false;    // a proven REFUSED reached the client before any INHIBITED
  bool heard_inhibited = false;  // a proven INHIBITED reached the client
  bool forged_notice = false;    // the forger sent a KEYED 2
  int commands_sent = 0;
  std::chrono::milliseconds limit{};
  Clock::time_point deadline{};
  bool heard_running = false;  // a proven RUNNING reached the client
  // A proven RUNNING, SLEEPING or REFUSED reached the client within the refusal wait after
  // the first proven OK (or such a word that came in its place).
  bool told_in_time = false;
  std::optional<Clock::time_point> first_ok;
};

// The outcome against what the model daemon did.
void check_outcome(const Run& run, const Exchange& exchange, const Daemon& daemon) {
  const bool client_keyed = run.keys != Keys::kNone && run.keys != Keys::kDaemonOnly;
  const bool daemon_keyed = run.keys != Keys::kNone && run.keys != Keys::kClientOnly;
  const int carried_out = daemon.carried_out;
  require(carried_out <= 1, "a command is carried out at most once in a call");
  require(run.commands_sent <= (client_keyed ? kCommandCopies : 1) || run.heard_running,
          "a command goes out once, or with a key at most three times until a RUNNING");
  require(run.commands_sent <= kCommandCopies + 1 + static_cast<int>(run.limit / 1s),
          "copies of a command go out at most once a second");
  const bool keyed_suspend = client_keyed && daemon_keyed && !run.quit;
  // A daemon from before RUNNING whose sleep command failed after about the refusal wait or
  // later cannot be told from one that slept; under --confirm, nor one deaf for about the
  // wait and the probes together (the manual says so).
  const Clock::duration ran = daemon.ran_to - daemon.ran_from;
  const bool old_and_late = keyed_suspend && !daemon.tells && ran + 200ms >= kRefusalWait;
  const bool old_and_deaf =
      old_and_late && ran + 200ms >= kRefusalWait + kConfirmProbes * kProbeInterval;
  switch (exchange.result) {
  case Result::kDone:
    require(carried_out == 1, "suspended or stopped only if the command was carried out");
    require(!keyed_suspend || !daemon.tells || !run.told_in_time ||
                (daemon.refused == 0 && exchange.finished >= daemon.ran_to),
            "a daemon that tells how its sleep command ends is reported suspended only once "
            "it succeeded");
    require(!run.easy || run.quit || !client_keyed || daemon.refused == 0 || old_and_late,
            "with nothing lost, a refused sleep is never reported as suspended");
    require(!run.easy || !run.confirm || !client_keyed || run.quit || daemon.slept > 0ms ||
                old_and_deaf,
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
    require(exchange.inhibitor.empty() || (daemon.inhibited && exchange.inhibitor == kInhibitor),
            "inhibited only as the daemon said, by whom it said");
    require(!run.easy || !daemon.inhibited || run.refused_first || !exchange.inhibitor.empty(),
            "with nothing lost, an inhibited sleep is reported with who and why, unless its "
            "REFUSED overtook its INHIBITED");
    break;
  case Result::kDidNotSleep:
    require(run.confirm && carried_out == 1, "did not sleep only with --confirm, once carried out");
    break;
  case Result::kUnconfirmed:
    require(run.commands_sent > 0, "command not confirmed only after a command went out");
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
  // A sleep command that ends near the time limit or after it leaves the outcome unknown; one
  // of a daemon from before RUNNING that ends late may be taken for sleep, or found refused by
  // --confirm's probes.
  const bool ends_late = keyed_suspend && daemon.carried_out == 1 &&
                         daemon.ran_to + 200ms >= run.deadline &&
                         exchange.result == Result::kUnconfirmed;
  const bool old_late_result =
      old_and_late && daemon.carried_out == 1 &&
      (exchange.result == Result::kDone || exchange.result == Result::kRefused ||
       (run.confirm && exchange.result == Result::kDidNotSleep));
  const bool either = (expected == Result::kDone && client_keyed && run.confirm && !run.quit &&
                       exchange.result == Result::kDidNotSleep) ||
                      (expected == Result::kNoAnswer && run.forged_notice &&
                       exchange.result == Result::kKeyNotKnown) ||
                      ends_late || old_late_result;
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
  run.limit = limit;
  run.deadline = start + limit;
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
  // What the client sent, and the challenge of the START its command answers, as its loop
  // keeps them.
  Proving proving;
  proving.word = word;
  proving.nonce = kNonce;
  int probes_sent = 0;
  std::string first_command;
  std::string latest_from_daemon;  // the latest datagram the client had from its daemon
  const auto client_sends = [&](Send send) {
    if (send == Send::kNothing) {
      return;
    }
    if (send == Send::kEhlo || send == Send::kProbe) {
      if (send == Send::kProbe) {
        remember_probe(proving, probe_nonce(probes_sent++));
      }
      const std::string nonce = send == Send::kProbe ? proving.probes.back() : proving.nonce;
      model.send(kClient, kDaemon,
                 client_keyed ? "EHLO " + id_of(client_key) + " " + nonce + "\n"
                              : std::string(protocol::kEhlo),
                 now);
    } else {
      ++run.commands_sent;
      const std::string text = client_keyed
                                   ? keyed_command(client_key, proving.challenge, word)
                                   : std::string(run.quit ? protocol::kQuit : protocol::kSuspend);
      first_command = first_command.empty() ? text : first_command;
      require(text == first_command, "every copy of the command carries the same challenge");
      model.send(kClient, kDaemon, text, now);
    }
    if (client_keyed) {
      const std::uint8_t f = input.byte();
      const std::string text =
          forged(f, daemon_key, start, proving.challenge, word, other_word, latest_from_daemon);
      if (!text.empty()) {
        run.forged_notice = run.forged_notice || text == kKeyedNotice;
        model.forge(text, now + (f >> 4U) * 20ms);
      }
    }
  };
  client_sends(on_timer(exchange, now));
  for (int steps = 0;; ++steps) {
    require(steps < 1'000'000, "the exchange and the model come to rest");
    const bool asking = exchange.step != Step::kFinished;
    if (model.idle() && !asking) {
      break;
    }
    if (asking && (model.idle() || next_timer(exchange) <= model.next_time())) {
      require(next_timer(exchange) >= now, "the exchange never asks to wake in the past");
      now = next_timer(exchange);
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
        // As the client's loop: with a key, only proven replies count.
        const Heard heard = hear(exchange, text, client_keyed ? &client_key : nullptr, proving);
        const Reply reply = heard.reply;
        const bool told = reply == Reply::kRunning || reply == Reply::kSleeping ||
                          reply == Reply::kRefused || reply == Reply::kInhibited;
        require((reply != Reply::kKeyedOk && !told &&
                 (reply != Reply::kKeyedStart || exchange.step == Step::kConfirming)) ||
                    model.told_client(text),
                "a keyed client takes only an OK, a RUNNING, a SLEEPING, a REFUSED or a START "
                "the daemon sent it");
        if (reply == Reply::kKeyedOk || told) {
          run.first_ok = run.first_ok.value_or(now);
          run.told_in_time = run.told_in_time || (told && now < *run.first_ok + kRefusalWait);
        }
        run.heard_running = run.heard_running || reply == Reply::kRunning;
        run.refused_first = run.refused_first || (reply == Reply::kRefused && !run.heard_inhibited);
        run.heard_inhibited = run.heard_inhibited || reply == Reply::kInhibited;
        const Send send = on_reply(exchange, reply, now, heard.sleep_status, heard.inhibitor);
        if (client_keyed && send == Send::kCommand) {
          require(text.starts_with("START ") && model.told_client(text),
                  "a keyed command goes out only on a START the daemon gave for our nonce");
          require(heard.challenge == std::string_view(text).substr(6, 32),
                  "the command answers the challenge of the START it goes out on");
          proving.challenge = heard.challenge;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader input(data, size);
  run_exchange(input);
  return 0;
}

// Drives the daemon's turn with a sequence of events decoded from the fuzz input and aborts
// when an outcome breaks a rule of the protocol. Every input runs twice, read two ways. Each
// turn is take_turn itself, on one LoopState kept from turn to turn, and after a SUSPEND
// sleep_ended, as run_session_loop takes them; what is checked is what the turn names, in its
// order: its log lines, the datagrams it sends (what, to whom, from which local address), the
// service manager's status lines, and its effect. They are checked against the fuzzer's own
// model: the state table in keyless mode, what the key holders sent in keyed mode, and in
// both the log budget (at most 10 of the lines anyone's datagrams can cause are written in
// a second of the boot clock; the rest are counted and reported in one line by the first turn
// of a later second).
//
// Both readings take senders from kPeers: clients on one host differing in the port only,
// one whose datagrams come from port 0, and some whose datagrams were sent to a subnet's
// broadcast address, to 255.255.255.255 or to a multicast group. Both modes drop the last
// two kinds before anything else. Before a turn takes a datagram, its text is prepared as the
// loop does it: the receive keeps the first 1023 bytes, and datagram_text ends the text at the
// first NUL. In neither reading does the host sleep: every turn passes the same lead of the
// boot clock over the monotonic clock (Clocks' default), so a turn that said the host slept
// would name a line the model does not expect.
//
// Without a key, the input is a sequence of turns at a wall clock and a boot clock (the
// first times the session window, the second the log budget). One event after another until
// the input runs out or the owner's QUIT has ended the loop:
//   kind byte % 4 == 0  a turn with a datagram:
//                         sender byte (index into kPeers, modulo its size),
//                         2-byte big-endian length L (modulo 65508: 0 to 65507 bytes),
//                         fill byte, of which the datagram is made,
//                         2-byte big-endian offset O, 2-byte big-endian count C (modulo
//                         1025), then C bytes (as far as the input reaches) that overwrite
//                         the datagram from O on, as far as it reaches.
//                       So a short input can describe a datagram of any length with, say,
//                       a NUL or a word at any place.
//   kind byte % 4 == 1  a turn whose receive timed out, a second of the boot clock later (the
//                       receive waits a second).
//   kind byte % 4 == 2  a step of the wall clock: 4-byte big-endian signed seconds.
//   kind byte % 4 == 3  a turn with a protocol word: sender byte, choice byte: choice % 3 the
//                       word (EHLO, SUSPEND, QUIT), choice / 3 % 9 the status the sleep
//                       command ends with (kSleepStatuses) for this and later SUSPENDs.
// The sleep command ends with status 0 until a word of kind 3 says otherwise.
//
// With two named keys, as a daemon started with --key-file, the input is a sequence of
// datagrams from key holders and strangers at seconds of the boot clock, each checked
// against what the key holders sent (see KeyedModel). The first key may ask for relayed
// wakes, the second may not. In every kind, bits 5-6 of the kind byte choose where the magic
// packet of a WAKE carried out in that event went (kRelayResults), which the fuzzer then tells
// wake_relayed as the loop does.
//   kind byte % 4 == 0  a key holder: sender byte (kPeers), choice byte: bit 0 the key,
//                       bits 1-2 what it sends (0: EHLO with a new nonce; 1: a command
//                       on a challenge it was given; 2: a copy of a datagram it sent
//                       before; 3: EHLO, and the command at once on its START), bit 3 QUIT
//                       over SUSPEND, bit 4 lost on the way (strangers see it all the same),
//                       bits 5-7 which challenge or datagram, counted back from the latest.
//                       Bit 2 of the kind byte makes the command a WAKE instead, for the MAC
//                       that bits 3-4 of the kind byte choose (kWakeTargets).
//   kind byte % 4 == 1  a stranger: sender byte (kPeers, the key holders' too), then the
//                       bytes stranger_text reads.
//   kind byte % 4 == 2  time passes: a byte b, b % 8 seconds, or (b - 247) * 1000 from 248 on,
//                       and when any passed, a turn whose receive timed out; b / 8 % 9 the
//                       status the sleep command ends with from then on (kSleepStatuses).
//   kind byte % 4 == 3  a crowd of key holders, each at an address of its own, sends EHLO
//                       and SUSPEND at once: a byte b, b % 16 of them, or for 255 as the
//                       first event 1030 of them, more than the table of spent challenges
//                       holds.
// A carried-out QUIT does not end the keyed reading (the turn is a function: the run goes on
// with its state), so that copies of the QUIT are tried as well. A WAKE is carried out only
// for the key that may wake and within the relay's allowance (WakeAllowance); otherwise it is
// DENIED with its reason and spends nothing, so that a copy of it may be carried out later.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "key/key.h"
#include "key/key_service.h"
#include "net/listener.h"
#include "net/magic_packet.h"
#include "net/relay.h"
#include "session/session_turn.h"

namespace {

using fuzz::Reader;
using fuzz::require;

// The fuzzer's own statement of the rules, written out here rather than taken from the
// daemon's headers, so that a wrong constant there is caught.
constexpr std::time_t kWindowSeconds = 5;
constexpr std::size_t kLongestDatagram = 65507;
constexpr std::size_t kReceiveLimit = 1023;
constexpr std::size_t kExplicitBytes = kReceiveLimit + 1;
constexpr std::time_t kFirstClock = 1'700'000'000;
constexpr std::uint32_t kFirstSecond = 1000;
constexpr int kBudgetPerSecond = 10;

constexpr std::string_view kEhlo = "EHLO\n";
constexpr std::string_view kStart = "START\n";
constexpr std::string_view kLocked = "LOCKED\n";
constexpr std::string_view kOk = "OK\n";
constexpr std::string_view kEnd = "END\n";
constexpr std::string_view kSuspend = "SUSPEND\n";
constexpr std::string_view kQuit = "QUIT\n";
// What a keyless turn of kind 3 sends.
constexpr std::array kWords = {kEhlo, kSuspend, kQuit};

// The sleep command the fuzzer's daemon runs, and the statuses it can end with: success,
// failures, could not be run (126, 127), ended by a signal (128 and more).
const std::string kCommand = "systemctl suspend";
// kHeldBack stands for a block inhibitor held when the SUSPEND comes: the command never runs.
constexpr int kHeldBack = -1;
constexpr std::array<int, 9> kSleepStatuses = {0, 1, 2, 126, 127, 130, 137, 255, kHeldBack};
const Inhibitor kInhibitor{"backup", "Backup in progress"};

constexpr std::string_view kStartedPrefix = "Session started for client ";
constexpr std::string_view kLockedPrefix = "Session locked in response to client ";
constexpr std::string_view kEndedPrefix = "Session ended for client ";
constexpr std::string_view kNoSessionPrefix = "No acitve session; Dropping packet from ";
constexpr std::string_view kUnexpectedPrefix = "Unexpected client data; Dropping packet from ";
constexpr std::string_view kFromPortZeroPrefix = "Datagram from port 0; Dropping packet from ";
constexpr std::string_view kToGroupPrefix =
    "Datagram to a broadcast or multicast address; Dropping packet from ";
constexpr std::string_view kSuspending = "Received SUSPEND command. Suspending...";
constexpr std::string_view kQuitting = "Received QUIT command. Stopping Lomarind...";
constexpr std::string_view kHeldBackSuffix =
    " log lines about datagrams held back (at most 10 a second are written)";

constexpr std::string_view kWaitingStatus = "Waiting for a client";
constexpr std::string_view kSessionOpenPrefix = "Session open for client ";

// What the fuzzer knows of where a datagram came from and went.
enum class Screen {
  kNone,
  kFromPortZero,  // no reply can reach it
  kToGroup,       // sent to a broadcast or multicast address, not to this host alone
  kOwnBroadcast,  // a broadcast this host sent, from the address it reached: dropped unlogged
};

struct Peer {
  const char* address;
  std::uint16_t port;
  std::string_view identity;
  const char* local;        // the daemon's address that its datagrams reach
  const char* destination;  // the address they were sent to
  Screen screen;
};

// Two peers share an address and differ in the port only: they are different clients.
// They ask different addresses of the daemon, so a reply from the wrong one shows. Peers from
// 5 on send to groups: a subnet's broadcast address, a multicast group (from the first
// peer's socket), 255.255.255.255 and a multicast group reported as the local address too;
// the last IPv4 one sends where the system does not say which address it reached. The IPv6
// peers after it: one served, one from port 0, one sending to a multicast group. The last is
// this host itself, whose own broadcast came back to the daemon's port.
constexpr std::array kPeers = {
    Peer{"10.0.0.1", 5000, "10.0.0.1:5000", "10.0.0.100", "10.0.0.100", Screen::kNone},
    Peer{"10.0.0.1", 5001, "10.0.0.1:5001", "10.0.0.101", "10.0.0.101", Screen::kNone},
    Peer{"10.0.0.2", 5000, "10.0.0.2:5000", "10.0.0.100", "10.0.0.100", Screen::kNone},
    Peer{"255.255.255.255", 65535, "255.255.255.255:65535", "192.168.0.1", "192.168.0.1",
         Screen::kNone},
    Peer{"0.0.0.0", 0, "0.0.0.0:0", "0.0.0.0", "0.0.0.0", Screen::kFromPortZero},
    Peer{"10.0.0.3", 5000, "10.0.0.3:5000", "10.0.0.100", "10.0.0.255", Screen::kToGroup},
    Peer{"10.0.0.1", 5000, "10.0.0.1:5000", "10.0.0.100", "224.0.0.1", Screen::kToGroup},
    Peer{"10.0.0.2", 5000, "10.0.0.2:5000", "255.255.255.255", "255.255.255.255", Screen::kToGroup},
    Peer{"10.0.0.4", 6000, "10.0.0.4:6000", "224.0.0.251", "224.0.0.251", Screen::kToGroup},
    Peer{"10.0.0.5", 7000, "10.0.0.5:7000", "0.0.0.0", "0.0.0.0", Screen::kNone},
    Peer{"2001:db8::1", 5000, "[2001:db8::1]:5000", "2001:db8::64", "2001:db8::64", Screen::kNone},
    Peer{"2001:db8::1", 0, "[2001:db8::1]:0", "2001:db8::64", "2001:db8::64",
         Screen::kFromPortZero},
    Peer{"2001:db8::2", 5000, "[2001:db8::2]:5000", "ff02::1", "ff02::1", Screen::kToGroup},
    Peer{"10.0.0.100", 9000, "10.0.0.100:9000", "10.0.0.100", "10.0.0.255", Screen::kOwnBroadcast},
};

// A sender as the turn sees it, with what the fuzzer knows of it.
struct Sender {
  Address address;
  std::string identity;
  Address local;
  Address destination;
  Screen screen = Screen::kNone;
};

// An address of either family, as its text says, with port.
Address address_text(const char* text, std::uint16_t port = 0) {
  Address address;
  if (std::string_view(text).find(':') == std::string_view::npos) {
    address.v4.sin_family = AF_INET;
    require(inet_pton(AF_INET, text, &address.v4.sin_addr) == 1, "an address of the fuzzer's");
  } else {
    address.v6.sin6_family = AF_INET6;
    require(inet_pton(AF_INET6, text, &address.v6.sin6_addr) == 1, "an address of the fuzzer's");
  }
  address.v6.sin6_port = htons(port);  // where both families keep the port
  return address;
}

Sender make_sender(const char* address, std::uint16_t port, std::string_view identity,
                   const char* local, const char* destination, Screen screen) {
  Sender sender;
  sender.address = address_text(address, port);
  sender.identity = identity;
  sender.local = address_text(local);
  sender.destination = address_text(destination);
  sender.screen = screen;
  require(identity_of(sender.address) == identity, "identity text of a sender");
  return sender;
}

const std::vector<Sender>& peers() {
  static const std::vector<Sender> all = [] {
    std::vector<Sender> senders;
    senders.reserve(kPeers.size());
    for (const Peer& p : kPeers) {
      senders.push_back(
          make_sender(p.address, p.port, p.identity, p.local, p.destination, p.screen));
    }
    return senders;
  }();
  return all;
}

Datagram datagram_from(const Sender& sender, std::string_view text) {
  Datagram datagram;
  datagram.text = text;
  datagram.sender = sender.address;
  datagram.identity = sender.identity;
  datagram.local = sender.local;
  datagram.destination = sender.destination;
  return datagram;
}

// What the sender meant, worked out from the raw bytes without the daemon's helpers: the
// receive keeps the first 1023 bytes, and the text ends at the first NUL.
std::string_view request_text(std::string_view sent) {
  const std::string_view kept = sent.substr(0, std::min(sent.size(), kReceiveLimit));
  return kept.substr(0, std::min(kept.find('\0'), kept.size()));
}

// The loop's receive buffer and its preparation of a datagram's text.
class Receiver {
 public:
  // The text of the datagram of length bytes at bytes, as the loop hands it to the turn; it
  // lives until the next receive.
  std::string_view receive(const char* bytes, std::size_t length) {
    const std::size_t received = std::min(length, kReceiveLimit);
    std::copy_n(bytes, received, buffer_.begin());
    const std::string_view text = datagram_text(buffer_.data(), received);
    require(text == request_text({bytes, received}),
            "the text is the first 1023 bytes up to the first NUL");
    return text;
  }

 private:
  std::vector<char> buffer_ = std::vector<char>(kReceiveLimit + 1);
};

// The log budget as the manual states it: at most 10 of the lines anyone's datagrams can
// cause are written in one second of the boot clock; each one more is held back, and the
// first turn in a later second begins with one line saying how many were.
class BudgetModel {
 public:
  // True when such a line at second now is written; otherwise it is held back.
  bool writes(std::uint32_t now) {
    if (now != second_) {
      second_ = now;
      written_ = 0;
    }
    if (written_ < kBudgetPerSecond) {
      ++written_;
      return true;
    }
    ++held_;
    held_in_ = now;
    return false;
  }

  // How many lines the turn at second now reports held back; 0 when it reports none.
  long report(std::uint32_t now) {
    if (held_ == 0 || now == held_in_) {
      return 0;
    }
    return std::exchange(held_, 0);
  }

 private:
  std::uint32_t second_ = 0;
  int written_ = 0;
  long held_ = 0;
  std::uint32_t held_in_ = 0;
};

// Reads a turn's outputs front to back, each against what the model expects next.
class Walk {
 public:
  explicit Walk(const Turn& turn) : turn_(turn) {
    require(turn.count <= Turn::kMostOutputs, "a turn names no more outputs than it holds");
  }

  void line(int priority, std::string_view text, const char* rule) {
    const Output& output = next(Output::Kind::kLine, rule);
    require(output.priority == priority && output.text == text, rule);
  }

  // The next output is a datagram to to, leaving from the local address from; returns its
  // text.
  std::string_view send(const Address& to, const Address& from, const char* rule) {
    const Message& message = next(Output::Kind::kSend, rule).message;
    const bool ipv6 = to.family() == AF_INET6;
    require(message.to.size() == to.size() && same_address(message.to, to) &&
                (ipv6 ? std::memcmp(&message.from.v6.sin6_addr, &from.v6.sin6_addr,
                                    sizeof from.v6.sin6_addr) == 0
                      : message.from.v4.sin_addr.s_addr == from.v4.sin_addr.s_addr),
            rule);
    return message.text;
  }

  void send(std::string_view text, const Address& to, const Address& from, const char* rule) {
    require(send(to, from, rule) == text, rule);
  }

  void status(std::string_view text, const char* rule) {
    require(next(Output::Kind::kStatus, rule).text == text, rule);
  }

  // A line anyone's datagrams can cause: written when the budget allows it, else absent.
  void budgeted(BudgetModel& budget, std::uint32_t now, int priority, std::string_view text,
                const char* rule) {
    if (budget.writes(now)) {
      line(priority, text, rule);
    } else {
      require(at_ == turn_.count || turn_.outputs[at_].kind != Output::Kind::kLine ||
                  turn_.outputs[at_].text != text,
              "at most 10 lines that anyone's datagrams can cause are written in a second");
    }
  }

  // The line a turn at second now begins with when lines were held back in an earlier second.
  void held_back(BudgetModel& budget, std::uint32_t now) {
    if (const long held = budget.report(now); held > 0) {
      line(LOG_WARNING, std::to_string(held).append(kHeldBackSuffix),
           "the first turn of a later second reports how many lines were held back");
    }
  }

  void done(const char* rule) const { require(at_ == turn_.count, rule); }

 private:
  const Output& next(Output::Kind kind, const char* rule) {
    require(at_ < turn_.count && turn_.outputs[at_].kind == kind, rule);
    return turn_.outputs[at_++];
  }

  const Turn& turn_;
  std::size_t at_ = 0;
};

std::string running_status(std::string_view identity) {
  return "Running " + kCommand + " for client " + std::string(identity);
}

std::string with(std::string_view prefix, std::string_view identity) {
  return std::string(prefix).append(identity);
}

// Keyless mode, as the fuzzer states it: one session at a time, opened by an EHLO when none
// is active and owned by its sender, ended at the first turn at which the wall clock has moved
// on by five seconds or more since its start (before that turn's datagram); SUSPEND and QUIT
// are carried out only for the owner; a datagram from port 0 or to a group is dropped first.
class KeylessModel {
 public:
  KeylessModel() { state_.command = kCommand; }

  std::time_t wall = kFirstClock;
  std::uint32_t boot = kFirstSecond;
  int sleep_status = 0;

  // One turn, with the datagram sent by sender (null: the receive timed out); returns its
  // effect.
  Effect turn(const Sender* sender, std::string_view text) {
    const Datagram datagram = sender == nullptr ? Datagram{} : datagram_from(*sender, text);
    const Turn turn = take_turn(state_, sender == nullptr ? nullptr : &datagram, {wall, boot});
    const bool expires = active_ && wall - start_ >= kWindowSeconds;
    require(std::any_of(turn.begin(), turn.end(),
                        [](const Output& output) {
                          return output.kind == Output::Kind::kSend && output.message.text == kEnd;
                        }) == expires,
            "a session ends exactly at the first turn five clock seconds after its start");
    Walk walk(turn);
    walk.held_back(budget_, boot);
    if (expires) {
      walk.line(LOG_INFO, with(kEndedPrefix, owner_.identity),
                "a session ends exactly at the first turn five clock seconds after its start, "
                "before the datagram of that turn");
      walk.send(kEnd, owner_.address, owner_.local,
                "END goes to the owner whose window passed, from the address its EHLO asked");
      walk.status(kWaitingStatus, "the daemon waits for a client again after END");
      active_ = false;
    }
    Effect effect = Effect::kNone;
    if (sender != nullptr) {
      effect = row(walk, *sender, text);
    }
    walk.done("a turn names nothing beyond the held-back report, expiry and its row");
    require(turn.effect == effect, "SUSPEND and QUIT are carried out only for the owner");
    require(state_.sleepers.size() == (effect == Effect::kSleep ? 1U : 0U),
            "only a carried-out SUSPEND waits for the sleep command");
    require(state_.wakers.empty(), "keyless, nothing waits for the wake relay");
    check_told(turn);
    if (effect == Effect::kSleep && sleep_status == kHeldBack) {
      const Sleeper sleeper = state_.sleepers.front();
      state_.sleepers.clear();
      const Turn held = sleep_inhibited(state_, sleeper, kInhibitor, {wall, boot});
      Walk walk_held(held);
      walk_held.line(LOG_WARNING, "Sleep inhibited by backup (Backup in progress)",
                     "a sleep held back by an inhibitor is logged with who and why");
      walk_held.status(with(kSessionOpenPrefix, sender->identity),
                       "after an inhibited sleep, the owner's session is open again");
      walk_held.done("a keyless inhibited sleep is its line and the status line");
    } else if (effect == Effect::kSleep) {
      const Turn start = sleep_started(state_, state_.sleepers.front());
      Walk started(start);
      started.status(running_status(sender->identity),
                     "the sleep command is told to the service manager");
      started.done("keyless, a sleep command's start is only its status line");
      const Sleeper sleeper = state_.sleepers.front();
      state_.sleepers.clear();
      const Turn ended = sleep_ended(state_, sleeper, sleep_status, {wall, boot});
      Walk after(ended);
      after.status(with(kSessionOpenPrefix, sender->identity),
                   "after the sleep command, the owner's session is open again");
      after.done("a keyless sleep command's end, failed or not, is only a status line");
      require(ended.effect == Effect::kNone, "the end of a sleep command carries out nothing");
    }
    return effect;
  }

 private:
  // The row of the state table the datagram falls in, after the expiry step: its line, reply
  // and status line, in that order, and what it carries out.
  Effect row(Walk& walk, const Sender& sender, std::string_view text) {
    const std::string_view id = sender.identity;
    if (sender.screen == Screen::kOwnBroadcast) {
      // Dropped before anything else, without a line: nothing at all happens.
    } else if (sender.screen == Screen::kFromPortZero) {
      walk.budgeted(budget_, boot, LOG_WARNING, with(kFromPortZeroPrefix, id),
                    "a datagram from port 0 is dropped before anything else, unanswered");
    } else if (sender.screen == Screen::kToGroup) {
      walk.budgeted(budget_, boot, LOG_WARNING, with(kToGroupPrefix, id),
                    "a datagram to a group is dropped before anything else, unanswered");
    } else if (text == kEhlo && active_) {
      walk.budgeted(budget_, boot, LOG_INFO, with(kLockedPrefix, id),
                    "EHLO while a session is active is logged as locked");
      walk.send(kLocked, sender.address, sender.local,
                "LOCKED goes to the sender of EHLO while a session is active, from the address "
                "it asked");
    } else if (text == kEhlo) {
      walk.line(LOG_INFO, with(kStartedPrefix, id), "EHLO with no session starts one");
      walk.send(kStart, sender.address, sender.local,
                "START goes to the new owner, from the address it asked");
      walk.status(with(kSessionOpenPrefix, id), "a new session is told to the service manager");
      active_ = true;
      owner_ = sender;
      start_ = wall;
    } else if (!active_) {
      walk.budgeted(budget_, boot, LOG_WARNING, with(kNoSessionPrefix, id),
                    "with no session, anything but EHLO is dropped, unanswered");
    } else if (id != owner_.identity) {
      walk.budgeted(budget_, boot, LOG_WARNING, with(kUnexpectedPrefix, id),
                    "anything but EHLO from a client other than the owner is dropped, "
                    "unanswered");
    } else if (text == kSuspend || text == kQuit) {
      walk.line(LOG_INFO, text == kSuspend ? kSuspending : kQuitting,
                "the owner's command within the window is logged");
      walk.send(kOk, sender.address, sender.local,
                "OK goes to the owner of an active session, from the address it asked");
      if (text == kQuit) {
        return Effect::kStop;
      }
      return Effect::kSleep;
    }
    return Effect::kNone;
  }

  // Whatever the model says, the replies alone show one owner at a time: the client told START
  // and not yet END is the owner of the active session, and the table is the model's.
  void check_told(const Turn& turn) {
    for (const Output& output : turn) {
      if (output.kind != Output::Kind::kSend) {
        continue;
      }
      const std::string to = identity_of(output.message.to);
      if (output.message.text == kStart) {
        require(!told_.has_value(), "at most one owner: START while another holds a session");
        told_ = to;
      } else if (output.message.text == kEnd) {
        require(told_ == to, "END goes to the client told START");
        told_.reset();
      }
    }
    const Session& s = state_.session;
    require(s.active == told_.has_value() && (!s.active || *told_ == s.owner),
            "the one client told START and not yet END is the owner of the active session");
    require(s.active == active_ && (!active_ || (s.owner == owner_.identity && s.start == start_)),
            "the session table is the one the rules give");
  }

  LoopState state_;
  BudgetModel budget_;
  bool active_ = false;
  Sender owner_;
  std::time_t start_ = 0;
  std::optional<std::string> told_;
};

void run_keyless(const std::uint8_t* data, std::size_t size) {
  Reader input(data, size);
  KeylessModel model;
  Receiver receiver;
  std::vector<char> datagram;
  std::vector<char> explicit_bytes;

  while (!input.done()) {
    const int kind = input.byte() % 4;
    if (kind == 2) {
      model.wall += static_cast<std::int32_t>(input.big_endian(4));
      continue;
    }
    if (kind == 1) {
      ++model.boot;
      model.turn(nullptr, {});
      continue;
    }
    const Sender& sender = peers().at(input.byte() % kPeers.size());
    std::size_t length = 0;
    if (kind == 3) {
      const std::uint8_t choice = input.byte();
      const std::string_view word = kWords.at(choice % kWords.size());
      model.sleep_status = kSleepStatuses.at(choice / kWords.size() % kSleepStatuses.size());
      datagram.assign(word.begin(), word.end());
      length = datagram.size();
    } else {
      length = input.big_endian(2) % (kLongestDatagram + 1);
      const char fill = static_cast<char>(input.byte());
      const std::size_t offset = input.big_endian(2);
      const std::size_t count = input.big_endian(2) % (kExplicitBytes + 1);
      const std::string_view given = input.bytes(count);
      explicit_bytes.assign(given.begin(), given.end());
      // Only the start of a long datagram is built: the receive keeps no more than 1023
      // bytes of it.
      const std::size_t built = std::min(length, kExplicitBytes);
      datagram.assign(built, fill);
      if (offset < built) {
        std::copy_n(explicit_bytes.begin(), std::min(explicit_bytes.size(), built - offset),
                    datagram.begin() + static_cast<std::ptrdiff_t>(offset));
      }
    }
    const std::string_view text = receiver.receive(datagram.data(), length);
    if (model.turn(&sender, text) == Effect::kStop) {
      break;
    }
  }
}

// Keyed mode, as the fuzzer states it: no sessions; every well-formed EHLO naming a key of the
// daemon gets a challenge; a command is carried out once per challenge, within four seconds of
// the second it was given in; at most 1024 spent challenges are held while they are good, and
// a SUSPEND's also for a minute after its sleep command ended, for copies to learn how.
constexpr std::uint32_t kGoodSeconds = 4;
constexpr std::uint32_t kOutcomeSeconds = 60;
constexpr std::size_t kMostSpent = 1024;
constexpr std::string_view kKeyedNotice = "KEYED 2\n";
constexpr std::array<std::string_view, 2> kCommandWords = {"SUSPEND", "QUIT"};
constexpr std::array<std::string_view, 2> kKeyNames = {"laptop", "nas.lan:backup@2"};
const std::array<std::string, 2> kHolderKeys = {std::string(32, '\x11'), std::string(32, '\x22')};
const std::string kStrangerKey(32, '\x33');

constexpr std::string_view kKeyNeededPrefix = "EHLO without a key; Answered KEYED to client ";
constexpr std::string_view kUnknownKeyPrefix = "Unknown key; Dropping packet from ";
constexpr std::string_view kUnknownKeyAnsweredPrefix = "Unknown key; Answered KEYED to client ";
constexpr std::string_view kUnprovenPrefix = "Command without a valid proof; Dropping packet from ";
constexpr std::string_view kStalePrefix = "Spent or expired challenge; Dropping packet from ";

// The wake relay: a WAKE names the MAC of the machine to wake after its word, and only a key
// that the key file lets wake may ask (the first of kHolderKeys); the relay sends 32 wakes at
// once at most, then 4 more for each second of the boot clock.
constexpr std::string_view kWakeWord = "WAKE";
constexpr std::array<bool, 2> kMayWake = {true, false};
constexpr std::uint64_t kWakeBurst = 32;
constexpr std::uint64_t kWakesPerSecond = 4;

// A machine the key holders wake: its MAC as a WAKE carries it, as the log shows it, and as
// the relay sends it.
struct WakeTarget {
  std::string_view digits;
  std::string_view shown;
  Mac bytes;
};
constexpr std::array kWakeTargets = {
    WakeTarget{"001122aabbcc", "00:11:22:aa:bb:cc", {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc}},
    WakeTarget{"ffffffffffff", "ff:ff:ff:ff:ff:ff", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    WakeTarget{"000000000000", "00:00:00:00:00:00", {0, 0, 0, 0, 0, 0}},
    WakeTarget{"0a1b2c3d4e5f", "0a:1b:2c:3d:4e:5f", {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f}},
};

// Where the magic packet of a carried-out WAKE went, as the loop could find it: one network,
// two, or none and why.
const std::array<RelayResult, 4> kRelayResults = {
    RelayResult{{"10.0.0.255"}, ""},
    RelayResult{{"10.9.0.255", "192.168.1.255"}, ""},
    RelayResult{{}, "no network with a broadcast address"},
    RelayResult{{}, "sending to 10.0.0.255 failed: Network is unreachable"},
};

// The word a WAKE for target is proven for.
std::string wake_word(const WakeTarget& target) {
  return std::string(kWakeWord).append(" ").append(target.digits);
}

// The target a key holder's WAKE word names.
const WakeTarget& wake_target(std::string_view word) {
  const auto* found = std::find_if(kWakeTargets.begin(), kWakeTargets.end(),
                                   [word](const WakeTarget& t) { return wake_word(t) == word; });
  require(found != kWakeTargets.end(), "a key holder wakes only the fuzzer's machines");
  return *found;
}

// The relay's allowance as the manual states it: 32 wakes in hand at first, 4 more for each
// second of the boot clock that passes, never more than 32 in hand; each wake that goes out
// uses one.
class WakeAllowance {
 public:
  // True when a wake may go out at second now.
  bool any(std::uint32_t now) {
    in_hand_ = std::min(kWakeBurst, in_hand_ + std::uint64_t{now - since_} * kWakesPerSecond);
    since_ = now;
    return in_hand_ > 0;
  }

  // A wake went out at second now.
  void use(std::uint32_t now) {
    require(any(now), "a wake goes out only while the allowance has one");
    --in_hand_;
  }

 private:
  std::uint64_t in_hand_ = kWakeBurst;
  std::uint32_t since_ = kFirstSecond;
};

// HMAC-SHA-256 under key of "lomarind-v2 <label> <first> <second>".
std::string mac(std::string_view key, std::string_view label, std::string_view first,
                std::string_view second) {
  std::string message("lomarind-v2 ");
  message.append(label).append(" ").append(first).append(" ").append(second);
  return hmac_sha256_hex(key, message);
}

std::string id_of(std::string_view key) {
  return hmac_sha256_hex(key, "lomarind-v2 key-id").substr(0, 8);
}

const std::array<std::string, 2> kHolderIds = {id_of(kHolderKeys[0]), id_of(kHolderKeys[1])};
const std::string kStrangerId = id_of(kStrangerKey);

std::string hex(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    std::array<char, 3> pair{};
    static_cast<void>(
        std::snprintf(pair.data(), pair.size(), "%02x", static_cast<unsigned char>(c)));
    text.append(pair.data());
  }
  return text;
}

bool lower_hex(std::string_view text, std::size_t digits) {
  return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The holder's key that key_id names, or -1.
int holder_key(std::string_view key_id) {
  for (std::size_t k = 0; k < kHolderIds.size(); ++k) {
    if (kHolderIds.at(k) == key_id) {
      return static_cast<int>(k);
    }
  }
  return -1;
}

// A command as a key holder sends it.
std::string command_text(std::size_t key, std::string_view challenge, std::string_view word) {
  return std::string(word) + " " + kHolderIds.at(key) + " " + std::string(challenge) + " " +
         mac(kHolderKeys.at(key), "command", challenge, word) + "\n";
}

// The key id of a well-formed keyed EHLO: "EHLO ", 8 and 32 lower-case hex digits, "\n".
std::optional<std::string_view> ehlo_key_id(std::string_view text) {
  if (text.size() == 47 && text.starts_with("EHLO ") && text[13] == ' ' && text.back() == '\n' &&
      lower_hex(text.substr(5, 8), 8) && lower_hex(text.substr(14, 32), 32)) {
    return text.substr(5, 8);
  }
  return std::nullopt;
}

// The word a command that starts text would be proven for: SUSPEND or QUIT before a space,
// or "WAKE " and a MAC of 12 lower-case hex digits; empty for anything else.
std::string_view command_word(std::string_view text) {
  for (const std::string_view word : kCommandWords) {
    if (text.starts_with(word) && text.substr(word.size()).starts_with(' ')) {
      return text.substr(0, word.size());
    }
  }
  if (text.starts_with("WAKE ") && lower_hex(text.substr(5, 12), 12)) {
    return text.substr(0, 17);
  }
  return {};
}

// The key id of a well-formed command: a word, then 8, 32 and 64 lower-case hex digits, each
// after a space, and "\n".
std::optional<std::string_view> command_key_id(std::string_view text) {
  const std::size_t at = command_word(text).size() + 1;
  if (at > 1 && text.size() == at + 8 + 1 + 32 + 1 + 64 + 1 && text[at + 8] == ' ' &&
      text[at + 41] == ' ' && text.back() == '\n' && lower_hex(text.substr(at, 8), 8) &&
      lower_hex(text.substr(at + 9, 32), 32) && lower_hex(text.substr(at + 42, 64), 64)) {
    return text.substr(at, 8);
  }
  return std::nullopt;
}

// A command word (WAKE too) followed by a space or a line feed, as the manual describes the
// datagrams that are logged as commands without a valid proof.
bool starts_as_command(std::string_view text) {
  const std::array<std::string_view, 3> words = {kCommandWords[0], kCommandWords[1], kWakeWord};
  return std::any_of(words.begin(), words.end(), [text](std::string_view word) {
    return text.starts_with(word) && text.size() > word.size() &&
           (text[word.size()] == ' ' || text[word.size()] == '\n');
  });
}

// What key holders and strangers know, and the daemon's turn under test.
class KeyedModel {
 public:
  // A challenge a key holder was given, and the second it was given in.
  struct Given {
    std::string challenge;
    std::uint32_t issued;
  };
  // A datagram a key holder sent.
  struct Seen {
    std::string sender;
    std::string text;
  };

  explicit KeyedModel(const KeySet& keys) : keys_(keys) {
    state_.keyed.emplace(keys_);
    state_.command = kCommand;
  }

  std::uint32_t now = kFirstSecond;
  int sleep_status = 0;
  std::size_t relay = 0;  // where the packet of a WAKE carried out now goes (kRelayResults)

  // Lets seconds pass, and takes the turn whose receive timed out at their end; spent
  // challenges that are no longer good are forgotten.
  void pass(std::uint32_t seconds) {
    if (seconds == 0) {
      return;
    }
    now += seconds;
    std::erase_if(spent_, [this](const auto& entry) { return !remembered(entry.second); });
    const Turn turn = take_turn(state_, nullptr, {kFirstClock, now});
    Walk walk(turn);
    walk.held_back(budget_, now);
    walk.done("a keyed turn without a datagram names at most the held-back report");
    require(turn.effect == Effect::kNone, "a turn without a datagram carries out nothing");
  }

  // A key holder at sender sends text (which never arrives if lost); returns the challenge of
  // the START it got, if any, which it keeps for the key its EHLO named.
  std::string holder_sends(const Sender& sender, const std::string& text, bool lost) {
    wire_.push_back({sender.identity, text});
    std::string challenge = lost ? "" : deliver(sender, text);
    if (!challenge.empty()) {
      const auto key = static_cast<std::size_t>(holder_key(text.substr(5, 8)));
      given_[{sender.identity, key}].push_back({challenge, now});
    }
    return challenge;
  }

  // A key holder's command on a challenge it was given: noted as proven, whoever sends it.
  void holder_commands(const Sender& sender, std::size_t key, const Given& given,
                       std::string_view word, bool lost) {
    const std::string text = command_text(key, given.challenge, word);
    proven_.emplace(text, Proven{given.challenge, std::string(word), key, given.issued});
    holder_sends(sender, text, lost);
  }

  // Gives the datagram to the daemon's turn and checks what it names; returns the challenge
  // of a START.
  std::string deliver(const Sender& sender, const std::string& sent) {
    const std::string_view text = receiver_.receive(sent.data(), sent.size());
    const std::size_t held = state_.keyed->spent_count();
    const Datagram datagram = datagram_from(sender, text);
    const Turn turn = take_turn(state_, &datagram, {kFirstClock, now});
    Walk walk(turn);
    walk.held_back(budget_, now);
    std::string challenge;
    Effect effect = Effect::kNone;
    const Proven* command = nullptr;
    if (sender.screen == Screen::kOwnBroadcast) {
      // This host's own broadcast: dropped before the key room sees it, without a line.
    } else if (sender.screen != Screen::kNone) {
      walk.budgeted(
          budget_, now, LOG_WARNING,
          with(sender.screen == Screen::kFromPortZero ? kFromPortZeroPrefix : kToGroupPrefix,
               sender.identity),
          "a datagram from port 0 or to a group is dropped before the key room sees it");
    } else if (const auto found = proven_.find(text); found != proven_.end()) {
      // A key holder's command counts whoever sends it: a copy from another address is the
      // holder's command all the same.
      command = &found->second;
      effect = check_proven(walk, sender, *command);
    } else {
      challenge = check_unproven(walk, sender, text);
    }
    walk.done("a keyed turn names nothing beyond the held-back report and its datagram's");
    require(turn.effect == effect,
            "a command is carried out exactly when a key holder's is first seen while its "
            "challenge is good and unspent, and as the word it names");
    require(state_.wakers.size() == (effect == Effect::kWake ? 1U : 0U),
            "only a carried-out WAKE waits for the relay");

    const std::size_t holds = state_.keyed->spent_count();
    require(holds <= kMostSpent, "at most 1024 spent challenges are held");
    require(holds <= held + (effect == Effect::kNone ? 0 : 1),
            "the spent challenges grow only by a carried-out command");
    require(holds >= spent_.size(), "every spent challenge is held while it is good");
    if (command != nullptr && effect != Effect::kNone) {
      require(carried_out_.insert(command->challenge).second,
              "a challenge carries out one command at most, once");
    }
    if (effect == Effect::kSleep) {
      check_sleep_ended(sender, *command);
    } else if (effect == Effect::kWake) {
      check_wake_relayed(sender, *command);
    }
    return challenge;
  }

  // The challenges the key holder at sender with key was given.
  const std::vector<Given>& given(const std::string& sender, std::size_t key) {
    return given_[{sender, key}];
  }

  // Every datagram a key holder sent, lost or not, in order.
  const std::vector<Seen>& wire() const { return wire_; }

  // The challenge in the latest START to sender, whoever asked.
  std::string latest_start(const std::string& sender) const {
    const auto found = latest_start_.find(sender);
    return found == latest_start_.end() ? "" : found->second;
  }

 private:
  struct Proven {
    std::string challenge;
    std::string word;
    std::size_t key;
    std::uint32_t issued;
  };
  struct Spent {
    std::string word;
    std::uint32_t issued;
    std::string outcome;  // a SUSPEND's: SLEEPING or REFUSED once its command ended; a WAKE's
                          // RELAYED
    std::string inhibited = {};  // and the INHIBITED before the REFUSED, when one held it back
    std::uint32_t settled = 0;   // when it ended, or was relayed
  };

  bool remembered(const Spent& spent) const {
    return now - spent.issued <= kGoodSeconds ||
           (!spent.outcome.empty() && now - spent.settled <= kOutcomeSeconds);
  }

  // A key holder's command: carried out the first time while its challenge is good, answered
  // OK again for copies, dropped when the challenge has expired or went to the other word. A
  // WAKE that the key may not ask or the allowance does not let out is denied instead, and
  // spends nothing.
  Effect check_proven(Walk& walk, const Sender& sender, const Proven& p) {
    const bool good = now - p.issued <= kGoodSeconds;
    auto spent = spent_.find(p.challenge);
    if (spent != spent_.end() && !remembered(spent->second)) {
      spent_.erase(spent);
      spent = spent_.end();
    }
    const bool wake = p.word.starts_with(kWakeWord);
    if (wake && good && spent == spent_.end() && denied(walk, sender, p)) {
      return Effect::kNone;
    }
    const bool again = spent != spent_.end() && spent->second.word == p.word;
    const bool first = good && spent == spent_.end() && spent_.size() < kMostSpent;
    const std::string ok = "OK " + mac(kHolderKeys.at(p.key), "ok", p.challenge, p.word) + "\n";
    const bool suspend = p.word == kCommandWords[0];
    if (first) {
      walk.line(LOG_INFO,
                "Command from client " + sender.identity + " proven with key " +
                    std::string(kKeyNames.at(p.key)),
                "a key holder's command is carried out while its challenge is good and "
                "unspent, whatever strangers sent before, and the key that proved it is named");
      if (!wake) {
        walk.line(LOG_INFO, suspend ? kSuspending : kQuitting,
                  "a carried-out command is logged as its word");
      }
      walk.send(ok, sender.address, sender.local,
                "a proven command is answered OK with the proof of its challenge and word, to "
                "its sender, from the address it asked");
      spent_.emplace(p.challenge, Spent{p.word, p.issued, {}});
      if (wake) {
        allowance_.use(now);
        return Effect::kWake;
      }
      return suspend ? Effect::kSleep : Effect::kStop;
    }
    if (again) {
      walk.send(ok, sender.address, sender.local,
                "a copy of a carried-out command is answered the same OK and not carried out");
      if (suspend && !spent->second.inhibited.empty()) {
        walk.send(spent->second.inhibited, sender.address, sender.local,
                  "a copy of an inhibited SUSPEND learns who held it back, then its REFUSED");
      }
      if (suspend) {
        walk.send(spent->second.outcome, sender.address, sender.local,
                  "a copy of a SUSPEND also learns how its sleep command ended, for a minute");
      }
      if (wake) {
        walk.send(spent->second.outcome, sender.address, sender.local,
                  "a copy of a WAKE also learns where its packet went, for a minute after");
      }
      return Effect::kNone;
    }
    walk.budgeted(budget_, now, LOG_WARNING, with(kStalePrefix, sender.identity),
                  "a command on an expired challenge, on one spent for the other word, or with "
                  "the spent table full is dropped");
    return Effect::kNone;
  }

  // True when a key holder's WAKE on a good, unspent challenge is denied, because its key may
  // not wake or the allowance has no wake left; then its DENIED is checked, which proves the
  // reason under the holder's key, and its line, which anyone holding a key can cause as
  // often as any datagram, and so is held to the budget.
  bool denied(Walk& walk, const Sender& sender, const Proven& p) {
    const std::string name(kKeyNames.at(p.key));
    std::string reason = "key";
    std::string why = "key " + name + " may not wake";
    if (kMayWake.at(p.key)) {
      if (allowance_.any(now)) {
        return false;
      }
      reason = "rate";
      why = "more than the relay's rate";
    }
    walk.budgeted(budget_, now, LOG_WARNING,
                  "Wake for " + std::string(wake_target(p.word).shown) + " refused: " + why +
                      "; Told client " + sender.identity,
                  "a denied WAKE is logged with its MAC, why and the client, within the budget, "
                  "before its answer as every line is");
    walk.send(
        "DENIED " + reason + " " + mac(kHolderKeys.at(p.key), "denied", p.challenge, reason) + "\n",
        sender.address, sender.local,
        "a WAKE from a key that may not wake, or beyond the relay's allowance, is answered "
        "DENIED with its reason, proven, and not carried out");
    return true;
  }

  // The loop's relay of a carried-out WAKE, told where its packet went (the event's choice):
  // logged with the MAC, the networks or why none, the key and the client, and the sender is
  // told RELAYED with the count, proven under its key; copies get it for a minute after.
  void check_wake_relayed(const Sender& sender, const Proven& p) {
    const Sleeper waker = state_.wakers.front();
    state_.wakers.clear();
    const WakeTarget& target = wake_target(p.word);
    require(waker.mac == target.bytes, "a carried-out WAKE waits for the relay with its MAC");
    const RelayResult& result = kRelayResults.at(relay % kRelayResults.size());
    std::string line = "Wake for " + std::string(target.shown);
    if (result.sent_to.empty()) {
      line += " not relayed (" + result.failure + ")";
    } else {
      line += " relayed to ";
      for (std::size_t i = 0; i < result.sent_to.size(); ++i) {
        line += (i == 0 ? "" : ", ") + result.sent_to[i];
      }
    }
    line += " with key " + std::string(kKeyNames.at(p.key)) + "; Told client " + sender.identity;
    const Turn relayed = wake_relayed(state_, waker, result, {kFirstClock, now});
    Walk walk(relayed);
    walk.line(result.sent_to.empty() ? LOG_WARNING : LOG_INFO, line,
              "a relayed wake is logged with its MAC, where it went or why it went nowhere, the "
              "key and the client, as a warning when it went nowhere");
    const std::string count = std::to_string(result.sent_to.size());
    Spent& spent = spent_.at(p.challenge);
    spent.outcome =
        "RELAYED " + count + " " + mac(kHolderKeys.at(p.key), "relayed", p.challenge, count) + "\n";
    spent.settled = now;
    walk.send(spent.outcome, sender.address, sender.local,
              "the sender of a WAKE is told RELAYED with the count of networks, proven, from the "
              "address it asked");
    walk.done("a relayed wake names its line and its RELAYED");
    require(relayed.effect == Effect::kNone, "telling a relayed wake carries out nothing");
  }

  // Anything no key holder sent as a command: KEYED to a plain EHLO and to a keyed one naming
  // a key the daemon does not hold, START with a proof of the nonce to a keyed EHLO naming a
  // key of the daemon, and nothing to everything else, each with its line.
  std::string check_unproven(Walk& walk, const Sender& sender, std::string_view text) {
    const std::string_view id = sender.identity;
    if (text == kEhlo) {
      walk.budgeted(budget_, now, LOG_WARNING, with(kKeyNeededPrefix, id),
                    "a plain EHLO is logged as without a key");
      walk.send(kKeyedNotice, sender.address, sender.local, "a plain EHLO is answered KEYED 2");
      return "";
    }
    if (const auto ehlo_id = ehlo_key_id(text)) {
      const int key = holder_key(*ehlo_id);
      if (key < 0) {
        walk.budgeted(budget_, now, LOG_WARNING, with(kUnknownKeyAnsweredPrefix, id),
                      "a keyed EHLO naming another key is logged as an unknown key");
        walk.send(kKeyedNotice, sender.address, sender.local,
                  "a keyed EHLO naming another key is answered KEYED 2");
        return "";
      }
      const std::string_view reply =
          walk.send(sender.address, sender.local,
                    "a keyed EHLO naming a key of the daemon gets a reply, from the address it "
                    "asked, and no line");
      const std::string_view challenge = reply.substr(std::min<std::size_t>(6, reply.size()), 32);
      require(reply.size() == 104 && reply.starts_with("START ") && lower_hex(challenge, 32) &&
                  reply[38] == ' ' && reply.back() == '\n' &&
                  reply.substr(39, 64) == mac(kHolderKeys.at(static_cast<std::size_t>(key)),
                                              "start", text.substr(14, 32), challenge),
              "a keyed EHLO naming a key of the daemon gets START with the proof of its nonce");
      latest_start_[sender.identity] = std::string(challenge);
      return std::string(challenge);
    }
    std::string_view prefix = kUnexpectedPrefix;
    if (const auto command_id = command_key_id(text)) {
      // No key holder sent it: its proof cannot hold, or its challenge is not the daemon's.
      prefix = holder_key(*command_id) < 0 ? kUnknownKeyPrefix : kUnprovenPrefix;
    } else if (starts_as_command(text)) {
      prefix = kUnprovenPrefix;
    }
    walk.budgeted(budget_, now, LOG_WARNING, with(prefix, id),
                  "nothing is carried out or answered for a datagram no key holder sent as a "
                  "command, other than an EHLO; it is logged for what it is");
    return "";
  }

  // The turn after the sleep command of a key holder's SUSPEND: a failure is logged and told
  // to the sender with a REFUSED that proves, under the holder's key, the challenge and status;
  // success with a SLEEPING that proves the challenge.
  void check_sleep_ended(const Sender& sender, const Proven& p) {
    require(state_.sleepers.size() == 1, "a carried-out SUSPEND waits for its sleep command");
    const Sleeper sleeper = state_.sleepers.front();
    state_.sleepers.clear();
    Spent& spent = spent_.at(p.challenge);
    spent.settled = now;
    if (sleep_status == kHeldBack) {
      check_inhibited(sender, p, sleeper, spent);
      return;
    }
    const Turn start = sleep_started(state_, sleeper);
    Walk started(start);
    started.send("RUNNING " + mac(kHolderKeys.at(p.key), "running", p.challenge, "SUSPEND") + "\n",
                 sender.address, sender.local,
                 "a SUSPEND whose command starts is told so with the proof of its challenge");
    started.status(running_status(sender.identity),
                   "the sleep command is told to the service manager");
    started.done("a sleep command's start is its RUNNING and the status line");
    const Turn ended = sleep_ended(state_, sleeper, sleep_status, {kFirstClock, now});
    Walk walk(ended);
    if (sleep_status != 0) {
      const std::string status = std::to_string(sleep_status);
      walk.line(
          LOG_WARNING,
          "Sleep refused (" + kCommand + " exit " + status + "); Told client " + sender.identity,
          "a failed sleep command is logged with its status and the client it is told");
      const std::string_view refused =
          walk.send(sender.address, sender.local,
                    "a failed sleep command is told to the sender of the SUSPEND, from the "
                    "address it asked");
      require(proven_refusal(refused, keys_.keys.at(p.key).key, p.challenge) == sleep_status,
              "the REFUSED proves under the key holder's key its challenge and status");
      require(refused == "REFUSED " + status + " " +
                             mac(kHolderKeys.at(p.key), "refused", p.challenge, status) + "\n",
              "the REFUSED carries the proof of its challenge and status");
      spent.outcome = refused;
    } else {
      spent.outcome =
          "SLEEPING " + mac(kHolderKeys.at(p.key), "sleeping", p.challenge, "SUSPEND") + "\n";
      walk.send(spent.outcome, sender.address, sender.local,
                "a sleep command that succeeded is told to the sender of the SUSPEND with the "
                "proof of its challenge, from the address it asked");
    }
    walk.status(kWaitingStatus, "after the sleep command the daemon waits for a client again");
    walk.done("the end of a sleep command names a failure's line and REFUSED, then the status");
    require(ended.effect == Effect::kNone, "the end of a sleep command carries out nothing");
  }

  // The turn for a key holder's SUSPEND that an inhibitor holds back: logged with who and
  // why and the client told, then INHIBITED proving the text and REFUSED 1 proving the status.
  void check_inhibited(const Sender& sender, const Proven& p, const Sleeper& sleeper,
                       Spent& spent) {
    const Turn held = sleep_inhibited(state_, sleeper, kInhibitor, {kFirstClock, now});
    Walk walk(held);
    walk.line(LOG_WARNING,
              "Sleep inhibited by backup (Backup in progress); Told client " + sender.identity,
              "an inhibited sleep is logged with who, why and the client it is told");
    const std::string text = "backup: Backup in progress";
    spent.inhibited = "INHIBITED " + mac(kHolderKeys.at(p.key), "inhibited", p.challenge, text) +
                      " " + text + "\n";
    spent.outcome = "REFUSED 1 " + mac(kHolderKeys.at(p.key), "refused", p.challenge, "1") + "\n";
    walk.send(spent.inhibited, sender.address, sender.local,
              "an inhibited SUSPEND's sender is told who and why, with the proof of both");
    walk.send(spent.outcome, sender.address, sender.local,
              "and refused with status 1, for controllers that do not know INHIBITED");
    walk.status(kWaitingStatus, "after an inhibited sleep the daemon waits for a client again");
    walk.done("an inhibited sleep names its line, INHIBITED, REFUSED and the status");
    require(held.effect == Effect::kNone, "an inhibited sleep carries out nothing");
  }

  const KeySet& keys_;
  LoopState state_;
  BudgetModel budget_;
  WakeAllowance allowance_;
  Receiver receiver_;
  std::map<std::pair<std::string, std::size_t>, std::vector<Given>> given_;
  std::map<std::string, Proven, std::less<>> proven_;  // by text, whoever sends it
  std::map<std::string, Spent, std::less<>> spent_;    // spent challenges that are still good
  std::set<std::string> carried_out_;                  // the challenges of carried-out commands
  std::vector<Seen> wire_;
  std::map<std::string, std::string> latest_start_;
};

// The text of a stranger's datagram of form (modulo 6), read from the input:
//   0 any bytes: a length byte, then as many bytes;
//   1 a keyed EHLO: a byte choosing the key id (modulo 4: the holders' two, the stranger's
//     own, 4 input bytes), then 16 bytes of nonce;
//   2 a replay of a key holder's datagram: a byte counting back from the latest;
//   3 the same, changed: a byte whose low 6 bits count back and whose top 2 bits choose
//     to overwrite a byte, cut the text short, insert a byte, or upper-case a byte; a
//     position byte, a value byte;
//   4 a forged command: a choice byte: bit 0 QUIT, bits 1-2 the key id (the holders' two,
//     the stranger's own, the first again), bit 3 the latest challenge a START brought to
//     this sender or 16 input bytes, bits 4-5 the proof: under the stranger's key, 32 input
//     bytes, the proof of the latest key holder's command, or zeros; bit 6 a WAKE instead,
//     for the MAC of kWakeTargets that bit 0 and bit 7 (as 2) choose;
//   5 a plain word: a byte choosing it, from 252 on a word of the relay.
std::string stranger_text(Reader& input, KeyedModel& model, const std::string& sender) {
  const std::vector<KeyedModel::Seen>& wire = model.wire();
  const auto replay = [&](std::size_t back) {
    return wire.empty() ? std::string(kEhlo) : wire.at(wire.size() - 1 - back % wire.size()).text;
  };
  switch (input.byte() % 6) {
  case 0:
    return std::string(input.bytes(input.byte()));
  case 1: {
    const std::uint8_t choice = input.byte() % 4;
    const std::string id = choice < 2    ? kHolderIds.at(choice)
                           : choice == 2 ? kStrangerId
                                         : hex(input.bytes(4));
    return "EHLO " + id + " " + hex(input.bytes(16)) + "\n";
  }
  case 2:
    return replay(input.byte());
  case 3: {
    const std::uint8_t choice = input.byte();
    std::string text = replay(choice & 63U);
    const std::size_t at = input.byte() % (text.size() + 1);
    const char value = static_cast<char>(input.byte());
    switch (choice >> 6U) {
    case 0:
      text[std::min(at, text.size() - 1)] = value;
      break;
    case 1:
      text.resize(at);
      break;
    case 2:
      text.insert(at, 1, value);
      break;
    default:
      text[std::min(at, text.size() - 1)] = static_cast<char>(
          std::toupper(static_cast<unsigned char>(text[std::min(at, text.size() - 1)])));
      break;
    }
    return text;
  }
  case 4: {
    const std::uint8_t choice = input.byte();
    const std::string word = (choice & 64U) != 0
                                 ? wake_word(kWakeTargets.at((choice & 1U) | ((choice >> 6U) & 2U)))
                                 : std::string(kCommandWords.at(choice & 1U));
    const std::array<std::string, 4> ids = {kHolderIds[0], kHolderIds[1], kStrangerId,
                                            kHolderIds[0]};
    std::string challenge = model.latest_start(sender);
    if ((choice & 8U) != 0 || challenge.empty()) {
      challenge = hex(input.bytes(16));
    }
    std::string proof;
    switch ((choice >> 4U) & 3U) {
    case 0:
      proof = mac(kStrangerKey, "command", challenge, word);
      break;
    case 1:
      proof = hex(input.bytes(32));
      break;
    case 2: {
      const auto last = std::find_if(wire.rbegin(), wire.rend(), [](const KeyedModel::Seen& seen) {
        return seen.text.size() > 65 && !seen.text.starts_with("EHLO");
      });
      proof = last == wire.rend() ? "" : last->text.substr(last->text.size() - 65, 64);
      break;
    }
    default:
      proof = std::string(64, '0');
      break;
    }
    return word + " " + ids.at((choice >> 1U) & 3U) + " " + challenge + " " + proof + "\n";
  }
  default: {
    constexpr std::array<std::string_view, 7> kPlain = {"EHLO\n", "SUSPEND\n", "QUIT\n", "START\n",
                                                        "OK\n",   "KEYED 2\n", "EHLO \n"};
    constexpr std::array<std::string_view, 4> kRelayPlain = {"WAKE\n", "WAKE \n", "RELAYED 1\n",
                                                             "DENIED key\n"};
    const std::uint8_t b = input.byte();
    return std::string(b < 252 ? kPlain.at(b % kPlain.size()) : kRelayPlain.at(b - 252U));
  }
  }
}

// One key holder's turn, its kind byte kind (see the input format).
void holder_turn(Reader& input, std::uint8_t kind, KeyedModel& model, std::uint64_t& nonces) {
  const Sender& sender = peers().at(input.byte() % kPeers.size());
  const std::uint8_t choice = input.byte();
  const std::size_t key = choice & 1U;
  const unsigned what = (choice >> 1U) & 3U;
  const std::string word = (kind & 4U) != 0 ? wake_word(kWakeTargets.at((kind >> 3U) & 3U))
                                            : std::string(kCommandWords.at((choice >> 3U) & 1U));
  const bool lost = (choice & 16U) != 0;
  const unsigned back = choice >> 5U;
  const std::vector<KeyedModel::Given>& given = model.given(sender.identity, key);
  if (what == 1 && !given.empty()) {
    const KeyedModel::Given chosen = given.at(given.size() - 1 - back % given.size());
    model.holder_commands(sender, key, chosen, word, lost);
    return;
  }
  if (what == 2) {
    // A copy of what it sent before: the same text from the same sender.
    std::vector<std::string> sent;
    for (const KeyedModel::Seen& seen : model.wire()) {
      if (seen.sender == sender.identity) {
        sent.push_back(seen.text);
      }
    }
    if (!sent.empty()) {
      model.holder_sends(sender, sent.at(sent.size() - 1 - back % sent.size()), lost);
      return;
    }
  }
  std::array<char, 33> nonce{};
  static_cast<void>(std::snprintf(nonce.data(), nonce.size(), "%032llx",
                                  static_cast<unsigned long long>(++nonces)));
  const std::string challenge =
      model.holder_sends(sender, "EHLO " + kHolderIds.at(key) + " " + nonce.data() + "\n", lost);
  if (what == 3 && !challenge.empty()) {
    model.holder_commands(sender, key, {challenge, model.now}, word, false);
  }
}

// A crowd of count key holders, each at an address of its own, sends EHLO and SUSPEND at once.
void crowd_turn(KeyedModel& model, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    std::array<char, 16> address{};
    static_cast<void>(
        std::snprintf(address.data(), address.size(), "10.1.%u.%u", i / 256, i % 256));
    const Sender sender = make_sender(address.data(), 9, std::string(address.data()) + ":9",
                                      "10.0.0.100", "10.0.0.100", Screen::kNone);
    const std::string challenge = model.holder_sends(
        sender, "EHLO " + kHolderIds.at(i % 2) + " " + std::string(32, 'c') + "\n", false);
    model.holder_commands(sender, i % 2, {challenge, model.now}, kCommandWords[0], false);
  }
}

void run_keyed(const std::uint8_t* data, std::size_t size) {
  static const KeySet keys = [] {
    KeySet set;
    for (std::size_t k = 0; k < kHolderKeys.size(); ++k) {
      NamedKey named{std::string(kKeyNames.at(k)), kHolderIds.at(k), Key{}, kMayWake.at(k)};
      std::copy(kHolderKeys.at(k).begin(), kHolderKeys.at(k).end(), named.key.bytes.begin());
      set.keys.push_back(std::move(named));
    }
    return set;
  }();
  Reader input(data, size);
  KeyedModel model(keys);
  std::uint64_t nonces = 0;
  while (!input.done()) {
    const bool first = input.offset() == 0;
    const std::uint8_t kind = input.byte();
    model.relay = (kind >> 5U) & 3U;
    switch (kind % 4) {
    case 0:
      holder_turn(input, kind, model, nonces);
      break;
    case 1: {
      const Sender& sender = peers().at(input.byte() % kPeers.size());
      model.deliver(sender, stranger_text(input, model, sender.identity));
      break;
    }
    case 2: {
      const std::uint8_t b = input.byte();
      model.sleep_status = kSleepStatuses.at(b / 8U % kSleepStatuses.size());
      model.pass(b < 248 ? b % 8U : (b - 247U) * 1000U);
      break;
    }
    default: {
      const std::uint8_t b = input.byte();
      // A crowd that fills the table of spent challenges takes a tenth of a second or more:
      // only as the first event.
      crowd_turn(model, b == 255 && first ? 1030U : b % 16U);
      break;
    }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  run_keyless(data, size);
  run_keyed(data, size);
  return 0;
}

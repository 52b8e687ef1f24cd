// The daemon's turn: everything one datagram (or one second without one) changes, in either
// mode, decided as values from the state, the datagram and the clocks. It does no I/O: the
// loop (session/session_loop.h) writes the lines, sends the datagrams and sets the status the
// turn names, in its order, and carries out its effect. The protocol is lomarind-server(8)'s.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "key/key_service.h"
#include "net/address.h"
#include "net/magic_packet.h"
#include "net/relay.h"
#include "process/log.h"
#include "session/inhibitors.h"

/// The status line for the service manager while the daemon waits for a client.
constexpr std::string_view kWaitingStatus = "Waiting for a client";

/// Keyless mode's one session. The owner and start time stay in place after it ends.
struct Session {
  bool active = false;
  std::string owner;
  std::time_t start = 0;
  Address local;  // the local address the owner's EHLO was sent to: END leaves from it
};

/// A client whose SUSPEND waits for the sleep command's end, or whose WAKE waits for its
/// magic packet to go out, and where to tell it.
struct Sleeper {
  const NamedKey* key = nullptr;  // keyed: the key that proved the SUSPEND; null keyless
  std::string challenge;          // keyed: the challenge it spent
  Address to;
  Address from;
  std::string identity;
  Mac mac{};  // a WAKE's: the machine to wake
};

/// What the daemon keeps from turn to turn.
struct LoopState {
  Session session;                           // keyless mode's
  std::optional<KeyedService> keyed;         // keyed mode: the key room's side of the wire
  LogBudget budget;                          // for the lines anyone's datagrams can cause
  std::string command;                       // what a SUSPEND runs, e.g. "systemctl suspend"
  std::optional<std::int64_t> boot_lead_ms;  // the largest Clocks::boot_lead_ms seen so far
  // The SUSPENDs carried out whose sleep command has not ended yet. Keyed mode serves on while
  // it runs, and a SUSPEND taken meanwhile waits for the same command's end.
  std::vector<Sleeper> sleepers;
  // The WAKEs carried out in this turn, whose magic packets the loop sends (effect kWake).
  std::vector<Sleeper> wakers;
};

/// One datagram as received: its text, where it came from and where it went.
struct Datagram {
  std::string_view text;  // up to the first NUL (datagram_text)
  Address sender;
  std::string identity;  // the sender as "a.b.c.d:port" or "[address]:port"
  Address local;         // where replies to it leave from
  Address destination;   // the address it was sent to
};

/// The clocks a turn reads: the wall clock times keyless sessions (as the protocol has always
/// done, so a stepped clock moves the window); the boot clock, which counts on through a
/// suspend and is never stepped, times challenges and the log budget; its lead over the
/// monotonic clock, which stops in a suspend, grows by the time each suspend lasted.
struct Clocks {
  std::time_t wall = 0;
  std::uint32_t boot = 0;
  std::int64_t boot_lead_ms = 0;  // CLOCK_BOOTTIME less CLOCK_MONOTONIC, in milliseconds
};

/// A datagram for the loop to send: text to peer, leaving from the local address from.
struct Message {
  std::string text;
  Address to;
  Address from;
};

/// One thing the loop does for a turn, in the turn's order.
struct Output {
  enum class Kind { kLine, kSend, kStatus };
  Kind kind = Kind::kLine;
  int priority = 0;  // kLine: its syslog priority
  std::string text;  // kLine: the line; kStatus: the service manager's status line
  Message message;   // kSend
};

/// What the loop carries out once a turn's outputs are done.
enum class Effect {
  kNone,
  kSleep,  // run the sleep command unless an inhibitor holds it back (sleep_started,
           // sleep_inhibited), then tell sleep_ended its status
  kStop,   // a QUIT was carried out: shut down and return
  kWake,   // a WAKE was carried out: send the magic packet of each of state.wakers, then tell
           // wake_relayed where it went
};

/// Everything one turn comes to. Outputs have room for the most a turn can name (the host's
/// sleep, a held-back report, a session's end and its END, a new session's lines, reply and
/// status), so that a turn costs no allocation of its own.
struct Turn {
  static constexpr std::size_t kMostOutputs = 8;
  std::array<Output, kMostOutputs> outputs;
  std::size_t count = 0;
  Effect effect = Effect::kNone;

  const Output* begin() const { return outputs.data(); }
  const Output* end() const { return outputs.data() + count; }
};

/// The text of a datagram: its bytes up to the first NUL or its end.
std::string_view datagram_text(const char* bytes, std::size_t length);

/// True when s is active and the wall clock has moved on by more than four seconds since its
/// start.
bool window_passed(const Session& s, std::time_t now);

/// Takes one turn: says how long the host slept when it has slept since the last turn, reports
/// held-back lines of an earlier second, ends an expired session, then, when datagram is not
/// null, decides what it does in the mode state is in. A SUSPEND carried out adds its client
/// to state.sleepers, last, and the effect kSleep: the loop then asks whether an inhibitor
/// holds sleep back and takes sleep_started's turn or sleep_inhibited's. Does no I/O.
Turn take_turn(LoopState& state, const Datagram* datagram, Clocks now);

/// The turn for sleeper, the client of a SUSPEND just carried out, when its sleep command
/// starts (or already runs for another): keyed, its RUNNING; the status line names the
/// command and the client. Does no I/O.
Turn sleep_started(const LoopState& state, const Sleeper& sleeper);

/// The turn for sleeper when inhibitor holds its sleep command back, which then does not run:
/// the line that says who and why, and keyed, the outcome remembered for copies of the
/// SUSPEND and told to its sender (INHIBITED and REFUSED); the status line says what the
/// daemon waits for again. Does no I/O.
Turn sleep_inhibited(LoopState& state, const Sleeper& sleeper, const Inhibitor& inhibitor,
                     Clocks now);

/// The turn for sleeper once the sleep command ended with status (as its shell gives it) at
/// now: keyed, the outcome is remembered for copies of the SUSPEND and told to its sender
/// (SLEEPING, or REFUSED with a line in the log); the status line says what the daemon waits
/// for again. Does no I/O.
Turn sleep_ended(LoopState& state, const Sleeper& sleeper, int status, Clocks now);

/// The turn for waker, the client of a WAKE just carried out, once its magic packet went where
/// result says: the line that names the MAC, the key and where it went, and the RELAYED that
/// tells the client, remembered for copies of the WAKE. Does no I/O.
Turn wake_relayed(LoopState& state, const Sleeper& waker, const RelayResult& result, Clocks now);

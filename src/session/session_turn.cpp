#include "session/session_turn.h"

#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "net/listener.h"
#include "net/protocol.h"

namespace {

constexpr std::string_view kSessionStarted = "Session started for client ";
constexpr std::string_view kSessionLocked = "Session locked in response to client ";
constexpr std::string_view kSessionEnded = "Session ended for client ";
constexpr std::string_view kOwnerUnparsable = "Error parsing expected client info; Recovering...";
// "acitve" is spelled so on purpose: it is the line as it has always been, and log readers
// match it. Do not correct it.
constexpr std::string_view kNoSession = "No acitve session; Dropping packet from ";
constexpr std::string_view kUnexpectedClient = "Unexpected client data; Dropping packet from ";
constexpr std::string_view kUnproven = "Command without a valid proof; Dropping packet from ";
constexpr std::string_view kKeyNeeded = "EHLO without a key; Answered KEYED to client ";
constexpr std::string_view kUnknownKey = "Unknown key; Dropping packet from ";
constexpr std::string_view kUnknownKeyAnswered = "Unknown key; Answered KEYED to client ";
constexpr std::string_view kStale = "Spent or expired challenge; Dropping packet from ";
constexpr std::string_view kFromPortZero = "Datagram from port 0; Dropping packet from ";
constexpr std::string_view kToGroup =
    "Datagram to a broadcast or multicast address; Dropping packet from ";
constexpr std::string_view kSuspending = "Received SUSPEND command. Suspending...";
constexpr std::string_view kQuitting = "Received QUIT command. Stopping Lomarind...";
// The line of its own that names the key of each proven command: prefix, client, key name.
constexpr std::string_view kProvenFrom = "Command from client ";
constexpr std::string_view kProvenWith = " proven with key ";
constexpr std::string_view kHeldBack = " log lines about datagrams held back (at most ";
constexpr std::string_view kHeldBackEnd = " a second are written)";
// A failed sleep command in keyed mode, told to the client: "Sleep refused (", the command,
// " exit ", the status, "); Told client ", the client.
constexpr std::string_view kSleepRefused = "Sleep refused (";
constexpr std::string_view kRefusedExit = " exit ";
constexpr std::string_view kRefusedTold = "); Told client ";
// A sleep command held back by a block inhibitor: "Sleep inhibited by ", who, " (", why, ")",
// and in keyed mode "; Told client " and the client.
constexpr std::string_view kSleepInhibited = "Sleep inhibited by ";
constexpr std::string_view kToldClient = "; Told client ";  // a relayed wake's lines too
// A WAKE: "Wake for ", the MAC, then " relayed to " and the broadcast addresses, or " not
// relayed (" the reason ")", then " with key " and its name, and "; Told client " and the
// client; one denied: "Wake for ", the MAC, " refused: " and why, "; Told client " ...
constexpr std::string_view kWakeFor = "Wake for ";
constexpr std::string_view kRelayedTo = " relayed to ";
constexpr std::string_view kNotRelayed = " not relayed (";
constexpr std::string_view kWithKey = " with key ";
constexpr std::string_view kWakeRefused = " refused: ";
constexpr std::string_view kMayNotWake = " may not wake";
constexpr std::string_view kOverRate = "more than the relay's rate";
// When the host has resumed: "Host slept for ", the seconds with one decimal, " s", and for a
// sleep that ended within a couple of seconds the bounce's words.
constexpr std::string_view kHostSlept = "Host slept for ";
constexpr std::string_view kSleptSeconds = " s";
constexpr std::string_view kSleptBounce = "; the sleep ended at once";

// A smaller growth of the boot clock's lead is not a sleep worth a line. The lead grows only
// while the host is suspended, but the loop reads it from two clocks one after the other, and
// a delay between the two reads (the process preempted, a virtual machine paused by its host)
// makes that turn's lead seem smaller by the delay: when every turn before was so delayed, as
// the first turn alone may be, the next seems grown by it. Such delays stay far below a
// second. A kernel that times a suspend by the real-time clock (where the processor's counter
// stops in sleep, as in most virtual machines) counts whole seconds, so a shorter sleep cannot
// be told from none there anyway.
constexpr std::int64_t kSleptAtLeastMs = 1000;
// A sleep shorter than this ended within a couple of seconds: a wake-up event that came at
// once, the "sleep that isn't sleep", gets a warning of its own. A second more than two
// allows for the whole seconds of the real-time clock.
constexpr std::int64_t kBounceBelowMs = 3000;

// The status line that the service manager shows, at each change of state.
constexpr std::string_view kSessionOpenStatus = "Session open for client ";
constexpr std::string_view kRunningStatus = "Running ";
constexpr std::string_view kForClient = " for client ";

// What a datagram comes to, but for its reply: its line (a fixed text, or a prefix followed
// by the sender's identity) and what is carried out.
struct Rule {
  int priority;
  std::string_view line;  // empty: no line
  bool names_sender;      // the line is the prefix followed by the sender's identity
  bool budgeted;          // anyone's datagrams can cause the line: it counts against the budget
  Effect effect;
};

constexpr Rule kStarted{LOG_INFO, kSessionStarted, true, false, Effect::kNone};
constexpr Rule kLocked{LOG_INFO, kSessionLocked, true, true, Effect::kNone};
constexpr Rule kDropNoSession{LOG_WARNING, kNoSession, true, true, Effect::kNone};
constexpr Rule kDropUnexpected{LOG_WARNING, kUnexpectedClient, true, true, Effect::kNone};
constexpr Rule kSuspend{LOG_INFO, kSuspending, false, false, Effect::kSleep};
constexpr Rule kQuit{LOG_INFO, kQuitting, false, false, Effect::kStop};
constexpr Rule kRelay{LOG_INFO, {}, false, false, Effect::kWake};
constexpr Rule kSilent{LOG_INFO, {}, false, false, Effect::kNone};
constexpr Rule kDropUnproven{LOG_WARNING, kUnproven, true, true, Effect::kNone};
constexpr Rule kAnswerKeyNeeded{LOG_WARNING, kKeyNeeded, true, true, Effect::kNone};
constexpr Rule kDropUnknownKey{LOG_WARNING, kUnknownKey, true, true, Effect::kNone};
constexpr Rule kAnswerUnknownKey{LOG_WARNING, kUnknownKeyAnswered, true, true, Effect::kNone};
constexpr Rule kDropStale{LOG_WARNING, kStale, true, true, Effect::kNone};
constexpr Rule kDropFromPortZero{LOG_WARNING, kFromPortZero, true, true, Effect::kNone};
constexpr Rule kDropToGroup{LOG_WARNING, kToGroup, true, true, Effect::kNone};

void add_line(Turn& turn, int priority, std::string text) {
  Output& output = turn.outputs.at(turn.count++);  // kMostOutputs is the most any turn names
  output.kind = Output::Kind::kLine;
  output.priority = priority;
  output.text = std::move(text);
}

void add_status(Turn& turn, std::string_view text, std::string_view identity = {}) {
  Output& output = turn.outputs.at(turn.count++);  // kMostOutputs is the most any turn names
  output.kind = Output::Kind::kStatus;
  output.text.assign(text).append(identity);
}

void add_send(Turn& turn, std::string text, const Address& to, const Address& from) {
  Output& output = turn.outputs.at(turn.count++);  // kMostOutputs is the most any turn names
  output.kind = Output::Kind::kSend;
  output.message = {std::move(text), to, from};
}

void add_reply(Turn& turn, std::string text, const Datagram& datagram) {
  if (!text.empty()) {
    // From the address the client sent to, which is where it waits for the answer.
    add_send(turn, std::move(text), datagram.sender, datagram.local);
  }
}

// The rule's line, when it has one and, for a line anyone can cause, the budget allows it.
void apply(Turn& turn, LogBudget& budget, std::uint32_t second, const Rule& rule,
           const Datagram& datagram) {
  if (!rule.line.empty() && (!rule.budgeted || within_budget(budget, second))) {
    std::string line;
    line.reserve(rule.line.size() + datagram.identity.size());
    line.append(rule.line);
    if (rule.names_sender) {
      line.append(datagram.identity);
    }
    add_line(turn, rule.priority, std::move(line));
  }
  turn.effect = rule.effect;
}

// In a second after lines were held back, says how many, in one line.
void report_held_back(Turn& turn, LogBudget& budget, std::uint32_t second) {
  if (const long held = take_held_back(budget, second); held > 0) {
    add_line(turn, LOG_WARNING,
             std::to_string(held)
                 .append(kHeldBack)
                 .append(std::to_string(kBudgetedLinesPerSecond))
                 .append(kHeldBackEnd));
  }
}

// "Host slept for 7.2 s", the time rounded to a tenth of a second; under kBounceBelowMs a
// warning with the bounce's words. Both follow the figure shown, so that a reader who goes by
// the figure draws the line where the daemon does.
void add_slept_line(Turn& turn, std::int64_t slept_ms) {
  const std::int64_t tenths = (slept_ms + 50) / 100;
  const bool bounce = tenths * 100 < kBounceBelowMs;
  std::string line = std::string(kHostSlept)
                         .append(std::to_string(tenths / 10))
                         .append(".")
                         .append(std::to_string(tenths % 10))
                         .append(kSleptSeconds);
  if (bounce) {
    line.append(kSleptBounce);
  }
  add_line(turn, bounce ? LOG_WARNING : LOG_INFO, std::move(line));
}

// Says how long the host slept, once, at the first turn that sees the boot clock's lead over
// the monotonic clock grown. The largest lead seen is kept: a delayed read only makes the lead
// seem smaller, so the largest is the nearest to the truth. The first turn of the process has
// nothing to compare with and only keeps its lead.
void note_sleep(Turn& turn, std::optional<std::int64_t>& largest, std::int64_t lead) {
  if (largest.has_value() && lead - *largest >= kSleptAtLeastMs) {
    add_slept_line(turn, lead - *largest);
  }
  if (!largest.has_value() || lead > *largest) {
    largest = lead;
  }
}

void end_session(Turn& turn, Session& s) {
  add_line(turn, LOG_INFO, std::string(kSessionEnded).append(s.owner));
  if (const auto owner = address_from_identity(s.owner)) {
    add_send(turn, std::string(protocol::kEnd), *owner, s.local);
  } else {
    add_line(turn, LOG_ERR, std::string(kOwnerUnparsable));
  }
  s.active = false;
  add_status(turn, kWaitingStatus);
}

// The rule for a datagram neither mode may answer: one from port 0, where no answer can go,
// or one sent to a group rather than to this host alone; null for any other.
const Rule* screened(const Datagram& datagram) {
  if (datagram.sender.port() == 0) {
    return &kDropFromPortZero;
  }
  // IPv6 has no broadcast, and its packet information names the destination alone: a
  // multicast destination is a group.
  if (datagram.sender.family() == AF_INET6) {
    return IN6_IS_ADDR_MULTICAST(&datagram.destination.v6.sin6_addr) ? &kDropToGroup : nullptr;
  }
  // A datagram delivered to one of this host's own addresses was sent to that address; one
  // whose destination differs from the local address it reached was sent to a group: to a
  // subnet's broadcast address, to 255.255.255.255 or to a multicast group. Answering it would
  // make every daemon that heard it answer one forged sender at once. Where the system does not
  // say where a datagram went, both addresses are 0.0.0.0.
  const in_addr_t to = ntohl(datagram.destination.v4.sin_addr.s_addr);
  if (IN_MULTICAST(to) || to == INADDR_BROADCAST ||
      datagram.destination.v4.sin_addr.s_addr != datagram.local.v4.sin_addr.s_addr) {
    // A broadcast from the very address it reached is this host's own, come back to its port:
    // the relay's magic packet, or a wake sent here. It is dropped as any other, but it is
    // no stranger's doing and takes no line.
    return datagram.sender.v4.sin_addr.s_addr == datagram.local.v4.sin_addr.s_addr ? &kSilent
                                                                                   : &kDropToGroup;
  }
  return nullptr;
}

// The plain protocol: one session, owned by the sender of the EHLO that opened it.
void keyless_turn(Turn& turn, LoopState& state, const Datagram& datagram, Clocks now) {
  Session& s = state.session;
  const Rule* rule = &kSilent;  // other data from the owner: nothing at all happens
  std::string_view reply;
  if (datagram.text == protocol::kEhlo) {
    if (s.active) {
      rule = &kLocked;
      reply = protocol::kLocked;
    } else {
      s = Session{true, datagram.identity, now.wall, datagram.local};
      rule = &kStarted;
      reply = protocol::kStart;
    }
  } else if (!s.active) {
    rule = &kDropNoSession;
  } else if (datagram.identity != s.owner) {
    rule = &kDropUnexpected;
  } else if (datagram.text == protocol::kSuspend || datagram.text == protocol::kQuit) {
    rule = datagram.text == protocol::kSuspend ? &kSuspend : &kQuit;
    reply = protocol::kOk;
  }
  apply(turn, state.budget, now.boot, *rule, datagram);
  add_reply(turn, std::string(reply), datagram);
  if (rule == &kStarted) {
    add_status(turn, kSessionOpenStatus, datagram.identity);
  } else if (rule == &kSuspend) {
    state.sleepers.push_back({nullptr, {}, datagram.sender, datagram.local, datagram.identity});
  }
}

// The rule for what the key room made of a datagram.
const Rule& keyed_rule(const KeyedService::Answer& answer) {
  using Verdict = KeyedService::Verdict;
  switch (answer.verdict) {
  case Verdict::kKeyNeeded:
    return kAnswerKeyNeeded;
  case Verdict::kChallenge:
  case Verdict::kRepeat:
  case Verdict::kDenied:  // its line names the MAC and the key: denial_line
    return kSilent;
  case Verdict::kKeyNotHeld:
    return kAnswerUnknownKey;
  case Verdict::kUnknownKey:
    return kDropUnknownKey;
  case Verdict::kUnproven:
    return kDropUnproven;
  case Verdict::kStale:
    return kDropStale;
  case Verdict::kCarryOut:
    return answer.word == protocol::kQuitWord      ? kQuit
           : answer.word == protocol::kSuspendWord ? kSuspend
                                                   : kRelay;
  case Verdict::kNotKeyed:
    break;
  }
  return kDropUnexpected;
}

// The MAC of a WAKE's word, "WAKE " and 12 hex digits, which the key room has read.
Mac wake_mac(std::string_view word) {
  return mac_from_digits(word.substr(protocol::kWakeWord.size() + 1)).value_or(Mac{});
}

// The line for a WAKE that the key room denied: its MAC, why, and the client told.
std::string denial_line(const KeyedService::Answer& answer, std::string_view identity) {
  std::string line = std::string(kWakeFor).append(mac_text(wake_mac(answer.word)));
  line.append(kWakeRefused);
  if (answer.denied == protocol::kDeniedKey) {
    line.append("key ").append(answer.key->name).append(kMayNotWake);
  } else {
    line.append(kOverRate);
  }
  return line.append(kToldClient).append(identity);
}

// Keyed mode: no sessions; the key room answers, and a proven command is carried out.
void keyed_turn(Turn& turn, LoopState& state, const Datagram& datagram, std::uint32_t second) {
  KeyedService::Answer answer = state.keyed->answer(datagram.text, second);
  if (answer.verdict == KeyedService::Verdict::kCarryOut) {
    add_line(turn, LOG_INFO,
             std::string(kProvenFrom)
                 .append(datagram.identity)
                 .append(kProvenWith)
                 .append(answer.key->name));
  }
  if (answer.verdict == KeyedService::Verdict::kDenied && within_budget(state.budget, second)) {
    // A key holder could send denied WAKEs as fast as any datagram: the budget counts them.
    add_line(turn, LOG_WARNING, denial_line(answer, datagram.identity));
  }
  const Rule& rule = keyed_rule(answer);
  apply(turn, state.budget, second, rule, datagram);
  add_reply(turn, std::move(answer.reply), datagram);
  for (std::string& outcome : answer.outcome) {
    add_reply(turn, std::move(outcome), datagram);
  }
  if (rule.effect == Effect::kSleep) {
    state.sleepers.push_back({answer.key, std::move(answer.challenge), datagram.sender,
                              datagram.local, datagram.identity});
  } else if (rule.effect == Effect::kWake) {
    state.wakers.push_back({answer.key, std::move(answer.challenge), datagram.sender,
                            datagram.local, datagram.identity, wake_mac(answer.word)});
  }
}

}  // namespace

std::string_view datagram_text(const char* bytes, std::size_t length) {
  const void* nul = std::memchr(bytes, '\0', length);
  return {bytes, nul == nullptr ? length
                                : static_cast<std::size_t>(static_cast<const char*>(nul) - bytes)};
}

bool window_passed(const Session& s, std::time_t now) {
  return s.active && now - s.start > protocol::kSessionSeconds;
}

Turn take_turn(LoopState& state, const Datagram* datagram, Clocks now) {
  Turn turn;
  // Nobody's datagram causes this line, so the budget does not count it.
  note_sleep(turn, state.boot_lead_ms, now.boot_lead_ms);
  report_held_back(turn, state.budget, now.boot);
  // Expiry is looked at on every turn, before the datagram of this turn.
  if (window_passed(state.session, now.wall)) {
    end_session(turn, state.session);
  }
  if (datagram == nullptr) {
    return turn;
  }
  if (const Rule* dropped = screened(*datagram)) {
    apply(turn, state.budget, now.boot, *dropped, *datagram);
  } else if (state.keyed) {
    keyed_turn(turn, state, *datagram, now.boot);
  } else {
    keyless_turn(turn, state, *datagram, now);
  }
  return turn;
}

Turn sleep_started(const LoopState& state, const Sleeper& sleeper) {
  Turn started;
  if (sleeper.key != nullptr) {
    add_send(started, running_datagram(sleeper.key->key, sleeper.challenge), sleeper.to,
             sleeper.from);
  }
  add_status(started, std::string(kRunningStatus).append(state.command).append(kForClient),
             sleeper.identity);
  return started;
}

Turn sleep_inhibited(LoopState& state, const Sleeper& sleeper, const Inhibitor& inhibitor,
                     Clocks now) {
  Turn inhibited;
  std::string line = std::string(kSleepInhibited)
                         .append(inhibitor.who)
                         .append(" (")
                         .append(inhibitor.why)
                         .append(")");
  if (sleeper.key == nullptr) {
    add_line(inhibited, LOG_WARNING, std::move(line));
    add_status(inhibited, kSessionOpenStatus, sleeper.identity);
    return inhibited;
  }
  add_line(inhibited, LOG_WARNING, line.append(kToldClient).append(sleeper.identity));
  const std::string text = std::string(inhibitor.who).append(": ").append(inhibitor.why);
  for (std::string& datagram :
       state.keyed->inhibit(*sleeper.key, sleeper.challenge, text, now.boot)) {
    add_send(inhibited, std::move(datagram), sleeper.to, sleeper.from);
  }
  add_status(inhibited, kWaitingStatus);
  return inhibited;
}

Turn sleep_ended(LoopState& state, const Sleeper& sleeper, int status, Clocks now) {
  Turn ended;
  if (sleeper.key == nullptr) {
    add_status(ended, kSessionOpenStatus, sleeper.identity);
    return ended;
  }
  if (status != 0) {
    add_line(ended, LOG_WARNING,
             std::string(kSleepRefused)
                 .append(state.command)
                 .append(kRefusedExit)
                 .append(std::to_string(status))
                 .append(kRefusedTold)
                 .append(sleeper.identity));
  }
  add_send(ended, state.keyed->settle(*sleeper.key, sleeper.challenge, status, now.boot),
           sleeper.to, sleeper.from);
  add_status(ended, kWaitingStatus);
  return ended;
}

Turn wake_relayed(LoopState& state, const Sleeper& waker, const RelayResult& result, Clocks now) {
  Turn relayed;
  std::string line = std::string(kWakeFor).append(mac_text(waker.mac));
  if (result.sent_to.empty()) {
    line.append(kNotRelayed).append(result.failure).append(")");
  } else {
    line.append(kRelayedTo);
    for (std::size_t i = 0; i < result.sent_to.size(); ++i) {
      line.append(i == 0 ? "" : ", ").append(result.sent_to[i]);
    }
  }
  line.append(kWithKey).append(waker.key->name).append(kToldClient).append(waker.identity);
  add_line(relayed, result.sent_to.empty() ? LOG_WARNING : LOG_INFO, std::move(line));
  const int count = static_cast<int>(std::min<std::size_t>(result.sent_to.size(), 255));
  add_send(relayed, state.keyed->relayed(*waker.key, waker.challenge, count, now.boot), waker.to,
           waker.from);
  return relayed;
}

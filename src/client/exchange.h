// One host's exchange with its daemon: a small state machine decided by pure functions of
// the replies and the time, which are passed in. The fleet (client/fleet.h) does the I/O for
// every host at once; what it reads reaches the exchange through hear() and on_reply().
#pragma once

#include <chrono>
#include <string>
#include <string_view>

using Clock = std::chrono::steady_clock;

/// How often EHLO is repeated while a host says nothing.
constexpr std::chrono::milliseconds kResendInterval{1000};
/// How many EHLOs one round sends before the host counts as silent.
constexpr int kEhloTries = 4;
/// How long to wait after LOCKED before asking again.
constexpr std::chrono::milliseconds kLockedRetry{1000};
/// How long to wait for OK after the command.
constexpr std::chrono::milliseconds kCommandWait{3000};
/// How many times a keyed command goes out, a second apart, while no proven OK comes. The
/// daemon carries a challenge's command out once and answers each copy with the same OK.
constexpr int kKeyedCommandTries = 3;
/// How long a keyed SUSPEND listens, after its proven OK, for the daemon's RUNNING, SLEEPING or
/// REFUSED. A daemon that sends none of them is one from before these words: it answers OK
/// before it runs the sleep command, and a command that fails (logind says no, the verb is not
/// supported) does so within about 100 ms; a second leaves room for a loaded host and keeps a
/// dashboard's action short. A daemon that said RUNNING is listened to until the time limit.
constexpr std::chrono::milliseconds kRefusalWait{1000};
/// With --confirm, how often the host is probed (a keyed EHLO with a fresh nonce) once the
/// refusal wait is over, and how many probes in a row must go without a proven START before
/// the host counts as asleep: two seconds of silence, so that one or two lost datagrams do
/// not pass for sleep.
constexpr std::chrono::milliseconds kProbeInterval{500};
constexpr int kConfirmProbes = 4;

/// A datagram from the host, as the exchange sees it. With a key, a START, OK, RUNNING,
/// SLEEPING or REFUSED whose proof does not hold is kOther: as if it had never come.
enum class Reply {
  kStart,
  kKeyedStart,  // START with a challenge and its proven answer to our nonce
  kLocked,
  kOk,
  kKeyedOk,  // OK with the proof of our command
  kEnd,
  kKeyed,        // "KEYED 2": the daemon asks for a key, or does not hold ours (unproven)
  kRefused,      // REFUSED with the proof that the sleep command of our SUSPEND failed
  kRunning,      // RUNNING with the proof that the sleep command of our SUSPEND runs
  kSleeping,     // SLEEPING with the proof that the sleep command of our SUSPEND succeeded
  kInhibited,    // INHIBITED with the proof that an inhibitor held our SUSPEND's command back
  kRelayed,      // RELAYED with the proof of how many networks our WAKE's magic packet went to
  kDeniedKey,    // DENIED key with the proof that the relay does not let our key wake
  kDeniedRate,   // DENIED rate with the proof that the relay's rate was used up: try again
  kUnreachable,  // the host's kernel says that nothing listens on the port (ICMP)
  kOther,
};

/// What an exchange is for.
enum class Task {
  kCommand,  // suspend or quit: EHLO, then the command on START
  kStatus,   // status: keyed EHLOs only, until the first answer
  kAwait,    // wake --wait: keyed EHLOs a second apart until the daemon answers
  kRelay,    // wake --via: a keyed WAKE on START, then its RELAYED
};

/// Where an exchange stands.
enum class Step {
  kGreeting,        // sending EHLO, a second apart, until a reply
  kWaitingForLock,  // a session holds the daemon; asking again soon
  kCommanded,       // sent the command on START; waiting for OK
  kListening,       // keyed SUSPEND: had its OK; listening for how its sleep command ends
  kConfirming,      // --confirm: probing until the host falls silent
  kRelaying,        // WAKE: had its OK; asking again, a second apart, until its RELAYED comes
  kFinished,
};

/// How an exchange ended.
enum class Result {
  kPending,
  kDone,         // suspended, stopped, awake (status) or awake after (wake --wait)
  kLocked,       // never got a session; nothing was sent but EHLO
  kNoAnswer,     // the host fell silent; nothing was sent but EHLO
  kUnconfirmed,  // the command went out and no OK came: it may have been carried out; or
                 // keyed SUSPEND: the daemon said RUNNING and no outcome came in time
  kNeedsKey,     // the daemon asks for a key and the client has none; nothing was sent
  kUnresolved,
  kRefused,      // the SUSPEND was carried out and its sleep command failed (proven)
  kDidNotSleep,  // --confirm: the host still answered proven probes at the time limit
  kKeyNotKnown,  // the daemon answered KEYED 2 to our keyed EHLO and no proven START came
  kNoDaemon,     // the host's kernel said that nothing listens on the port
  kNoSocket,     // no socket could be opened for the host, and none would free: nothing sent
  kNotRelayed,   // the relay sent no magic packet, and proved why (Exchange::refusal)
  kNoRelay,      // the daemon proved its START and answered no copy of the WAKE: it has no
                 // relay
};

/// Why a relay sent no magic packet.
enum class RelayRefusal {
  kNoNetwork,  // RELAYED 0: it has no network it could send on
  kKey,        // DENIED key: the key may not wake
  kRate,       // DENIED rate until the time limit: too many wakes at once
};

/// What the loop must send to the host.
enum class Send {
  kNothing,
  kEhlo,  // the EHLO of this exchange (for wake --wait, a magic packet goes with it)
  kCommand,
  kProbe,  // a keyed EHLO with a fresh nonce: is the host still awake?
};

/// What one host's exchange is asked to do.
struct Plan {
  Task task = Task::kCommand;
  bool keyed = false;    // the client holds a key for the host: only proven replies count
  bool suspend = false;  // kCommand: the word is SUSPEND (keyed: a REFUSED may follow its OK)
  bool confirm = false;  // keyed SUSPEND: report it only once the host stops answering
};

/// One host's exchange. The command is sent once at most, and only on a START to this
/// exchange's own socket: that is what makes it safe under any loss, delay or reordering.
struct Exchange {
  Plan plan;
  Step step = Step::kGreeting;
  Result result = Result::kPending;
  int ehlos = 0;     // EHLOs sent in this round
  int commands = 0;  // times the command was sent
  bool heard_locked = false;
  bool heard_keyed = false;        // keyed: a KEYED 2 came, and no proven START yet
  bool heard_unreachable = false;  // kAwait: the kernel answered for the port
  bool told_running = false;       // kListening: a proven RUNNING came: the outcome will too
  bool answered = false;           // kConfirming: the latest probe was answered
  int silent_probes = 0;           // kConfirming: probes in a row without an answer
  int sleep_status = 0;            // kRefused: the sleep command's exit status
  std::string inhibitor;           // kRefused by INHIBITED: who held the sleep back, and why
  RelayRefusal refusal = RelayRefusal::kNoNetwork;  // kNotRelayed: why
  Clock::time_point started{};
  Clock::time_point next{};  // when on_timer has something to do
  Clock::time_point deadline{};
  Clock::time_point finished{};
};

/// A new exchange that sends its first EHLO at now and ends by now + time_limit.
Exchange start_exchange(Clock::time_point now, std::chrono::milliseconds time_limit,
                        Plan plan = {});

/// When on_timer next has something to do: the earlier of the exchange's next step and its
/// deadline.
Clock::time_point next_timer(const Exchange& exchange);

/// Moves the exchange on by the clock; returns what to send now.
Send on_timer(Exchange& exchange, Clock::time_point now);

/// Moves the exchange on by a reply from its host; returns what to send now. sleep_status is
/// the status a kRefused reply carries, or the count of networks a kRelayed one does;
/// inhibitor the who and why of a kInhibited one.
Send on_reply(Exchange& exchange, Reply reply, Clock::time_point now, int sleep_status = 0,
              std::string_view inhibitor = {});

// Talking to daemons. Each host's exchange is a small state machine decided by pure
// functions of the replies and the time; one poll loop drives the exchanges of all hosts
// at once, and another function sends Wake-on-LAN packets.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/arguments.h"
#include "key/key.h"

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

/// A datagram from the host, as the exchange sees it. With a key, a START or OK whose proof
/// does not hold is kOther: as if it had never come.
enum class Reply {
  kStart,
  kKeyedStart,  // START with a challenge and its proven answer to our nonce
  kLocked,
  kOk,
  kKeyedOk,  // OK with the proof of our command
  kEnd,
  kKeyed,  // "KEYED 2": the daemon asks for a key
  kOther,
};

/// Where an exchange stands.
enum class Step {
  kGreeting,        // sending EHLO, a second apart, until a reply
  kWaitingForLock,  // a session holds the daemon; asking again soon
  kCommanded,       // sent the command on START; waiting for OK
  kFinished,
};

/// How an exchange ended.
enum class Result {
  kPending,
  kDone,
  kLocked,       // never got a session; nothing was sent but EHLO
  kNoAnswer,     // the host fell silent; nothing was sent but EHLO
  kUnconfirmed,  // the command went out and no OK came: it may have been carried out
  kNeedsKey,     // the daemon asks for a key and the client has none; nothing was sent
  kUnresolved,
};

/// What the loop must send to the host.
enum class Send { kNothing, kEhlo, kCommand };

/// One host's exchange. The command is sent once at most, and only on a START to this
/// exchange's own socket: that is what makes it safe under any loss, delay or reordering.
struct Exchange {
  Step step = Step::kGreeting;
  Result result = Result::kPending;
  int ehlos = 0;     // EHLOs sent in this round
  int commands = 0;  // times the command was sent
  bool heard_locked = false;
  bool keyed = false;        // the client holds a key: only proven replies count
  Clock::time_point next{};  // when on_timer has something to do
  Clock::time_point deadline{};
};

/// Classifies a datagram; only the exact texts count. The keyed kinds are only well formed:
/// their proofs are checked by proven_reply.
Reply reply_of(std::string_view datagram);

/// What a keyed client that sent nonce (and, once it commanded, was given challenge for word)
/// makes of a datagram: kKeyedStart or kKeyedOk only when its proof holds under key;
/// everything else is kOther.
Reply proven_reply(std::string_view datagram, const Key& key, std::string_view nonce,
                   std::string_view challenge, std::string_view word);

/// A new exchange that sends its first EHLO at now and ends by now + time_limit; keyed when
/// the client holds a key.
Exchange start_exchange(Clock::time_point now, std::chrono::milliseconds time_limit,
                        bool keyed = false);

/// The earlier of the exchange's next step and its deadline.
Clock::time_point wake_time(const Exchange& exchange);

/// Moves the exchange on by the clock; returns what to send now.
Send on_timer(Exchange& exchange, Clock::time_point now);

/// Moves the exchange on by a reply from its host; returns what to send now.
Send on_reply(Exchange& exchange, Reply reply, Clock::time_point now);

/// "HOST: suspended" and the other result lines, without the line feed.
std::string result_line(const std::string& host, Result result, Command command);

/// 0 when every result is kDone; else 3 when any host was silent, unconfirmed or
/// unresolved; else 4 when any host's daemon asked for a key; else 2.
int exit_status_of(const std::vector<Result>& results);

/// The Wake-on-LAN magic packet: six 0xFF bytes, then mac sixteen times (102 bytes).
std::string magic_packet(const Mac& mac);

/// Suspends (or stops) the daemons of all targets at once, printing each one's line as it
/// finishes; with keys (not null), each host's exchange is keyed with the key for its name
/// (KeySet::for_host), which every target must have. Returns the exit status.
int run_command(Command command, const std::vector<Target>& targets,
                std::chrono::milliseconds time_limit, const KeySet* keys = nullptr);

/// Sends one magic packet per sleeper to address:port with SO_BROADCAST, printing a line
/// for each. Returns 0, or 3 when a packet could not be sent.
int send_wake(const std::vector<Sleeper>& sleepers, in_addr address, std::uint16_t port);

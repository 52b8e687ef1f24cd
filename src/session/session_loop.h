// The loop that serves the daemon's port: keyless sessions, one client at a time, or keyed
// commands (key/key.h owns their wire); its pure decisions, and the suspend action.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "key/key_service.h"
#include "process/startup.h"

/// The loop's state. The owner and start time stay in place after the session ends.
struct Session {
  bool active = false;
  std::string owner;
  std::time_t start = 0;
  in_addr local{};  // the local address the owner's EHLO was sent to: END leaves from it
};

/// What a datagram's text makes the daemon do.
enum class Action {
  kStartSession,    // "EHLO\n" with no session open: the sender becomes the owner
  kRefuseLocked,    // "EHLO\n" while a session is open, from anyone
  kDropNoSession,   // other data with no session open
  kDropUnexpected,  // other data from a client that is not the owner
  kSuspend,         // "SUSPEND\n" from the owner
  kQuit,            // "QUIT\n" from the owner
  kIgnore,          // other data from the owner: nothing at all happens
  // Keyed mode, which has no sessions; kSuspend and kQuit are then proven commands.
  kDropUnproven,      // a command without a valid proof
  kChallenge,         // a keyed EHLO naming a key of ours: START with a challenge and its proof
  kRefuseKeyless,     // a plain "EHLO\n": "KEYED 2\n"
  kDropUnknownKey,    // a keyed command naming a key id we do not hold
  kAnswerUnknownKey,  // a keyed EHLO naming a key id we do not hold: "KEYED 2\n"
  kDropStale,         // a proven command whose challenge has expired or went to another word
  kRepeatOk,          // a proven command whose challenge it spent already: its OK again
  // Either mode, before anything else.
  kDropFromPortZero,  // sent from port 0, where no answer can go
  kDropToGroup,       // sent to a broadcast or multicast address, not to this host alone
};

/// The log line and reply that go with an action.
struct Response {
  int priority;            // syslog priority of the line
  std::string_view line;   // empty: no line; otherwise a fixed text or a prefix
  bool names_sender;       // the line is the prefix followed by the sender's identity
  std::string_view reply;  // keyless: the reply to the sender; empty: none
  bool budgeted;           // anyone's datagrams can cause the line: it counts against the budget
};

/// True when s is active and the clock has moved on by more than four seconds since its start.
bool window_passed(const Session& s, std::time_t now);

/// The text of a datagram: its bytes up to the first NUL or its end.
std::string_view datagram_text(const char* bytes, std::size_t length);

/// Decides what text from sender, sent to the local address local, does, and opens the
/// session (owner sender, reached at local, start now) when it is kStartSession. Does no I/O.
Action on_datagram(Session& s, std::string_view text, const std::string& sender, in_addr local,
                   std::time_t now);

/// kDropFromPortZero or kDropToGroup for a datagram from sender_port, sent to destination and
/// received at the local address local, which neither mode may answer; empty otherwise. Where
/// the system does not say where a datagram went, destination and local are both 0.0.0.0.
std::optional<Action> screened(std::uint16_t sender_port, in_addr destination, in_addr local);

/// The action that goes with what the key room answered.
Action keyed_action(const KeyedService::Answer& answer);

/// The log line and reply that the loop writes for action. A keyed reply is the key room's.
const Response& response_to(Action action);

/// Serves the listening socket until a QUIT has been carried out, then returns 0: keyless
/// sessions, or keyed commands when settings hold keys.
int run_session_loop(const Settings& settings);

/// Runs command ("systemctl suspend", or the verb of --sleep) through /bin/sh and waits for it;
/// a termination signal that arrives first ends the process (exit_if_terminated). Logs a warning
/// when it cannot be started or found. Returns its exit status as a shell gives it: 0 when it
/// succeeded, 127 when it could not be started, 128 + N when signal N ended it.
int suspend_host(std::string command);

/// The exit status a shell gives for a wait status.
int shell_status(int wait_status);

/// True when a shell's wait status says the command could not be found or executed.
bool command_not_run(int wait_status);

// The one-client session protocol: its state, its pure decisions, the loop that drives
// them over the listening socket, and the suspend action.
#pragma once

#include <netinet/in.h>

#include <ctime>
#include <string>
#include <string_view>

#include "key/key.h"

/// The loop's state. The owner and start time stay in place after the session ends.
struct Session {
  bool active = false;
  std::string owner;
  std::time_t start = 0;
  in_addr local{};          // the local address the owner's EHLO was sent to: END leaves from it
  std::string challenge{};  // keyed: the session's challenge until a proof spends it, then empty
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
  kDropUnproven,    // keyed: "SUSPEND" or "QUIT" from the owner without a valid proof
};

/// The log line and reply that go with an action.
struct Response {
  int priority;            // syslog priority of the line
  std::string_view line;   // empty: no line; otherwise a fixed text or a prefix
  bool names_sender;       // the line is the prefix followed by the sender's identity
  std::string_view reply;  // empty: no reply to the sender
};

/// True when s is active and the clock has moved on by more than four seconds since its start.
bool window_passed(const Session& s, std::time_t now);

/// The text of a datagram: its bytes up to the first NUL or its end.
std::string_view datagram_text(const char* bytes, std::size_t length);

/// Decides what text from sender, sent to the local address local, does, and opens the
/// session (owner sender, reached at local, start now) when it is kStartSession. Does no I/O.
/// With a key, the session opens with fresh_challenge, the owner's commands must carry its
/// proof (net/protocol.h), and the first valid proof spends the challenge.
Action on_datagram(Session& s, std::string_view text, const std::string& sender, in_addr local,
                   std::time_t now, const Key* key = nullptr,
                   std::string_view fresh_challenge = {});

/// The log line and reply that the loop writes for action.
const Response& response_to(Action action);

/// Runs turns until the owner's QUIT has been carried out, then returns 0.
int run_session_loop();

/// Runs command ("systemctl suspend", or the verb of --sleep) through /bin/sh and waits for it,
/// unless a termination signal arrives first. Logs a warning when it cannot be started or found.
void suspend_host(std::string command);

/// True when a shell's wait status says the command could not be found or executed.
bool command_not_run(int wait_status);

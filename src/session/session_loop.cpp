#include "session/session_loop.h"

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <optional>
#include <utility>

#include "net/listener.h"
#include "net/protocol.h"
#include "process/notify.h"
#include "process/startup.h"

extern char** environ;

namespace {

constexpr std::string_view kSessionStarted = "Session started for client ";
constexpr std::string_view kSessionLocked = "Session locked in response to client ";
constexpr std::string_view kSessionEnded = "Session ended for client ";
constexpr std::string_view kOwnerUnparsable = "Error parsing expected client info; Recovering...";
constexpr std::string_view kNoSession = "No acitve session; Dropping packet from ";
constexpr std::string_view kUnexpectedClient = "Unexpected client data; Dropping packet from ";
constexpr std::string_view kUnproven = "Command without a valid proof; Dropping packet from ";
constexpr std::string_view kKeyNeeded = "EHLO without a key; Answered KEYED to client ";
constexpr std::string_view kUnknownKey = "Unknown key; Dropping packet from ";
constexpr std::string_view kStale = "Spent or expired challenge; Dropping packet from ";
// The line of its own that names the key of each proven command: prefix, client, key name.
constexpr std::string_view kProvenFrom = "Command from client ";
constexpr std::string_view kProvenWith = " proven with key ";
constexpr std::string_view kHeldBack = " log lines about datagrams held back (at most ";
constexpr std::string_view kHeldBackEnd = " a second are written)";
constexpr std::string_view kSuspending = "Received SUSPEND command. Suspending...";
constexpr std::string_view kQuitting = "Received QUIT command. Stopping Lomarind...";
constexpr std::string_view kSendFailed = "Send failed";
constexpr std::string_view kCommandFailed = "Failed to execute ";

// The status line that the service manager shows, at each change of state.
constexpr std::string_view kWaitingStatus = "Waiting for a client";
constexpr std::string_view kSessionOpenStatus = "Session open for client ";
constexpr std::string_view kRunningStatus = "Running ";
constexpr std::string_view kForClient = " for client ";

constexpr const char* kShell = "/bin/sh";
constexpr std::string_view kSystemctl = "systemctl ";

// What /bin/sh exits with when the command is not executable or not found.
constexpr int kShellCannotExecute = 126;
constexpr int kShellNotFound = 127;

// How long the wait for the suspend command sleeps between looks at the termination flag.
constexpr int kWaitSliceMilliseconds = 1000;

// Indexed by Action.
constexpr std::array kResponses = {
    Response{LOG_INFO, kSessionStarted, true, protocol::kStart, false},
    Response{LOG_INFO, kSessionLocked, true, protocol::kLocked, true},
    Response{LOG_WARNING, kNoSession, true, {}, true},
    Response{LOG_WARNING, kUnexpectedClient, true, {}, true},
    Response{LOG_INFO, kSuspending, false, protocol::kOk, false},
    Response{LOG_INFO, kQuitting, false, protocol::kOk, false},
    Response{LOG_INFO, {}, false, {}, false},
    Response{LOG_WARNING, kUnproven, true, {}, true},
    Response{LOG_INFO, {}, false, {}, false},
    Response{LOG_WARNING, kKeyNeeded, true, protocol::kKeyedNotice, true},
    Response{LOG_WARNING, kUnknownKey, true, {}, true},
    Response{LOG_WARNING, kStale, true, {}, true},
    Response{LOG_INFO, {}, false, {}, false},
};
static_assert(kResponses.size() == static_cast<std::size_t>(Action::kRepeatOk) + 1);

void log_text(int priority, std::string_view prefix, std::string_view identity = {}) {
  std::string line;
  line.reserve(prefix.size() + identity.size());
  line.append(prefix).append(identity);
  log_line(priority, line);
}

// Sends message to destination from the local address source.
void reply(std::string_view message, const sockaddr_in& destination, socklen_t length,
           const in_addr& source) {
  if (send_reply(listening_socket, message, 0, destination, length, source) == -1) {
    log_text(LOG_WARNING, kSendFailed);
  }
}

// Seconds of the boot clock, which counts on through a suspend and is never stepped: what
// keyed challenges and the log budget are timed by.
std::uint32_t boot_second() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint32_t>(now.tv_sec);
}

void end_session(Session& s) {
  log_text(LOG_INFO, kSessionEnded, s.owner);
  if (const auto owner = address_from_identity(s.owner)) {
    reply(protocol::kEnd, *owner, sizeof *owner, s.local);
  } else {
    log_text(LOG_ERR, kOwnerUnparsable);
  }
  s.active = false;
  notify_status(kWaitingStatus);
}

void quit_shutdown(const Settings& settings) {
  notify_stopping();
  if (!settings.pid_file_path.empty()) {
    remove_pid_file(settings.pid_file_path);
  }
  close(listening_socket);
  listening_socket = -1;
  closelog();
}

// A keyed command: its word, key id, challenge and proof.
KeyedOutcome on_keyed_command(Challenges& challenges, const KeySet& keys, std::string_view text,
                              const std::string& sender, std::uint32_t now) {
  const std::array<std::pair<std::string_view, Action>, 2> commands{{
      {protocol::kSuspendWord, Action::kSuspend},
      {protocol::kQuitWord, Action::kQuit},
  }};
  for (const auto& [word, action] : commands) {
    const std::string_view rest = text.substr(std::min(word.size(), text.size()));
    if (!text.starts_with(word) || !(rest.starts_with(' ') || rest.starts_with('\n'))) {
      continue;
    }
    const auto parsed = hex_fields(
        rest, " ",
        std::array{protocol::kKeyIdDigits, protocol::kChallengeDigits, protocol::kProofDigits});
    if (!parsed) {
      return {Action::kDropUnproven, {}};
    }
    const auto& fields = *parsed;  // key id, challenge, proof
    const NamedKey* key = keys.by_id(fields[0]);
    if (key == nullptr) {
      return {Action::kDropUnknownKey, {}};
    }
    const Challenges::Check check = challenges.check(fields[1], sender, fields[0], now);
    if (check == Challenges::Check::kForged ||
        !same_proof(command_proof(key->key, fields[1], word), fields[2])) {
      return {Action::kDropUnproven, {}};
    }
    if (check == Challenges::Check::kExpired) {
      return {Action::kDropStale, {}};
    }
    std::string ok(protocol::kOkPrefix);
    ok.append(ok_proof(key->key, fields[1], word)).append("\n");
    switch (challenges.spend(fields[1], word, now)) {
    case Challenges::Spend::kSpent:
      return {action, ok, key};
    case Challenges::Spend::kAgain:
      return {Action::kRepeatOk, ok, key};
    case Challenges::Spend::kRefused:
      break;
    }
    return {Action::kDropStale, {}};
  }
  return {Action::kDropUnexpected, {}};
}

// Waits for the child, looking at the termination flag at least once a second, so that
// SIGTERM or SIGINT ends the daemon even while a suspend command hangs.
int wait_for_command(pid_t child) {
  // A raw call: glibc's <sys/pidfd.h> of this generation lacks C linkage in C++.
  const auto child_fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  int status = 0;
  for (;;) {
    exit_if_terminated();
    const pid_t waited = waitpid(child, &status, WNOHANG);
    if (waited == child || (waited == -1 && errno != EINTR)) {
      break;
    }
    // The descriptor becomes readable when the child ends; a signal cuts the sleep short.
    pollfd ready{child_fd, POLLIN, 0};
    poll(&ready, child_fd == -1 ? 0 : 1,
         child_fd == -1 ? kWaitSliceMilliseconds / 10 : kWaitSliceMilliseconds);
  }
  if (child_fd != -1) {
    close(child_fd);
  }
  return status;
}

}  // namespace

bool window_passed(const Session& s, std::time_t now) {
  return s.active && now - s.start > protocol::kSessionSeconds;
}

std::string_view datagram_text(const char* bytes, std::size_t length) {
  const void* nul = std::memchr(bytes, '\0', length);
  return {bytes, nul == nullptr ? length
                                : static_cast<std::size_t>(static_cast<const char*>(nul) - bytes)};
}

Action on_datagram(Session& s, std::string_view text, const std::string& sender, in_addr local,
                   std::time_t now) {
  if (text == protocol::kEhlo) {
    if (s.active) {
      return Action::kRefuseLocked;
    }
    s.active = true;
    s.owner = sender;
    s.start = now;
    s.local = local;
    return Action::kStartSession;
  }
  if (!s.active) {
    return Action::kDropNoSession;
  }
  if (sender != s.owner) {
    return Action::kDropUnexpected;
  }
  if (text == protocol::kSuspend) {
    return Action::kSuspend;
  }
  if (text == protocol::kQuit) {
    return Action::kQuit;
  }
  return Action::kIgnore;
}

KeyedOutcome on_keyed_datagram(Challenges& challenges, const KeySet& keys, std::string_view text,
                               const std::string& sender, std::uint32_t now) {
  if (text == protocol::kEhlo) {
    return {Action::kRefuseKeyless, {}};
  }
  // Key id and nonce.
  if (const auto fields = hex_fields(text, protocol::kEhloPrefix,
                                     std::array{protocol::kKeyIdDigits, protocol::kNonceDigits})) {
    const NamedKey* key = keys.by_id((*fields)[0]);
    if (key == nullptr) {
      return {Action::kDropUnknownKey, {}};
    }
    // Nothing is held for the sender: the challenge proves itself when it comes back.
    const std::string challenge = challenges.issue(sender, (*fields)[0], now);
    std::string start(protocol::kStartPrefix);
    start.append(challenge).append(" ").append(start_proof(key->key, (*fields)[1], challenge));
    return {Action::kChallenge, start.append("\n")};
  }
  return on_keyed_command(challenges, keys, text, sender, now);
}

std::string_view reply_for(const KeyedOutcome& outcome) {
  return outcome.reply.empty() ? response_to(outcome.action).reply : outcome.reply;
}

const Response& response_to(Action action) {
  // Every Action has its row (see the static_assert at the table).
  return kResponses[static_cast<std::size_t>(action)];
}

bool command_not_run(int wait_status) {
  return WIFEXITED(wait_status) && (WEXITSTATUS(wait_status) == kShellCannotExecute ||
                                    WEXITSTATUS(wait_status) == kShellNotFound);
}

void suspend_host(std::string command) {
  // The child gets default handling and an empty mask for the signals the daemon catches,
  // so the command can be stopped like any other.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::array<char, 3> shell_name{'s', 'h', '\0'};
  std::array<char, 3> dash_c{'-', 'c', '\0'};
  std::array<char*, 4> arguments{shell_name.data(), dash_c.data(), command.data(), nullptr};
  pid_t child = -1;
  const int spawned = posix_spawn(&child, kShell, nullptr, &attributes, arguments.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0 || command_not_run(wait_for_command(child))) {
    log_text(LOG_WARNING, kCommandFailed, command);
  }
}

int run_session_loop(const Settings& settings) {
  Session session;
  std::array<char, kMaxDatagram + 1> buffer{};
  sockaddr_in sender{};
  socklen_t sender_length = sizeof sender;
  in_addr local{};
  const bool keyed = !settings.keys.empty();
  // Keyed: the challenges' secret, drawn once; a keyless daemon draws none.
  std::optional<Challenges> challenges;
  if (keyed) {
    challenges.emplace();
  }
  LogBudget budget;
  // What a SUSPEND runs: "systemctl suspend", or the verb that --sleep chose.
  const std::string command = std::string(kSystemctl).append(settings.sleep_verb);
  notify_status(kWaitingStatus);
  for (;;) {
    exit_if_terminated();
    const ssize_t received = receive_datagram(buffer.data(), sender, sender_length, local);
    exit_if_terminated();
    const std::time_t now = std::time(nullptr);
    const std::uint32_t second = boot_second();
    if (const long held = take_held_back(budget, second); held > 0) {
      log_line(LOG_WARNING, std::to_string(held)
                                .append(kHeldBack)
                                .append(std::to_string(kBudgetedLinesPerSecond))
                                .append(kHeldBackEnd));
    }
    // Expiry is looked at on every turn, before the datagram of this turn.
    if (window_passed(session, now)) {
      end_session(session);
    }
    if (received < 0) {
      continue;
    }
    const std::string identity = identity_of(sender);
    const auto length = static_cast<std::size_t>(received);
    buffer[length] = '\0';
    const std::string_view text = datagram_text(buffer.data(), length);
    KeyedOutcome outcome{Action::kIgnore, {}};
    if (keyed) {
      outcome = on_keyed_datagram(*challenges, settings.keys, text, identity, second);
    } else {
      outcome.action = on_datagram(session, text, identity, local, now);
    }
    const Action action = outcome.action;
    const Response& response = response_to(action);
    if (outcome.key != nullptr && action != Action::kRepeatOk) {
      log_line(
          LOG_INFO,
          std::string(kProvenFrom).append(identity).append(kProvenWith).append(outcome.key->name));
    }
    if (!response.line.empty() && (!response.budgeted || within_budget(budget, second))) {
      log_text(response.priority, response.line, response.names_sender ? identity : "");
    }
    // From the address the client sent to, which is where it waits for the answer.
    if (const std::string_view answer = reply_for(outcome); !answer.empty()) {
      reply(answer, sender, sender_length, local);
    }
    if (action == Action::kStartSession) {
      notify_status(kSessionOpenStatus, identity);
    } else if (action == Action::kSuspend) {
      notify_status(std::string(kRunningStatus).append(command).append(kForClient), identity);
      suspend_host(command);
      notify_status(keyed ? kWaitingStatus : kSessionOpenStatus, keyed ? "" : identity);
    } else if (action == Action::kQuit) {
      quit_shutdown(settings);
      return 0;
    }
  }
}

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
constexpr std::string_view kUnknownKeyAnswered = "Unknown key; Answered KEYED to client ";
// A failed sleep command in keyed mode, told to the client: "Sleep refused (", the command,
// " exit ", the status, "); Told client ", the client.
constexpr std::string_view kSleepRefused = "Sleep refused (";
constexpr std::string_view kRefusedExit = " exit ";
constexpr std::string_view kRefusedTold = "); Told client ";
constexpr std::string_view kStale = "Spent or expired challenge; Dropping packet from ";
// The line of its own that names the key of each proven command: prefix, client, key name.
constexpr std::string_view kProvenFrom = "Command from client ";
constexpr std::string_view kProvenWith = " proven with key ";
constexpr std::string_view kHeldBack = " log lines about datagrams held back (at most ";
constexpr std::string_view kHeldBackEnd = " a second are written)";
constexpr std::string_view kSuspending = "Received SUSPEND command. Suspending...";
constexpr std::string_view kQuitting = "Received QUIT command. Stopping Lomarind...";
constexpr std::string_view kFromPortZero = "Datagram from port 0; Dropping packet from ";
constexpr std::string_view kToGroup =
    "Datagram to a broadcast or multicast address; Dropping packet from ";
// Then the peer's identity, ": " and the error.
constexpr std::string_view kSendFailed = "Send failed to client ";
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
// What a shell's status is when a signal ended the command: this plus the signal's number.
constexpr int kSignalStatusBase = 128;

// How long the wait for the suspend command sleeps between looks at the termination flag.
constexpr int kWaitSliceMilliseconds = 1000;

// The line and the fixed reply of each action, looked up by the action.
struct ActionRow {
  Action action;
  Response response;
};
constexpr std::array kRows = {
    ActionRow{Action::kStartSession, {LOG_INFO, kSessionStarted, true, protocol::kStart, false}},
    ActionRow{Action::kRefuseLocked, {LOG_INFO, kSessionLocked, true, protocol::kLocked, true}},
    ActionRow{Action::kDropNoSession, {LOG_WARNING, kNoSession, true, {}, true}},
    ActionRow{Action::kDropUnexpected, {LOG_WARNING, kUnexpectedClient, true, {}, true}},
    ActionRow{Action::kSuspend, {LOG_INFO, kSuspending, false, protocol::kOk, false}},
    ActionRow{Action::kQuit, {LOG_INFO, kQuitting, false, protocol::kOk, false}},
    ActionRow{Action::kIgnore, {LOG_INFO, {}, false, {}, false}},
    ActionRow{Action::kDropUnproven, {LOG_WARNING, kUnproven, true, {}, true}},
    ActionRow{Action::kChallenge, {LOG_INFO, {}, false, {}, false}},
    ActionRow{Action::kRefuseKeyless, {LOG_WARNING, kKeyNeeded, true, {}, true}},
    ActionRow{Action::kDropUnknownKey, {LOG_WARNING, kUnknownKey, true, {}, true}},
    ActionRow{Action::kAnswerUnknownKey, {LOG_WARNING, kUnknownKeyAnswered, true, {}, true}},
    ActionRow{Action::kDropStale, {LOG_WARNING, kStale, true, {}, true}},
    ActionRow{Action::kRepeatOk, {LOG_INFO, {}, false, {}, false}},
    ActionRow{Action::kDropFromPortZero, {LOG_WARNING, kFromPortZero, true, {}, true}},
    ActionRow{Action::kDropToGroup, {LOG_WARNING, kToGroup, true, {}, true}},
};

// Every action, up to the last, has exactly one row.
constexpr bool one_row_each() {
  constexpr auto kActions = static_cast<std::size_t>(Action::kDropToGroup) + 1;
  std::array<int, kActions> rows{};
  for (const ActionRow& row : kRows) {
    const auto index = static_cast<std::size_t>(row.action);
    if (index >= kActions || ++rows[index] != 1) {
      return false;
    }
  }
  return kRows.size() == kActions;
}
static_assert(one_row_each(), "one row for each action");

// What the loop keeps from turn to turn.
struct LoopState {
  Session session;                    // keyless mode's one session
  std::optional<KeyedService> keyed;  // keyed mode: the key room's side of the wire
  LogBudget budget;                   // for the lines anyone's datagrams can cause
  std::string command;                // what a SUSPEND runs
};

// One datagram received, with where it came from and went to.
struct Datagram {
  std::string_view text;
  sockaddr_in sender{};
  socklen_t sender_length = sizeof sender;
  std::string identity;
  in_addr local{};        // where replies to it leave from
  in_addr destination{};  // the address it was sent to
};

// What a turn comes to: the action, the reply, and for a keyed command carried out, the key
// that proved it and the challenge it spent.
struct Decision {
  Action action;
  std::string reply;
  const NamedKey* key = nullptr;
  std::string challenge = {};
};

void log_text(int priority, std::string_view prefix, std::string_view identity = {}) {
  std::string line;
  line.reserve(prefix.size() + identity.size());
  line.append(prefix).append(identity);
  log_line(priority, line);
}

// Sends message to destination from the local address source. A failed send is a line that
// anyone's datagram can cause (a reply to port 0, to an unreachable address), so it is budgeted.
void reply(LogBudget& budget, std::uint32_t second, std::string_view message,
           const sockaddr_in& destination, socklen_t length, const in_addr& source) {
  if (send_reply(listening_socket, message, 0, destination, length, source) != -1) {
    return;
  }
  const int error = errno;
  if (within_budget(budget, second)) {
    log_line(LOG_WARNING, std::string(kSendFailed)
                              .append(identity_of(destination))
                              .append(": ")
                              .append(std::strerror(error)));
  }
}

// Seconds of the boot clock, which counts on through a suspend and is never stepped: what
// keyed challenges and the log budget are timed by.
std::uint32_t boot_second() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint32_t>(now.tv_sec);
}

void end_session(Session& s, LogBudget& budget, std::uint32_t second) {
  log_text(LOG_INFO, kSessionEnded, s.owner);
  if (const auto owner = address_from_identity(s.owner)) {
    reply(budget, second, protocol::kEnd, *owner, sizeof *owner, s.local);
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

// In a second after lines were held back, says how many, in one line.
void report_held_back(LogBudget& budget, std::uint32_t second) {
  if (const long held = take_held_back(budget, second); held > 0) {
    log_line(LOG_WARNING, std::to_string(held)
                              .append(kHeldBack)
                              .append(std::to_string(kBudgetedLinesPerSecond))
                              .append(kHeldBackEnd));
  }
}

Decision decide(LoopState& state, const Datagram& datagram, std::time_t now, std::uint32_t second) {
  if (const auto dropped =
          screened(ntohs(datagram.sender.sin_port), datagram.destination, datagram.local)) {
    return {*dropped, {}};
  }
  if (!state.keyed) {
    const Action action =
        on_datagram(state.session, datagram.text, datagram.identity, datagram.local, now);
    return {action, std::string(response_to(action).reply)};
  }
  KeyedService::Answer answer = state.keyed->answer(datagram.text, second);
  if (answer.verdict != KeyedService::Verdict::kCarryOut) {
    return {keyed_action(answer), std::move(answer.reply)};
  }
  return {keyed_action(answer), std::move(answer.reply), answer.key, std::move(answer.challenge)};
}

// Writes the turn's log lines and sends its reply, from the address the client sent to, which
// is where it waits for the answer.
void answer(LoopState& state, const Datagram& datagram, const Decision& decision,
            std::uint32_t second) {
  if (decision.key != nullptr) {
    log_line(LOG_INFO, std::string(kProvenFrom)
                           .append(datagram.identity)
                           .append(kProvenWith)
                           .append(decision.key->name));
  }
  const Response& response = response_to(decision.action);
  if (!response.line.empty() && (!response.budgeted || within_budget(state.budget, second))) {
    log_text(response.priority, response.line, response.names_sender ? datagram.identity : "");
  }
  if (!decision.reply.empty()) {
    reply(state.budget, second, decision.reply, datagram.sender, datagram.sender_length,
          datagram.local);
  }
}

// Runs the sleep command. In keyed mode a failure is told to the client that asked, with a
// proven REFUSED, so that it never reports a host asleep that refused to sleep.
void sleep_for(LoopState& state, const Datagram& datagram, const Decision& decision) {
  notify_status(std::string(kRunningStatus).append(state.command).append(kForClient),
                datagram.identity);
  const int status = suspend_host(state.command);
  if (decision.key != nullptr) {  // keyed
    if (status != 0) {
      log_line(LOG_WARNING, std::string(kSleepRefused)
                                .append(state.command)
                                .append(kRefusedExit)
                                .append(std::to_string(status))
                                .append(kRefusedTold)
                                .append(datagram.identity));
      reply(state.budget, boot_second(),
            refused_datagram(decision.key->key, decision.challenge, status), datagram.sender,
            datagram.sender_length, datagram.local);
    }
    notify_status(kWaitingStatus);
  } else {
    notify_status(kSessionOpenStatus, datagram.identity);
  }
}

enum class Outcome { kServing, kQuit };

// Carries the action out: a new session's status line, the sleep command, or the QUIT.
Outcome carry_out(LoopState& state, const Datagram& datagram, const Decision& decision) {
  if (decision.action == Action::kStartSession) {
    notify_status(kSessionOpenStatus, datagram.identity);
  } else if (decision.action == Action::kSuspend) {
    sleep_for(state, datagram, decision);
  } else if (decision.action == Action::kQuit) {
    return Outcome::kQuit;
  }
  return Outcome::kServing;
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

std::optional<Action> screened(std::uint16_t sender_port, in_addr destination, in_addr local) {
  if (sender_port == 0) {
    return Action::kDropFromPortZero;
  }
  // A datagram delivered to one of this host's own addresses was sent to that address; one
  // whose destination differs from the local address it reached was sent to a group: to a
  // subnet's broadcast address, to 255.255.255.255 or to a multicast group. Answering it would
  // make every daemon that heard it answer one forged sender at once.
  const in_addr_t to = ntohl(destination.s_addr);
  if (IN_MULTICAST(to) || to == INADDR_BROADCAST || destination.s_addr != local.s_addr) {
    return Action::kDropToGroup;
  }
  return std::nullopt;
}

Action keyed_action(const KeyedService::Answer& answer) {
  using Verdict = KeyedService::Verdict;
  switch (answer.verdict) {
  case Verdict::kKeyNeeded:
    return Action::kRefuseKeyless;
  case Verdict::kChallenge:
    return Action::kChallenge;
  case Verdict::kKeyNotHeld:
    return Action::kAnswerUnknownKey;
  case Verdict::kUnknownKey:
    return Action::kDropUnknownKey;
  case Verdict::kUnproven:
    return Action::kDropUnproven;
  case Verdict::kStale:
    return Action::kDropStale;
  case Verdict::kCarryOut:
    return answer.word == protocol::kQuitWord ? Action::kQuit : Action::kSuspend;
  case Verdict::kRepeat:
    return Action::kRepeatOk;
  case Verdict::kNotKeyed:
    break;
  }
  return Action::kDropUnexpected;
}

const Response& response_to(Action action) {
  // Every action has its row (see the static_assert at the table).
  return std::find_if(kRows.begin(), kRows.end(),
                      [action](const ActionRow& row) { return row.action == action; })
      ->response;
}

bool command_not_run(int wait_status) {
  return WIFEXITED(wait_status) && (WEXITSTATUS(wait_status) == kShellCannotExecute ||
                                    WEXITSTATUS(wait_status) == kShellNotFound);
}

int suspend_host(std::string command) {
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
  const int wait_status = spawned == 0 ? wait_for_command(child) : kShellNotFound << 8;
  if (command_not_run(wait_status)) {
    log_text(LOG_WARNING, kCommandFailed, command);
  }
  return shell_status(wait_status);
}

int shell_status(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return kSignalStatusBase + WTERMSIG(wait_status);
  }
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : kShellNotFound;
}

int run_session_loop(const Settings& settings) {
  LoopState state;
  if (!settings.keys.empty()) {
    // Keyed: the challenges' secret, drawn once; a keyless daemon draws none.
    state.keyed.emplace(settings.keys);
  }
  // What a SUSPEND runs: "systemctl suspend", or the verb that --sleep chose.
  state.command = std::string(kSystemctl).append(settings.sleep_verb);
  std::array<char, kMaxDatagram + 1> buffer{};
  notify_status(kWaitingStatus);
  for (;;) {
    exit_if_terminated();
    Datagram datagram;
    const ssize_t received =
        receive_datagram(buffer.data(), datagram.sender, datagram.sender_length, datagram.local,
                         datagram.destination);
    exit_if_terminated();
    const std::time_t now = std::time(nullptr);
    const std::uint32_t second = boot_second();
    report_held_back(state.budget, second);
    // Expiry is looked at on every turn, before the datagram of this turn.
    if (window_passed(state.session, now)) {
      end_session(state.session, state.budget, second);
    }
    if (received < 0) {
      continue;
    }
    const auto length = static_cast<std::size_t>(received);
    buffer[length] = '\0';
    datagram.text = datagram_text(buffer.data(), length);
    datagram.identity = identity_of(datagram.sender);
    const Decision decision = decide(state, datagram, now, second);
    answer(state, datagram, decision, second);
    if (carry_out(state, datagram, decision) == Outcome::kQuit) {
      quit_shutdown(settings);
      return 0;
    }
  }
}

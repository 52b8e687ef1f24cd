#include "session/session_loop.h"

#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "net/listener.h"
#include "net/relay.h"
#include "process/keys.h"
#include "process/log.h"
#include "process/notify.h"
#include "session/inhibitors.h"
#include "session/session_turn.h"
#include "session/sleep_command.h"

namespace {

// Then the peer's identity, ": " and the error.
constexpr std::string_view kSendFailed = "Send failed to client ";
constexpr std::string_view kSystemctl = "systemctl ";

// Seconds of the boot clock, which counts on through a suspend and is never stepped: what
// keyed challenges and the log budget are timed by.
std::uint32_t boot_second() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint32_t>(now.tv_sec);
}

// How far the boot clock is ahead of the monotonic clock, in milliseconds: the time the host
// has spent suspended since it booted. The boot clock is read first, so that a delay between
// the two reads makes the lead seem smaller, never a sleep seem to have happened.
std::int64_t boot_lead_ms() {
  timespec boot{};
  timespec monotonic{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  clock_gettime(CLOCK_MONOTONIC, &monotonic);
  return (boot.tv_sec - monotonic.tv_sec) * 1000 + (boot.tv_nsec - monotonic.tv_nsec) / 1'000'000;
}

Clocks read_clocks() { return {std::time(nullptr), boot_second(), boot_lead_ms()}; }

// A failed send is a line that anyone's datagram can cause (a reply to port 0, to an
// unreachable address), so it is budgeted.
void send(LogBudget& budget, const Message& message) {
  if (send_reply(message.text, message.to, message.from) != -1) {
    return;
  }
  const int error = errno;
  if (within_budget(budget, boot_second())) {
    log_line(LOG_WARNING, std::string(kSendFailed)
                              .append(identity_of(message.to))
                              .append(": ")
                              .append(std::strerror(error)));
  }
}

// Writes the turn's lines, sends its datagrams and sets its status lines, in its order.
void follow(LoopState& state, const Turn& turn) {
  for (const Output& output : turn) {
    switch (output.kind) {
    case Output::Kind::kLine:
      log_line(output.priority, output.text);
      break;
    case Output::Kind::kSend:
      send(state.budget, output.message);
      break;
    case Output::Kind::kStatus:
      notify_status(output.text);
      break;
    }
  }
}

// Tells every client whose SUSPEND waited for the sleep command how it ended.
void tell_sleepers(LoopState& state, int status) {
  for (const Sleeper& sleeper : std::exchange(state.sleepers, {})) {
    follow(state, sleep_ended(state, sleeper, status, read_clocks()));
  }
}

// While the sleep command runs, waits up to a second for a datagram or the command's end.
void wait_for_datagram_or(const SleepChild& child) {
  // poll passes over a descriptor of -1: no IPv6 socket, or no command's descriptor.
  std::array<pollfd, 3> ready{pollfd{listening_socket, POLLIN, 0},
                              pollfd{listening_socket_v6, POLLIN, 0}, pollfd{child.fd, POLLIN, 0}};
  // Without the command's descriptor, the command's end is looked for ten times a second.
  poll(ready.data(), ready.size(), child.fd == -1 ? 100 : 1000);
}

// Runs the sleep command for the SUSPEND just carried out, the last of the sleepers, unless a
// block inhibitor holds it back; keyless, waits for its end. A SUSPEND taken while the command
// runs waits for that command's end: the inhibitors were asked before it started.
void start_sleep(const Settings& settings, LoopState& state, SleepChild& running) {
  if (running.pid == -1 && !settings.ignore_inhibitors) {
    if (const auto inhibitor = sleep_inhibitor()) {
      const Sleeper held = std::move(state.sleepers.back());
      state.sleepers.pop_back();
      follow(state, sleep_inhibited(state, held, *inhibitor, read_clocks()));
      return;
    }
  }
  follow(state, sleep_started(state, state.sleepers.back()));
  if (!state.keyed) {
    tell_sleepers(state, run_sleep_command(state.command));
  } else if (running.pid == -1) {
    running = start_sleep_command(state.command);
    if (running.pid == -1) {
      tell_sleepers(state, *sleep_command_ended(running, state.command));
    }
  }
}

// Sends the magic packet of each WAKE carried out in this turn and tells its client where it
// went.
void relay_wakes(const Settings& settings, LoopState& state) {
  for (const Sleeper& waker : std::exchange(state.wakers, {})) {
    const RelayResult result = relay_wake(waker.mac, settings.wake_interfaces);
    follow(state, wake_relayed(state, waker, result, read_clocks()));
  }
}

void quit_shutdown(const Settings& settings) {
  notify_stopping();
  if (!settings.pid_file_path.empty()) {
    remove_pid_file(settings.pid_file_path);
  }
  close(listening_socket);
  listening_socket = -1;
  if (listening_socket_v6 != -1) {
    close(listening_socket_v6);
    listening_socket_v6 = -1;
  }
  closelog();
}

}  // namespace

int run_session_loop(Settings& settings) {
  LoopState state;
  if (!settings.keys.empty()) {
    // Keyed: the challenges' secret, drawn once; a keyless daemon draws none.
    state.keyed.emplace(settings.keys);
  }
  // What a SUSPEND runs: "systemctl suspend", or the verb that --sleep chose.
  state.command = std::string(kSystemctl).append(settings.sleep_verb);
  std::array<char, kMaxDatagram + 1> buffer{};
  // Keyed, the sleep command runs while the loop serves on; keyless, datagrams wait for it.
  SleepChild running;
  notify_status(kWaitingStatus);
  bool reload_pending = false;
  for (;;) {
    exit_if_terminated();
    // The keys are read again between turns, and not while a SUSPEND waits for its sleep
    // command: its client is told under the key that proved it.
    reload_pending = take_reload_request() || reload_pending;
    if (reload_pending && state.sleepers.empty()) {
      reload_pending = false;
      const Reload reload = reload_keys(settings);
      log_line(reload.priority, reload.line);
    }
    if (running.pid != -1) {
      wait_for_datagram_or(running);
      if (const auto status = sleep_command_ended(running, state.command)) {
        tell_sleepers(state, *status);
      }
    }
    Datagram datagram;
    const ssize_t received = receive_datagram(buffer.data(), datagram.sender, datagram.local,
                                              datagram.destination, running.pid == -1);
    exit_if_terminated();
    const Clocks now = read_clocks();
    if (received >= 0) {
      datagram.text = datagram_text(buffer.data(), static_cast<std::size_t>(received));
      datagram.identity = identity_of(datagram.sender);
    }
    const Turn turn = take_turn(state, received >= 0 ? &datagram : nullptr, now);
    follow(state, turn);
    if (turn.effect == Effect::kSleep) {
      start_sleep(settings, state, running);
    } else if (turn.effect == Effect::kWake) {
      relay_wakes(settings, state);
    } else if (turn.effect == Effect::kStop) {
      // A QUIT taken while the sleep command runs waits for it, so that its clients are told.
      if (running.pid != -1) {
        tell_sleepers(state, wait_for_sleep_command(running, state.command));
      }
      quit_shutdown(settings);
      return 0;
    }
  }
}

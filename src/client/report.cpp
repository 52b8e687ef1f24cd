#include "client/report.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "net/exit_status.h"

namespace {

// Which status a call of several hosts ends with: the first of these that any host has. What
// may have been carried out unseen leads, then a host that was told to sleep and did not,
// then what keeps the client from the host, then a lock (try again).
constexpr std::array kStatusOrder{exit_status::kSilent,      exit_status::kRefused,
                                  exit_status::kDidNotSleep, exit_status::kNoDaemon,
                                  exit_status::kKeyNotKnown, exit_status::kNeedsKey,
                                  exit_status::kLocked};

// "refused by the host (...)" for the sleep command's status, as the daemon's shell gave it.
std::string refusal_text(int status) {
  if (status == exit_status::kShellCannotExecute || status == exit_status::kShellNotFound) {
    return "refused by the host (sleep command could not run)";
  }
  if (status > exit_status::kSignalBase) {
    return "refused by the host (systemctl ended by signal " +
           std::to_string(status - exit_status::kSignalBase) + ")";
  }
  return "refused by the host (systemctl exit " + std::to_string(status) + ")";
}

// "awake after 7.2 s": from the first magic packet to the daemon's answer, to a tenth.
std::string awake_after(const Exchange& exchange) {
  const auto tenths =
      (std::chrono::duration_cast<std::chrono::milliseconds>(exchange.finished - exchange.started)
           .count() +
       50) /
      100;
  return "awake after " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

// Why a relay sent no magic packet, as the relay proved it.
std::string relay_refusal_text(RelayRefusal refusal) {
  switch (refusal) {
  case RelayRefusal::kKey:
    return "refused by the relay (this key may not wake)";
  case RelayRefusal::kRate:
    return "refused by the relay (too many wakes at once: try again)";
  case RelayRefusal::kNoNetwork:
    break;
  }
  return "refused by the relay (it has no network to send on)";
}

std::string done_text(const Exchange& exchange, Command command) {
  switch (command) {
  case Command::kQuit:
    return "stopped";
  case Command::kStatus:
    return "awake";
  case Command::kWake:
    return awake_after(exchange);
  case Command::kSuspend:
  case Command::kHelp:
  case Command::kKeygen:
    break;
  }
  return "suspended";
}

}  // namespace

std::string result_line(const std::string& host, const Exchange& exchange, Command command,
                        std::uint16_t port, std::string_view relay) {
  std::string text = "no answer";
  switch (exchange.result) {
  case Result::kDone:
    text = relay.empty() ? done_text(exchange, command)
                         : std::string("magic packet sent by ").append(relay);
    break;
  case Result::kLocked:
    text = "locked by another client";
    break;
  case Result::kUnconfirmed:
    text = "command not confirmed";
    break;
  case Result::kNeedsKey:
    text = "needs a key";
    break;
  case Result::kUnresolved:
    text = relay.empty() ? "cannot resolve" : std::string("cannot resolve ").append(relay);
    break;
  case Result::kNoSocket:
    text = "cannot open a socket";
    break;
  case Result::kRefused:
    text = exchange.inhibitor.empty()
               ? refusal_text(exchange.sleep_status)
               : "refused by the host (inhibited by " + exchange.inhibitor + ")";
    break;
  case Result::kDidNotSleep:
    text = "did not sleep";
    break;
  case Result::kKeyNotKnown:
    text = "key not known to the host";
    break;
  case Result::kNoDaemon:
    text = "no daemon on port " + std::to_string(port);
    break;
  case Result::kNotRelayed:
    text = relay_refusal_text(exchange.refusal);
    break;
  case Result::kNoRelay:
    text = std::string("the daemon on ")
               .append(relay)
               .append(" does not relay wakes (it is older than the relay)");
    break;
  case Result::kPending:
  case Result::kNoAnswer:
    break;
  }
  return host + ": " + text;
}

int status_of(Result result) {
  switch (result) {
  case Result::kDone:
    return exit_status::kDone;
  case Result::kLocked:
    return exit_status::kLocked;
  case Result::kNeedsKey:
    return exit_status::kNeedsKey;
  case Result::kRefused:
  case Result::kNotRelayed:
    return exit_status::kRefused;
  case Result::kDidNotSleep:
    return exit_status::kDidNotSleep;
  case Result::kKeyNotKnown:
    return exit_status::kKeyNotKnown;
  case Result::kNoDaemon:
    return exit_status::kNoDaemon;
  case Result::kPending:
  case Result::kNoAnswer:
  case Result::kUnconfirmed:
  case Result::kUnresolved:
  case Result::kNoSocket:
  case Result::kNoRelay:
    break;
  }
  return exit_status::kSilent;
}

int exit_status_of(const std::vector<Result>& results) {
  for (const int status : kStatusOrder) {
    if (std::any_of(results.begin(), results.end(),
                    [status](Result result) { return status_of(result) == status; })) {
      return status;
    }
  }
  return exit_status::kDone;
}

void print_line(const std::string& line) {
  // A fleet's lines should show up as hosts finish, also through a pipe. Output that cannot
  // be written has nowhere to be reported; the exit status still tells.
  (void)std::fputs(line.c_str(), stdout);
  (void)std::fputc('\n', stdout);
  (void)std::fflush(stdout);
}

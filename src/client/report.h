// What the client says of each host and of the whole call: the result lines on standard
// output and the exit status (lomarind(1) lists both).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/arguments.h"
#include "client/exchange.h"

/// "HOST: suspended" and the other result lines, without the line feed; port is the one the
/// host was asked at (for "no daemon on port N"); relay, for wake --via, the RELAY word that
/// was asked for host's magic packet.
std::string result_line(const std::string& host, const Exchange& exchange, Command command,
                        std::uint16_t port, std::string_view relay = {});

/// The exit status of one result (net/exit_status.h): kDone for kDone, kLocked, kSilent for
/// kNoAnswer, kUnconfirmed, kUnresolved, kNoSocket and kNoRelay, kNeedsKey, kRefused for
/// kRefused and kNotRelayed, kDidNotSleep, kKeyNotKnown, kNoDaemon.
int status_of(Result result);

/// The status of a call: that of its hosts' results which comes first in the order 3, 5, 6,
/// 8, 7, 4, 2 (what a script must look at first leads), else 0.
int exit_status_of(const std::vector<Result>& results);

/// Writes line and a line feed to standard output at once; output that cannot be written is
/// let go.
void print_line(const std::string& line);

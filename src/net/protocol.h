// The words of the session protocol, shared by the daemon and the client.
#pragma once

#include <string_view>

namespace protocol {

/// The port the daemon listens on unless told otherwise.
constexpr int kDefaultPort = 9;

// Client to daemon.
constexpr std::string_view kEhlo = "EHLO\n";
constexpr std::string_view kSuspend = "SUSPEND\n";
constexpr std::string_view kQuit = "QUIT\n";

// Daemon to client.
constexpr std::string_view kStart = "START\n";
constexpr std::string_view kLocked = "LOCKED\n";
constexpr std::string_view kOk = "OK\n";
constexpr std::string_view kEnd = "END\n";

/// A session ends at the first turn at which the clock has moved on by more than this
/// many seconds since its start: between 5 and about 6 seconds of real time.
constexpr long kSessionSeconds = 4;

}  // namespace protocol

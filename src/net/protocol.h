// The words of the session protocol, shared by the daemon and the client.
#pragma once

#include <cstddef>
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

// Keyed sessions: the daemon holds a 32-byte key (--key-file) that its owner's controller
// shares. EHLO, LOCKED and END are unchanged; the other words change as follows.
//
//   daemon to client:  "START " challenge "\n"
//   client to daemon:  "SUSPEND " proof "\n"   or   "QUIT " proof "\n"
//
// The challenge is 16 bytes from the kernel's random source, written as 32 lower-case hex
// digits, new for every session. The proof is HMAC-SHA-256 under the key, written as 64
// lower-case hex digits, of exactly these ASCII bytes, with single spaces and no line feed:
//
//   "lomarind-proof-v1" " " challenge " " word
//
// where word is "SUSPEND" or "QUIT", e.g. "lomarind-proof-v1 00112233445566778899aabbccddeeff
// SUSPEND" on one line (75 bytes for SUSPEND, 72 for QUIT). A proof is accepted once: the
// first valid one spends the session's challenge.

/// The key's length in bytes; a key file holds it as twice as many hex digits.
constexpr std::size_t kKeyBytes = 32;
/// The challenge's length in bytes; it travels as twice as many hex digits.
constexpr std::size_t kChallengeBytes = 16;
/// A proof's length in hex digits.
constexpr std::size_t kProofDigits = 64;

constexpr std::string_view kStartPrefix = "START ";  // then the challenge and "\n"
constexpr std::string_view kSuspendWord = "SUSPEND";
constexpr std::string_view kQuitWord = "QUIT";
constexpr std::string_view kProofLabel = "lomarind-proof-v1";

}  // namespace protocol

// The words of the session protocol, shared by the daemon and the client.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Keyed mode, protocol version 2. The daemon holds one or more named 32-byte keys (--key-file);
// each controller holds the key the daemon knows it by. There are no sessions and no LOCKED
// in keyed mode: every well-formed EHLO gets its own challenge, nothing is held for anyone
// until a valid proof arrives, and so no one without a key can keep a key holder out. All
// hex on the wire is lower-case; anything else is another datagram.
//
//   client to daemon:  "EHLO " key-id " " nonce "\n"
//   daemon to client:  "START " challenge " " start-proof "\n"
//   client to daemon:  word " " key-id " " challenge " " command-proof "\n"
//   daemon to client:  "OK " ok-proof "\n", then it carries the command out
//
// where word is SUSPEND or QUIT.
//
// A plain "EHLO\n" is answered "KEYED 2\n" (a key is needed, and this version of the keyed
// protocol), and a keyed EHLO naming a key the daemon holds is answered START; nothing else is
// answered without a valid proof.
//
//   key-id     8 hex digits: the first 4 bytes of HMAC-SHA-256(key, "lomarind-v2 key-id")
//   nonce      32 hex digits the client draws afresh for each exchange
//   challenge  32 hex digits: the daemon's boot-clock second (4 bytes, big-endian), 4 random
//              bytes, and 8 bytes of a MAC under a secret drawn at start-up over those and
//              the key id. It needs no memory until it is spent, and is good while the boot
//              clock has moved on by at most kChallengeSeconds seconds since that second. It
//              is not bound to the address that asked for it: the proofs show who holds the
//              key, and spending it refuses a second use, so a copy of a key holder's EHLO
//              sent from elsewhere only gives out another challenge that key holder can use.
//   proofs     64 hex digits: HMAC-SHA-256 under the key of exactly these ASCII bytes, single
//              spaces, no line feed:
//                start-proof    "lomarind-v2 start " nonce " " challenge
//                command-proof  "lomarind-v2 command " challenge " " word
//                ok-proof       "lomarind-v2 ok " challenge " " word
//
// Two answers were added within version 2; a controller that ignores datagrams it does not
// know keeps working without them:
//
//   - a keyed EHLO naming a key id the daemon does not hold is answered "KEYED 2\n", as a
//     plain one is (shorter than the EHLO, so never a lever for amplification);
//   - when the sleep command of a carried-out SUSPEND fails, the daemon tells the address and
//     port the command came from: "REFUSED " status " " refused-proof "\n", where status is
//     the command's exit status as its shell gives it, in decimal, 1 to 255 (126 or 127: it
//     could not be run; 128 and more: a signal ended it), and
//                refused-proof  "lomarind-v2 refused " challenge " " status
//
// The outcome of a SUSPEND's sleep command was added within version 2 as well:
//
//   - with the OK of a carried-out SUSPEND, the daemon sends "RUNNING " running-proof "\n":
//     it runs the sleep command and will tell how it ended;
//   - when the sleep command succeeded, it tells the address and port the command came from
//     "SLEEPING " sleeping-proof "\n"; when it failed, the REFUSED above;
//                running-proof   "lomarind-v2 running " challenge " SUSPEND"
//                sleeping-proof  "lomarind-v2 sleeping " challenge " SUSPEND"
//   - the daemon keeps answering while the sleep command runs.
//
// A controller that knows RUNNING waits for SLEEPING or REFUSED; one that has seen no RUNNING
// talks to a daemon from before these words.
//
// A refusal that names its cause was added within version 2 too:
//
//   - when a block inhibitor for sleep is held on the host (logind's list of inhibitors), the
//     daemon does not run the sleep command of a carried-out SUSPEND, sends no RUNNING, and
//     tells the address and port the command came from "INHIBITED " inhibited-proof " " text
//     "\n", then "REFUSED 1 " refused-proof "\n" for controllers that do not know INHIBITED
//     (1: the status systemctl gives when logind refuses for an inhibitor). text is who holds
//     the inhibitor, ": " and why, 1 to kMostInhibitionText bytes of printable ASCII;
//                inhibited-proof "lomarind-v2 inhibited " challenge " " text
//
// A wake relay was added within version 2 as well: the daemon sends a Wake-on-LAN magic packet
// on its own networks for a key holder elsewhere (behind a router or a VPN, where the packet
// itself cannot go). Its command word carries the machine's MAC, as 12 lower-case hex digits:
//
//   client to daemon:  "WAKE " mac " " key-id " " challenge " " command-proof "\n"
//
// where the command-proof (and the ok-proof) covers the word "WAKE " mac. A daemon that
// carries it out answers OK, sends the magic packet to the broadcast address of each of its
// networks, then tells the address and port the command came from how many it went to (0:
// none could be sent):
//
//   daemon to client:  "RELAYED " count " " relayed-proof "\n"
//                relayed-proof  "lomarind-v2 relayed " challenge " " count
//
// Only a key the daemon's key file allows to wake may ask, and at most kWakeBurst wakes go
// out at once, then kWakesPerSecond a second. Otherwise nothing is carried out, the challenge
// is not spent, and the daemon answers "DENIED " reason " " denied-proof "\n", where reason
// is "key" (this key may not wake) or "rate" (try again in a second):
//                denied-proof   "lomarind-v2 denied " challenge " " reason
//
// A daemon from before the relay answers a WAKE with nothing at all.
//
// The first valid command spends its challenge; the same command again, from whatever
// address, is answered with the same OK and is not carried out again: while the challenge is
// good, and for a SUSPEND also while its sleep command runs and for kOutcomeSeconds after it
// ended. A copy of a SUSPEND also gets what its sleep command has come to so far: RUNNING,
// SLEEPING, REFUSED, or INHIBITED and REFUSED, after the OK; a copy of a WAKE, its RELAYED.

/// How long a challenge is good: while the boot clock has moved on by at most this many
/// seconds since the second it was issued in.
constexpr std::uint32_t kChallengeSeconds = 4;

/// How long the daemon remembers how a SUSPEND's sleep command ended, for copies of it.
constexpr std::uint32_t kOutcomeSeconds = 60;

/// The most bytes of an INHIBITED's text: who (at most 64) and why (at most 128), with ": ".
constexpr std::size_t kMostInhibitionText = 194;

/// How many wakes the relay sends at once at most, and how many more it may send each second
/// after that: enough for a fleet's wake in one call, too few for a key holder to flood a LAN.
constexpr int kWakeBurst = 32;
constexpr int kWakesPerSecond = 4;

/// A MAC in a WAKE: 12 lower-case hex digits, without separators.
constexpr std::size_t kMacDigits = 12;

/// The key's length in bytes; a key file holds it as twice as many hex digits.
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kKeyDigits = 2 * kKeyBytes;
constexpr std::size_t kKeyIdDigits = 8;
constexpr std::size_t kNonceDigits = 32;
constexpr std::size_t kChallengeDigits = 32;
/// A proof's length in hex digits.
constexpr std::size_t kProofDigits = 64;

constexpr std::string_view kKeyedNotice = "KEYED 2\n";
constexpr std::string_view kEhloPrefix = "EHLO ";            // then key-id, nonce and "\n"
constexpr std::string_view kStartPrefix = "START ";          // then challenge, start-proof and "\n"
constexpr std::string_view kOkPrefix = "OK ";                // then ok-proof and "\n"
constexpr std::string_view kRefusedPrefix = "REFUSED ";      // then status, refused-proof, "\n"
constexpr std::string_view kRunningPrefix = "RUNNING ";      // then running-proof and "\n"
constexpr std::string_view kSleepingPrefix = "SLEEPING ";    // then sleeping-proof and "\n"
constexpr std::string_view kInhibitedPrefix = "INHIBITED ";  // then inhibited-proof, text, "\n"
constexpr std::string_view kRelayedPrefix = "RELAYED ";      // then count, relayed-proof, "\n"
constexpr std::string_view kDeniedPrefix = "DENIED ";        // then reason, denied-proof, "\n"
/// A DENIED's reasons: the key may not wake; too many wakes just now.
constexpr std::string_view kDeniedKey = "key";
constexpr std::string_view kDeniedRate = "rate";
/// The status a REFUSED gives for a SUSPEND that an inhibitor held back.
constexpr int kInhibitedStatus = 1;
constexpr std::string_view kSuspendWord = "SUSPEND";
constexpr std::string_view kQuitWord = "QUIT";
constexpr std::string_view kWakeWord = "WAKE";  // then " " and the MAC: the word proven

// Every proof's label names the version, so that no proof of one kind or version is ever
// taken for another.
constexpr std::string_view kKeyIdLabel = "lomarind-v2 key-id";
constexpr std::string_view kStartLabel = "lomarind-v2 start";
constexpr std::string_view kCommandLabel = "lomarind-v2 command";
constexpr std::string_view kOkLabel = "lomarind-v2 ok";
constexpr std::string_view kRefusedLabel = "lomarind-v2 refused";
constexpr std::string_view kRunningLabel = "lomarind-v2 running";
constexpr std::string_view kSleepingLabel = "lomarind-v2 sleeping";
constexpr std::string_view kInhibitedLabel = "lomarind-v2 inhibited";
constexpr std::string_view kRelayedLabel = "lomarind-v2 relayed";
constexpr std::string_view kDeniedLabel = "lomarind-v2 denied";
constexpr std::string_view kChallengeLabel = "lomarind-v2 challenge";

}  // namespace protocol

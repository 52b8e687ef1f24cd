// The daemon's side of the keyed wire (net/protocol.h): the challenges it issues, the table of
// those spent, and what each datagram comes to. It does no I/O; every time is a second of the
// boot clock, passed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "key/key.h"
#include "key/keyed_wire.h"

/// How far a carried-out command has come: a QUIT is taken; a SUSPEND's sleep command runs,
/// then succeeded or was refused, or an inhibitor held it back before it ran; a WAKE is taken,
/// then its magic packet relayed.
enum class Outcome { kTaken, kRunning, kSleeping, kRefused, kInhibited, kRelayed };

/// The daemon's challenges: computed from a secret drawn at start-up, so that they cost no
/// memory until a valid proof spends one, and remembered after that while they are good, and
/// a SUSPEND's while its sleep command runs and for kOutcomeSeconds after.
class Challenges {
 public:
  /// What checking a challenge came to.
  enum class Check { kGood, kForged, kExpired };

  /// Draws the secret.
  Challenges();

  /// A new challenge for an EHLO naming key_id at second now.
  std::string issue(std::string_view key_id, std::uint32_t now) const;

  /// Whether challenge was issued by this daemon for key_id, and is still good at now.
  Check check(std::string_view challenge, std::string_view key_id, std::uint32_t now) const;

  /// What spending a challenge came to.
  enum class Spend {
    kSpent,       // first spent now, for word
    kAgain,       // spent before, for the same word: answer again, carry out nothing
    kUnavailable  // spent before for another word, or the table is full
  };

  /// Spends a good challenge for word at now; forgets those no longer remembered. A SUSPEND's
  /// outcome starts as kRunning, a QUIT's as kTaken.
  Spend spend(std::string_view challenge, std::string_view word, std::uint32_t now);

  /// The word a spent challenge was spent for and how far its command has come, when it is
  /// still remembered at now; null otherwise.
  struct Spent {
    std::string word;
    std::uint32_t issued;
    Outcome outcome;
    int status = 0;              // kRefused: the sleep command's status; kRelayed: the count
    std::uint32_t settled = 0;   // kSleeping, kRefused, kInhibited, kRelayed: when it ended
    std::string inhibitor = {};  // kInhibited: who held it back and why, as INHIBITED says
  };
  const Spent* spent(std::string_view challenge, std::uint32_t now) const;

  /// Records that the sleep command of the SUSPEND on challenge ended at now with status, or,
  /// when inhibitor is not empty, that the inhibitor it names held it back; for a WAKE, that
  /// its magic packet went to status broadcast addresses.
  void settle(std::string_view challenge, int status, std::uint32_t now,
              std::string_view inhibitor = {});

  /// How many spent challenges are held.
  std::size_t spent_count() const { return spent_.size(); }

 private:
  static bool remembered(const Spent& entry, std::uint32_t now);
  std::string mac(std::string_view head, std::string_view key_id) const;
  Key secret_;
  std::map<std::string, Spent, std::less<>> spent_;
};

/// Most spent challenges held at once; at one per proven command within a few seconds, only
/// a key holder could come near it.
constexpr std::size_t kMostSpentChallenges = 1024;

/// What to answer to a keyed datagram and what it asks the daemon to do.
class KeyedService {
 public:
  /// What a datagram came to, in the order in which the checks are made.
  enum class Verdict {
    kKeyNeeded,   // a plain "EHLO\n": answered "KEYED 2\n"
    kChallenge,   // a keyed EHLO naming a key held: answered START
    kKeyNotHeld,  // a keyed EHLO naming a key id not held: answered "KEYED 2\n"
    kUnknownKey,  // a command naming a key id not held
    kUnproven,    // a mangled command, a forged challenge or a proof that does not hold
    kStale,       // a proven command whose challenge expired, went to the other word, or
                  // finds the spent table full
    kDenied,      // a proven WAKE from a key that may not wake, or beyond the relay's rate:
                  // answered DENIED, not carried out, its challenge not spent
    kCarryOut,    // a proven command on a fresh challenge, now spent: answered OK
    kRepeat,      // a proven copy of a command carried out before: the same OK, nothing done
    kNotKeyed,    // anything else
  };

  struct Answer {
    Verdict verdict;
    std::string reply;              // empty: nothing goes back
    std::string_view word;          // kCarryOut and kRepeat: the command's word
    const NamedKey* key = nullptr;  // kDenied, kCarryOut and kRepeat: the key that proved it
    std::string challenge = {};     // kCarryOut: the challenge it spent
    // kRepeat of a SUSPEND: what its sleep command has come to, after reply: RUNNING,
    // SLEEPING, REFUSED, or INHIBITED and REFUSED; of a WAKE: its RELAYED.
    std::vector<std::string> outcome = {};
    // kDenied: why, protocol::kDeniedKey or kDeniedRate.
    std::string_view denied = {};
  };

  /// Serves keys, which must outlive it; draws the challenges' secret.
  explicit KeyedService(const KeySet& keys) : keys_(keys) {}

  /// What datagram, received at second now of the boot clock, comes to. Does no I/O.
  Answer answer(std::string_view datagram, std::uint32_t now);

  /// How many spent challenges are held.
  std::size_t spent_count() const { return challenges_.spent_count(); }

  /// Records how the sleep command of the SUSPEND on challenge, proven with key, ended at now
  /// (status as its shell gives it); returns the datagram that tells it: SLEEPING or REFUSED.
  std::string settle(const NamedKey& key, std::string_view challenge, int status,
                     std::uint32_t now);

  /// Records that an inhibitor, named by text, held back the SUSPEND on challenge, proven with
  /// key, at now; returns the datagrams that tell it: INHIBITED, then REFUSED.
  std::vector<std::string> inhibit(const NamedKey& key, std::string_view challenge,
                                   std::string_view text, std::uint32_t now);

  /// Records that the magic packet of the WAKE on challenge, proven with key, went to count
  /// broadcast addresses at now; returns the RELAYED that tells it.
  std::string relayed(const NamedKey& key, std::string_view challenge, int count,
                      std::uint32_t now);

 private:
  Answer command(const KeyedCommand& command, std::uint32_t now);
  // Refills the relay's allowance up to now; true when a wake is left in it.
  bool wake_allowance(std::uint32_t now);

  const KeySet& keys_;
  Challenges challenges_;
  // The relay's allowance: kWakeBurst at most, kWakesPerSecond more each second.
  int wakes_left_ = protocol::kWakeBurst;
  std::uint32_t wakes_counted_ = 0;  // the second up to which the allowance was refilled
};

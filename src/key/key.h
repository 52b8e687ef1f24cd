// Keys for keyed sessions, shared by the daemon and the client: key files and their checks,
// key sets with names and key ids, the daemon's challenges, and every kind of proof. The
// words and the exact bytes each proof covers are in net/protocol.h; libsodium does all of
// the cryptography.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/protocol.h"

/// A 32-byte key. Not copyable, so that it lives in one place; a move wipes the source, and
/// the key is wiped when destroyed.
struct Key {
  std::array<unsigned char, protocol::kKeyBytes> bytes{};

  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  Key(Key&& other) noexcept;
  Key& operator=(Key&& other) noexcept;
  ~Key();
};

/// Overwrites the key's bytes with zeros in a way the compiler cannot leave out.
void wipe_key(Key& key);

/// A key with its name and its key id (net/protocol.h).
struct NamedKey {
  std::string name;  // "default" for a line without a name
  std::string id;
  Key key;
};

/// The keys of one key file, in the file's order.
struct KeySet {
  std::vector<NamedKey> keys;

  /// The key whose id is id; null when there is none.
  const NamedKey* by_id(std::string_view id) const;
  /// The key named name, else the one named "default"; null when neither is there.
  const NamedKey* for_host(std::string_view name) const;
  bool empty() const { return keys.empty(); }
};

/// The largest key file the daemon reads: hundreds of controllers' lines.
constexpr std::size_t kMostDaemonKeyFileBytes = std::size_t{64} * 1024;
/// The largest key file the client reads: a key for each host of a fleet, 10 000 lines of the
/// longest form (64 hex digits, a space, a 64-character name, CR LF) in 1.3 MB.
constexpr std::size_t kMostClientKeyFileBytes = std::size_t{2} * 1024 * 1024;

/// The name a key without one is given.
constexpr std::string_view kDefaultKeyName = "default";

/// Loads keys from the file at path, which must be a regular file (not a symbolic link) owned
/// by the effective user, with no permission for group or others, holding one key a line as
/// 64 hex digits, optionally followed by white space and a name (letters, digits and
/// ".:_@+-", at most 64); blank lines and lines starting with '#' are skipped. Lines end in a
/// line feed or CR LF (any other carriage return is refused); a UTF-8 byte-order mark at the
/// start is skipped. Names are unique; with distinct_keys, so are keys. A file larger than
/// most_bytes is refused. Returns "" on success and replaces keys with the file's; otherwise a
/// reason naming path (and the line), never the file's content, and keys is left empty.
std::string read_key_file(const std::string& path, KeySet& keys, bool distinct_keys,
                          std::size_t most_bytes = kMostDaemonKeyFileBytes);

/// Creates a file at path with mode 0600 holding a new random key as 64 lower-case hex
/// digits and a line feed. Refuses a path that exists, even as a dangling symbolic link.
/// Returns "" on success; otherwise the reason, and no file is left behind.
std::string write_new_key_file(const std::string& path);

/// Adds the line "<new key> <host>" to the client's key file at path, creating it with mode
/// 0600 when it is missing; an existing file must pass read_key_file's checks (an empty one
/// need hold no key) and have no key for host yet, and gets a line feed first when its last
/// line has none. On success returns "" and sets daemon_line to "<the same key> <name>", the
/// line for the daemon's key file; otherwise returns the reason and changes nothing.
std::string add_host_key(const std::string& path, std::string_view host, std::string_view name,
                         std::string& daemon_line);

/// True when name may name a key.
bool valid_key_name(std::string_view name);

/// 32 lower-case hex digits from the kernel's random source.
std::string new_nonce();

/// The key's id: 8 lower-case hex digits.
std::string key_id(const Key& key);

/// The proofs of net/protocol.h, each as 64 lower-case hex digits.
std::string start_proof(const Key& key, std::string_view nonce, std::string_view challenge);
std::string command_proof(const Key& key, std::string_view challenge, std::string_view word);
std::string ok_proof(const Key& key, std::string_view challenge, std::string_view word);

/// True when given equals expected, a proof; compares in constant time.
bool same_proof(std::string_view expected, std::string_view given);

/// HMAC-SHA-256 of message under a key of any length, as 64 lower-case hex digits.
std::string hmac_sha256_hex(std::string_view key, std::string_view message);

/// The keyed wire (net/protocol.h): each of its four datagrams is built by one function and
/// read by one, which the daemon and the client share. The readers check form only: proofs
/// are checked where a key is known (KeyedService, proven_start, proven_ok).
std::string ehlo_datagram(const NamedKey& key, std::string_view nonce);
std::string start_datagram(const Key& key, std::string_view nonce, std::string_view challenge);
std::string command_datagram(const NamedKey& key, std::string_view word,
                             std::string_view challenge);
std::string ok_datagram(const Key& key, std::string_view challenge, std::string_view word);
/// The REFUSED that tells the sender of the SUSPEND on challenge that its sleep command failed
/// with status (1 to 255).
std::string refused_datagram(const Key& key, std::string_view challenge, int status);

/// The fields of a keyed datagram, pointing into the datagram read.
struct KeyedEhlo {
  std::string_view key_id, nonce;
};
struct KeyedStart {
  std::string_view challenge, proof;
};
struct KeyedCommand {
  std::string_view word, key_id, challenge, proof;
};
struct KeyedRefusal {
  int status;
  std::string_view proof;
};

std::optional<KeyedEhlo> read_ehlo(std::string_view datagram);
std::optional<KeyedStart> read_start(std::string_view datagram);
/// A command of either word; empty for anything else, a mangled command included.
std::optional<KeyedCommand> read_command(std::string_view datagram);
/// The proof of an OK.
std::optional<std::string_view> read_ok(std::string_view datagram);
/// The status and proof of a REFUSED: a status of 1 to 255 without leading zeros.
std::optional<KeyedRefusal> read_refused(std::string_view datagram);

/// The challenge of datagram when it is a START whose proof answers nonce under key; empty
/// otherwise.
std::optional<std::string_view> proven_start(std::string_view datagram, const Key& key,
                                             std::string_view nonce);

/// True when datagram is the OK that proves under key that word was taken on challenge.
bool proven_ok(std::string_view datagram, const Key& key, std::string_view challenge,
               std::string_view word);

/// The sleep command's status when datagram is the REFUSED proven under key for the SUSPEND
/// on challenge; empty otherwise.
std::optional<int> proven_refusal(std::string_view datagram, const Key& key,
                                  std::string_view challenge);

/// The daemon's challenges: computed from a secret drawn at start-up, so that they cost no
/// memory until a valid proof spends one, and remembered after that only while they are good.
/// Every time is a second of the boot clock, passed in.
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
    kSpent,   // first spent now, for word
    kAgain,   // spent before, for the same word: answer again, carry out nothing
    kRefused  // spent before for another word, or too many are held
  };

  /// Spends a good challenge for word at now; forgets those that are no longer good.
  Spend spend(std::string_view challenge, std::string_view word, std::uint32_t now);

  /// How many spent challenges are held.
  std::size_t spent_count() const { return spent_.size(); }

 private:
  struct Spent {
    std::string word;
    std::uint32_t issued;
  };
  std::string mac(std::string_view head, std::string_view key_id) const;
  Key secret_;
  std::map<std::string, Spent, std::less<>> spent_;
};

/// Most spent challenges held at once; at one per proven command within a few seconds, only
/// a key holder could come near it.
constexpr std::size_t kMostSpentChallenges = 1024;

/// The daemon's side of the keyed wire: what to answer to a datagram and what to do.
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
    kCarryOut,    // a proven command on a fresh challenge, now spent: answered OK
    kRepeat,      // a proven copy of a command carried out before: the same OK, nothing done
    kNotKeyed,    // anything else
  };

  struct Answer {
    Verdict verdict;
    std::string reply;              // empty: nothing goes back
    std::string_view word;          // kCarryOut and kRepeat: the command's word
    const NamedKey* key = nullptr;  // kCarryOut and kRepeat: the key that proved it
    std::string challenge = {};     // kCarryOut: the challenge it spent
  };

  /// Serves keys, which must outlive it; draws the challenges' secret.
  explicit KeyedService(const KeySet& keys) : keys_(keys) {}

  /// What datagram, received at second now of the boot clock, comes to. Does no I/O.
  Answer answer(std::string_view datagram, std::uint32_t now);

  /// How many spent challenges are held.
  std::size_t spent_count() const { return challenges_.spent_count(); }

 private:
  Answer command(const KeyedCommand& command, std::uint32_t now);

  const KeySet& keys_;
  Challenges challenges_;
};

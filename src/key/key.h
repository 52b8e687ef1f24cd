// Keys and proofs, shared by the daemon and the client: a key, a set of named keys with their
// key ids, nonces, and every kind of proof. The exact bytes each proof covers are in
// net/protocol.h; libsodium does all of the cryptography.
#pragma once

#include <array>
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

/// The name a key without one is given, and the one a host without a key of its own uses.
constexpr std::string_view kDefaultKeyName = "default";

/// A key with its name and its key id (net/protocol.h).
struct NamedKey {
  std::string name;  // kDefaultKeyName for a key file's line without a name
  std::string id;
  Key key;
  bool may_wake = false;  // the daemon's key file allows it to ask for a relayed wake
};

/// The keys of one key file, in the file's order.
struct KeySet {
  std::vector<NamedKey> keys;

  /// The key whose id is id; null when there is none.
  const NamedKey* by_id(std::string_view id) const;
  /// The key named name, else the one named bare (a host written with a port: the host
  /// alone), else the one named "default"; null when none is there.
  const NamedKey* for_host(std::string_view name, std::string_view bare = {}) const;
  bool empty() const { return keys.empty(); }
};

/// True once libsodium is initialised; the first call initialises it.
bool sodium_ready();

/// Makes this process non-dumpable, so that neither a core dump nor another process's look
/// at it (a debugger, /proc/PID/mem) can read the keys; false when that could not be done.
bool keep_out_of_core_dumps();

/// 32 lower-case hex digits from the kernel's random source.
std::string new_nonce();

/// The key's id: 8 lower-case hex digits.
std::string key_id(const Key& key);

/// The proofs of net/protocol.h, each as 64 lower-case hex digits.
std::string start_proof(const Key& key, std::string_view nonce, std::string_view challenge);
std::string command_proof(const Key& key, std::string_view challenge, std::string_view word);
std::string ok_proof(const Key& key, std::string_view challenge, std::string_view word);
/// The proof of a REFUSED for the SUSPEND on challenge whose sleep command ended with status.
std::string refused_proof(const Key& key, std::string_view challenge, int status);
/// The proofs that the SUSPEND on challenge has its sleep command running, and that it
/// succeeded.
std::string running_proof(const Key& key, std::string_view challenge);
std::string sleeping_proof(const Key& key, std::string_view challenge);
/// The proof that an inhibitor, named by text, held back the SUSPEND on challenge.
std::string inhibited_proof(const Key& key, std::string_view challenge, std::string_view text);
/// The proof that the WAKE on challenge went to count broadcast addresses.
std::string relayed_proof(const Key& key, std::string_view challenge, int count);
/// The proof that the WAKE on challenge was denied for reason (protocol::kDeniedKey or
/// kDeniedRate).
std::string denied_proof(const Key& key, std::string_view challenge, std::string_view reason);

/// True when given equals expected, a proof; compares in constant time.
bool same_proof(std::string_view expected, std::string_view given);

/// HMAC-SHA-256 of message under a key of any length, as 64 lower-case hex digits.
std::string hmac_sha256_hex(std::string_view key, std::string_view message);
/// HMAC-SHA-256 of message under key, as 64 lower-case hex digits.
std::string hmac_sha256_hex(const Key& key, std::string_view message);

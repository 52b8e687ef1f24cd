// Keys for keyed sessions, shared by the daemon and the client: the key file and its checks,
// the challenge, the proof and its constant-time check. The words and the exact bytes a
// proof covers are in net/protocol.h; libsodium does all of the cryptography.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "net/protocol.h"

/// A 32-byte key. Not copyable, so that it lives in one place; wiped when destroyed.
struct Key {
  std::array<unsigned char, protocol::kKeyBytes> bytes{};

  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key();
};

/// Overwrites the key's bytes with zeros in a way the compiler cannot leave out.
void wipe_key(Key& key);

/// Loads key from the file at path, which must be a regular file (not a symbolic link)
/// owned by the effective user, with no permission for group or others, holding exactly 64
/// hex digits and at most one line feed after them. Returns "" on success; otherwise a
/// reason naming path, never the file's content, and key is left wiped.
std::string read_key_file(const std::string& path, Key& key);

/// Creates a file at path with mode 0600 holding a new random key as 64 lower-case hex
/// digits and a line feed. Refuses a path that exists, even as a dangling symbolic link.
/// Returns "" on success; otherwise the reason, and no file is left behind.
std::string write_new_key_file(const std::string& path);

/// A new challenge: 16 bytes from the kernel's random source as 32 lower-case hex digits.
std::string new_challenge();

/// The challenge in a keyed START reply ("START ", 32 lower-case hex digits, "\n");
/// empty when reply is anything else.
std::string_view challenge_in(std::string_view reply);

/// HMAC-SHA-256 of message under a key of any length, as 64 lower-case hex digits.
std::string hmac_sha256_hex(std::string_view key, std::string_view message);

/// The proof of word ("SUSPEND" or "QUIT") for challenge: 64 lower-case hex digits.
std::string proof_of(const Key& key, std::string_view challenge, std::string_view word);

/// The datagram a controller sends for word: the word, a space, its proof and a line feed.
std::string keyed_command(const Key& key, std::string_view challenge, std::string_view word);

/// True when proof is the proof of word for challenge, a 32-digit challenge; compares in
/// constant time.
bool proof_matches(const Key& key, std::string_view challenge, std::string_view word,
                   std::string_view proof);

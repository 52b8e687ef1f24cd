#include "key/key.h"

#include <sodium.h>
#include <sys/prctl.h>

#include <string>

namespace {

const unsigned char* as_bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

std::string to_hex(const unsigned char* bytes, std::size_t length) {
  std::string hex(2 * length + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, length);
  hex.pop_back();
  return hex;
}

std::string proof(const Key& key, std::string_view label, std::string_view first,
                  std::string_view second) {
  std::string message;
  message.reserve(label.size() + first.size() + second.size() + 2);
  message.append(label).append(" ").append(first).append(" ").append(second);
  return hmac_sha256_hex(key, message);
}

// Copies from's bytes to to, then wipes from. A plain copy of the array goes through two
// vector registers, which then keep the key: the daemon may not use them again, and both lazy
// symbol binding (the C++ runtime's, at exit) and the delivery of a signal save them to the
// stack, where no wipe reaches (tests/e2e/key_residue_test.cpp). Stores through a volatile
// pointer are made one byte at a time, through a general register.
void move_key_bytes(Key& to, Key& from) {
  volatile unsigned char* const out = to.bytes.data();
  for (std::size_t i = 0; i < to.bytes.size(); ++i) {
    out[i] = from.bytes[i];
  }
  wipe_key(from);
}

}  // namespace

Key::Key(Key&& other) noexcept { move_key_bytes(*this, other); }

Key& Key::operator=(Key&& other) noexcept {
  if (this != &other) {
    move_key_bytes(*this, other);
  }
  return *this;
}

Key::~Key() { wipe_key(*this); }

void wipe_key(Key& key) { sodium_memzero(key.bytes.data(), key.bytes.size()); }

const NamedKey* KeySet::by_id(std::string_view id) const {
  for (const NamedKey& entry : keys) {
    if (entry.id == id) {
      return &entry;
    }
  }
  return nullptr;
}

const NamedKey* KeySet::for_host(std::string_view name, std::string_view bare) const {
  const NamedKey* named_bare = nullptr;
  const NamedKey* fallback = nullptr;
  for (const NamedKey& entry : keys) {
    if (entry.name == name) {
      return &entry;
    }
    if (!bare.empty() && entry.name == bare) {
      named_bare = &entry;
    }
    if (entry.name == kDefaultKeyName) {
      fallback = &entry;
    }
  }
  return named_bare != nullptr ? named_bare : fallback;
}

// sodium_init picks the fastest implementations and checks the random source; it is safe
// to call from several places, and only the first call does the work.
bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

bool keep_out_of_core_dumps() { return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0; }

std::string new_nonce() {
  static_cast<void>(sodium_ready());
  std::array<unsigned char, protocol::kNonceDigits / 2> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  return to_hex(bytes.data(), bytes.size());
}

std::string key_id(const Key& key) {
  return hmac_sha256_hex(key, protocol::kKeyIdLabel).substr(0, protocol::kKeyIdDigits);
}

std::string start_proof(const Key& key, std::string_view nonce, std::string_view challenge) {
  return proof(key, protocol::kStartLabel, nonce, challenge);
}

std::string command_proof(const Key& key, std::string_view challenge, std::string_view word) {
  return proof(key, protocol::kCommandLabel, challenge, word);
}

std::string ok_proof(const Key& key, std::string_view challenge, std::string_view word) {
  return proof(key, protocol::kOkLabel, challenge, word);
}

std::string refused_proof(const Key& key, std::string_view challenge, int status) {
  return proof(key, protocol::kRefusedLabel, challenge, std::to_string(status));
}

std::string running_proof(const Key& key, std::string_view challenge) {
  return proof(key, protocol::kRunningLabel, challenge, protocol::kSuspendWord);
}

std::string sleeping_proof(const Key& key, std::string_view challenge) {
  return proof(key, protocol::kSleepingLabel, challenge, protocol::kSuspendWord);
}

std::string inhibited_proof(const Key& key, std::string_view challenge, std::string_view text) {
  return proof(key, protocol::kInhibitedLabel, challenge, text);
}

std::string relayed_proof(const Key& key, std::string_view challenge, int count) {
  return proof(key, protocol::kRelayedLabel, challenge, std::to_string(count));
}

std::string denied_proof(const Key& key, std::string_view challenge, std::string_view reason) {
  return proof(key, protocol::kDeniedLabel, challenge, reason);
}

bool same_proof(std::string_view expected, std::string_view given) {
  // Lengths are public; only the digits are compared in constant time.
  return expected.size() == protocol::kProofDigits && given.size() == expected.size() &&
         sodium_memcmp(expected.data(), given.data(), expected.size()) == 0;
}

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
  static_cast<void>(sodium_ready());
  crypto_auth_hmacsha256_state state;
  std::array<unsigned char, crypto_auth_hmacsha256_BYTES> mac{};
  crypto_auth_hmacsha256_init(&state, as_bytes(key), key.size());
  crypto_auth_hmacsha256_update(&state, as_bytes(message), message.size());
  crypto_auth_hmacsha256_final(&state, mac.data());
  sodium_memzero(&state, sizeof state);
  return to_hex(mac.data(), mac.size());
}

std::string hmac_sha256_hex(const Key& key, std::string_view message) {
  return hmac_sha256_hex(
      std::string_view(reinterpret_cast<const char*>(key.bytes.data()), key.bytes.size()), message);
}

#include "key/key.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kKeyDigits = 2 * protocol::kKeyBytes;
constexpr std::size_t kChallengeDigits = 2 * protocol::kChallengeBytes;
constexpr mode_t kGroupAndOthers = 077;
constexpr mode_t kKeyFileMode = 0600;

// sodium_init picks the fastest implementations and checks the random source; it is safe
// to call from several places, and only the first call does the work.
bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

std::string_view as_text(const unsigned char* bytes, std::size_t length) {
  return {reinterpret_cast<const char*>(bytes), length};
}

const unsigned char* as_bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

std::string to_hex(const unsigned char* bytes, std::size_t length) {
  std::string hex(2 * length + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, length);
  hex.pop_back();
  return hex;
}

bool is_lower_hex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string errno_reason(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

// The checks an ssh private key gets: a regular file of our own, closed to everyone else.
std::string check_file(int fd, const std::string& path) {
  struct stat status {};
  if (fstat(fd, &status) == -1) {
    return errno_reason(path, errno);
  }
  if (!S_ISREG(status.st_mode)) {
    return path + " is not a regular file";
  }
  if (status.st_uid != geteuid()) {
    return path + " is owned by user " + std::to_string(status.st_uid) + ", not by user " +
           std::to_string(geteuid());
  }
  if ((status.st_mode & kGroupAndOthers) != 0) {
    std::array<char, 8> mode{};
    static_cast<void>(std::snprintf(mode.data(), mode.size(), "%04o", status.st_mode & 07777U));
    return path + " has mode " + mode.data() + ": group and others must have no permission";
  }
  return "";
}

// Reads up to buffer's size from fd; a regular file gives short reads only at its end.
std::size_t read_up_to(int fd, char* buffer, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = read(fd, buffer + filled, size - filled);
    if (got == -1 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

bool decode_key(const char* text, std::size_t length, Key& key) {
  if (length != kKeyDigits && !(length == kKeyDigits + 1 && text[kKeyDigits] == '\n')) {
    return false;
  }
  std::size_t decoded = 0;
  const char* end = nullptr;
  return sodium_hex2bin(key.bytes.data(), key.bytes.size(), text, kKeyDigits, nullptr, &decoded,
                        &end) == 0 &&
         decoded == key.bytes.size() && end == text + kKeyDigits;
}

// The exact bytes a proof covers: the label, the challenge and the word (net/protocol.h).
std::string proof_message(std::string_view challenge, std::string_view word) {
  std::string message;
  message.reserve(protocol::kProofLabel.size() + challenge.size() + word.size() + 2);
  message.append(protocol::kProofLabel).append(" ").append(challenge).append(" ").append(word);
  return message;
}

}  // namespace

Key::~Key() { wipe_key(*this); }

void wipe_key(Key& key) { sodium_memzero(key.bytes.data(), key.bytes.size()); }

std::string read_key_file(const std::string& path, Key& key) {
  wipe_key(key);
  if (path.empty()) {
    return "an empty name names no key file";
  }
  if (!sodium_ready()) {
    return "libsodium could not be initialised";
  }
  // O_NOFOLLOW refuses a symbolic link; O_NONBLOCK keeps a FIFO from holding the open.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) {
    return errno == ELOOP ? path + " is a symbolic link" : errno_reason(path, errno);
  }
  std::string reason = check_file(fd, path);
  if (reason.empty()) {
    // One byte more than a valid file can hold, so that anything after it shows.
    std::array<char, kKeyDigits + 2> text{};
    const std::size_t length = read_up_to(fd, text.data(), text.size());
    if (!decode_key(text.data(), length, key)) {
      reason = path + " does not hold 64 hex digits and at most one line feed after them";
      wipe_key(key);
    }
    sodium_memzero(text.data(), text.size());
  }
  close(fd);
  return reason;
}

std::string write_new_key_file(const std::string& path) {
  if (!sodium_ready()) {
    return "libsodium could not be initialised";
  }
  // O_EXCL refuses whatever is there already, a symbolic link included.
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, kKeyFileMode);
  if (fd == -1) {
    return errno_reason(path, errno);
  }
  Key key;
  randombytes_buf(key.bytes.data(), key.bytes.size());
  std::array<char, kKeyDigits + 1> line{};
  sodium_bin2hex(line.data(), line.size(), key.bytes.data(), key.bytes.size());
  line[kKeyDigits] = '\n';
  // The umask may have taken more than group and others' bits away.
  errno = 0;
  bool written = fchmod(fd, kKeyFileMode) == 0 &&
                 write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                 fsync(fd) == 0;
  int error = errno != 0 ? errno : EIO;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  sodium_memzero(line.data(), line.size());
  if (!written) {
    unlink(path.c_str());
    return errno_reason(path, error);
  }
  return "";
}

std::string new_challenge() {
  static_cast<void>(sodium_ready());
  std::array<unsigned char, protocol::kChallengeBytes> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  return to_hex(bytes.data(), bytes.size());
}

std::string_view challenge_in(std::string_view reply) {
  if (reply.size() != protocol::kStartPrefix.size() + kChallengeDigits + 1 ||
      !reply.starts_with(protocol::kStartPrefix) || !reply.ends_with('\n')) {
    return {};
  }
  const std::string_view challenge = reply.substr(protocol::kStartPrefix.size(), kChallengeDigits);
  return is_lower_hex(challenge) ? challenge : std::string_view{};
}

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
  crypto_auth_hmacsha256_state state;
  std::array<unsigned char, crypto_auth_hmacsha256_BYTES> mac{};
  crypto_auth_hmacsha256_init(&state, as_bytes(key), key.size());
  crypto_auth_hmacsha256_update(&state, as_bytes(message), message.size());
  crypto_auth_hmacsha256_final(&state, mac.data());
  sodium_memzero(&state, sizeof state);
  return to_hex(mac.data(), mac.size());
}

std::string proof_of(const Key& key, std::string_view challenge, std::string_view word) {
  return hmac_sha256_hex(as_text(key.bytes.data(), key.bytes.size()),
                         proof_message(challenge, word));
}

std::string keyed_command(const Key& key, std::string_view challenge, std::string_view word) {
  std::string command(word);
  command.append(" ").append(proof_of(key, challenge, word)).append("\n");
  return command;
}

bool proof_matches(const Key& key, std::string_view challenge, std::string_view word,
                   std::string_view proof) {
  // Lengths are public; only the digits are compared in constant time.
  if (challenge.size() != kChallengeDigits || proof.size() != protocol::kProofDigits) {
    return false;
  }
  std::string expected = proof_of(key, challenge, word);
  const bool same = sodium_memcmp(expected.data(), proof.data(), protocol::kProofDigits) == 0;
  sodium_memzero(expected.data(), expected.size());
  return same;
}

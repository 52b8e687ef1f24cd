#include "key/key.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <unordered_map>

namespace {

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

constexpr std::size_t kMostNameBytes = 64;
// A challenge: its issue second and random digits, in hex, then the MAC over them.
constexpr std::size_t kIssuedDigits = 8;
constexpr std::size_t kRandomDigits = 8;

// The second a challenge of good form was issued in.
std::uint32_t issue_second(std::string_view challenge) {
  return static_cast<std::uint32_t>(
      std::strtoul(std::string(challenge.substr(0, kIssuedDigits)).c_str(), nullptr, 16));
}

bool is_hex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

// True when text is exactly digits lower-case hex digits.
bool is_lower_hex(std::string_view text, std::size_t digits) {
  return text.size() == digits &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The fields of a keyed datagram: text is prefix, then fields of exactly the given numbers
// of lower-case hex digits, one space between two, then a line feed; empty when it is not.
template <std::size_t N>
std::optional<std::array<std::string_view, N>> hex_fields(
    std::string_view text, std::string_view prefix, const std::array<std::size_t, N>& digits) {
  if (!text.starts_with(prefix)) {
    return std::nullopt;
  }
  text.remove_prefix(prefix.size());
  std::array<std::string_view, N> fields{};
  for (std::size_t i = 0; i < N; ++i) {
    const char separator = i + 1 == N ? '\n' : ' ';
    if (text.size() <= digits[i] || text[digits[i]] != separator ||
        !is_lower_hex(text.substr(0, digits[i]), digits[i])) {
      return std::nullopt;
    }
    fields[i] = text.substr(0, digits[i]);
    text.remove_prefix(digits[i] + 1);
  }
  if (!text.empty()) {
    return std::nullopt;
  }
  return fields;
}

// True when datagram starts with a command word and a space or line feed: it means to be a
// command, well formed or not.
bool names_command(std::string_view datagram) {
  for (const std::string_view word : {protocol::kSuspendWord, protocol::kQuitWord}) {
    const std::string_view rest = datagram.substr(std::min(word.size(), datagram.size()));
    if (datagram.starts_with(word) && (rest.starts_with(' ') || rest.starts_with('\n'))) {
      return true;
    }
  }
  return false;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Some editors start a text file with a UTF-8 byte-order mark; it is no part of the first line.
std::string_view without_byte_order_mark(std::string_view text) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) {
    text.remove_prefix(kByteOrderMark.size());
  }
  return text;
}

// Opens path as a key file, checks it and reads it whole into text.
std::string read_key_text(const std::string& path, std::string& text, std::size_t most_bytes) {
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
    // One byte more than the largest file taken, so that a larger one shows.
    text.assign(most_bytes + 1, '\0');
    text.resize(read_up_to(fd, text.data(), text.size()));
    if (text.size() > most_bytes) {
      reason = path + " is larger than " + std::to_string(most_bytes) + " bytes";
    }
  }
  close(fd);
  return reason;
}

void wipe_text(std::string& text) {
  sodium_memzero(text.data(), text.size());
  text.clear();
}

// One line of a key file, without its line end: "" when it holds a key (or nothing), else
// what is wrong with it.
std::string parse_key_line(std::string_view line, KeySet& keys, bool& holds_key) {
  holds_key = false;
  // Refused even in a comment: a file whose lines end in a carriage return alone would
  // otherwise be one line, and one comment if it starts with one.
  if (line.find('\r') != std::string_view::npos) {
    return "holds a carriage return that is not part of a CR LF line end";
  }
  while (!line.empty() && is_blank(line.back())) {
    line.remove_suffix(1);
  }
  while (!line.empty() && is_blank(line.front())) {
    line.remove_prefix(1);
  }
  if (line.empty() || line.front() == '#') {
    return "";
  }
  const std::string_view digits = line.substr(0, protocol::kKeyDigits);
  std::string_view rest = line.substr(digits.size());
  if (digits.size() != protocol::kKeyDigits || !is_hex(digits) ||
      !(rest.empty() || is_blank(rest.front()))) {
    return "does not start with 64 hex digits";
  }
  while (!rest.empty() && is_blank(rest.front())) {
    rest.remove_prefix(1);
  }
  const std::string_view name = rest.empty() ? kDefaultKeyName : rest;
  if (!valid_key_name(name)) {
    return "has a name that is not letters, digits and .:_@+- (at most 64)";
  }
  NamedKey entry{std::string(name), {}, {}};
  std::size_t decoded = 0;
  if (sodium_hex2bin(entry.key.bytes.data(), entry.key.bytes.size(), digits.data(), digits.size(),
                     nullptr, &decoded, nullptr) != 0 ||
      decoded != entry.key.bytes.size()) {
    return "does not start with 64 hex digits";
  }
  entry.id = key_id(entry.key);
  keys.keys.push_back(std::move(entry));
  holds_key = true;
  return "";
}

std::string line_reason(const std::string& path, std::size_t number, const std::string& reason) {
  std::string text = path;
  text.append(", line ").append(std::to_string(number)).append(": ").append(reason);
  return text;
}

std::string parse_key_text(const std::string& path, std::string_view text, KeySet& keys,
                           bool distinct_keys) {
  std::vector<std::size_t> line_of;  // the line of each key, for the reasons below
  std::unordered_map<std::string, std::size_t> name_lines;  // each name's line
  std::unordered_map<std::string, std::size_t> id_keys;     // each key id's first key
  std::size_t number = 0;
  text = without_byte_order_mark(text);
  while (!text.empty()) {
    ++number;
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    // A file saved with CR LF line ends is read as its user meant it.
    if (end < text.size() && line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    bool holds_key = false;
    const std::string reason = parse_key_line(line, keys, holds_key);
    if (!reason.empty()) {
      return line_reason(path, number, reason);
    }
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!holds_key) {
      continue;
    }
    // Looked up, not compared with every line before: a client's file may hold a key for
    // each of thousands of hosts.
    const NamedKey& added = keys.keys.back();
    if (const auto [earlier, fresh] = name_lines.try_emplace(added.name, number); !fresh) {
      return line_reason(
          path, number,
          "the name " + added.name + ", the same as on line " + std::to_string(earlier->second));
    }
    const auto [same_id, fresh_id] = id_keys.try_emplace(added.id, keys.keys.size() - 1);
    if (distinct_keys && !fresh_id) {
      const std::size_t first = same_id->second;
      const std::string where = std::to_string(line_of[first]);
      return line_reason(path, number,
                         sodium_memcmp(keys.keys[first].key.bytes.data(), added.key.bytes.data(),
                                       added.key.bytes.size()) == 0
                             ? "the key, the same as on line " + where
                             : "a different key with the key id of line " + where +
                                   " (one chance in four billion): make a new key");
    }
    line_of.push_back(number);
  }
  return keys.empty() ? path + " holds no key" : "";
}

// Writes all of text to fd; false with errno set when it could not.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written == -1 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = EIO;
      }
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Writes text, which holds a key and is wiped, to fd and closes it. A file created for it
// gets mode 0600 first (the umask may have taken more than group and others' bits away) and
// is removed again when the write fails; one written to must still pass the read checks.
std::string write_key_text(int fd, const std::string& path, std::string& text, bool created) {
  errno = 0;
  bool written = (created ? fchmod(fd, kKeyFileMode) == 0 : check_file(fd, path).empty()) &&
                 write_all(fd, text) && fsync(fd) == 0;
  int error = errno != 0 ? errno : created ? EIO : EACCES;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  wipe_text(text);
  if (!written) {
    if (created) {
      unlink(path.c_str());
    }
    return errno_reason(path, error);
  }
  return "";
}

std::string new_key_hex() {
  Key key;
  randombytes_buf(key.bytes.data(), key.bytes.size());
  return to_hex(key.bytes.data(), key.bytes.size());
}

std::string proof(const Key& key, std::string_view label, std::string_view first,
                  std::string_view second) {
  std::string message;
  message.reserve(label.size() + first.size() + second.size() + 2);
  message.append(label).append(" ").append(first).append(" ").append(second);
  return hmac_sha256_hex(as_text(key.bytes.data(), key.bytes.size()), message);
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

const NamedKey* KeySet::for_host(std::string_view name) const {
  const NamedKey* fallback = nullptr;
  for (const NamedKey& entry : keys) {
    if (entry.name == name) {
      return &entry;
    }
    if (entry.name == kDefaultKeyName) {
      fallback = &entry;
    }
  }
  return fallback;
}

bool valid_key_name(std::string_view name) {
  return !name.empty() && name.size() <= kMostNameBytes &&
         name.find_first_not_of(
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
             "0123456789.:_@+-") == std::string_view::npos;
}

std::string read_key_file(const std::string& path, KeySet& keys, bool distinct_keys,
                          std::size_t most_bytes) {
  std::string text;
  std::string reason = read_key_text(path, text, most_bytes);
  KeySet read;
  if (reason.empty()) {
    reason = parse_key_text(path, text, read, distinct_keys);
  }
  wipe_text(text);
  // The keys held before go either way (and are wiped); a refused file leaves none.
  keys.keys = reason.empty() ? std::move(read.keys) : std::vector<NamedKey>();
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
  std::string line = new_key_hex() + "\n";
  return write_key_text(fd, path, line, true);
}

std::string add_host_key(const std::string& path, std::string_view host, std::string_view name,
                         std::string& daemon_line) {
  if (!valid_key_name(host)) {
    return std::string(host) + " cannot name a key: use letters, digits and .:_@+- (at most 64)";
  }
  if (!valid_key_name(name)) {
    return std::string(name) + " cannot name a key: use letters, digits and .:_@+- (at most 64)";
  }
  if (!sodium_ready()) {
    return "libsodium could not be initialised";
  }
  std::string text;
  KeySet keys;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, kKeyFileMode);
  const bool created = fd != -1;
  if (!created) {
    if (errno != EEXIST) {
      return errno_reason(path, errno);
    }
    std::string reason = read_key_text(path, text, kMostClientKeyFileBytes);
    // An empty file (a byte-order mark alone is one too) takes the key as its first line.
    const std::string_view body = without_byte_order_mark(text);
    if (reason.empty() && !body.empty()) {
      reason = parse_key_text(path, text, keys, false);
    }
    const bool ends_line = body.empty() || body.back() == '\n';
    wipe_text(text);
    if (!reason.empty()) {
      return reason;
    }
    for (const NamedKey& entry : keys.keys) {
      if (entry.name == host) {
        return path + " already holds a key for " + std::string(host);
      }
    }
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) {
      return errno_reason(path, errno);
    }
    if (!ends_line) {
      text = "\n";
    }
  }
  const std::string hex = new_key_hex();
  text.append(hex).append(" ").append(host).append("\n");
  std::string reason = write_key_text(fd, path, text, created);
  if (reason.empty()) {
    daemon_line = hex + " " + std::string(name);
  }
  return reason;
}

std::string new_nonce() {
  static_cast<void>(sodium_ready());
  std::array<unsigned char, protocol::kNonceDigits / 2> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  return to_hex(bytes.data(), bytes.size());
}

std::string key_id(const Key& key) {
  return hmac_sha256_hex(as_text(key.bytes.data(), key.bytes.size()), protocol::kKeyIdLabel)
      .substr(0, protocol::kKeyIdDigits);
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

std::string ehlo_datagram(const NamedKey& key, std::string_view nonce) {
  std::string text(protocol::kEhloPrefix);
  return text.append(key.id).append(" ").append(nonce).append("\n");
}

std::string start_datagram(const Key& key, std::string_view nonce, std::string_view challenge) {
  std::string text(protocol::kStartPrefix);
  text.append(challenge).append(" ").append(start_proof(key, nonce, challenge));
  return text.append("\n");
}

std::string command_datagram(const NamedKey& key, std::string_view word,
                             std::string_view challenge) {
  std::string text(word);
  text.append(" ").append(key.id).append(" ").append(challenge).append(" ");
  return text.append(command_proof(key.key, challenge, word)).append("\n");
}

std::string ok_datagram(const Key& key, std::string_view challenge, std::string_view word) {
  std::string text(protocol::kOkPrefix);
  return text.append(ok_proof(key, challenge, word)).append("\n");
}

std::string refused_datagram(const Key& key, std::string_view challenge, int status) {
  const std::string code = std::to_string(status);
  std::string text(protocol::kRefusedPrefix);
  text.append(code).append(" ").append(proof(key, protocol::kRefusedLabel, challenge, code));
  return text.append("\n");
}

std::optional<KeyedEhlo> read_ehlo(std::string_view datagram) {
  const auto fields = hex_fields(datagram, protocol::kEhloPrefix,
                                 std::array{protocol::kKeyIdDigits, protocol::kNonceDigits});
  if (!fields) {
    return std::nullopt;
  }
  return KeyedEhlo{(*fields)[0], (*fields)[1]};
}

std::optional<KeyedStart> read_start(std::string_view datagram) {
  const auto fields = hex_fields(datagram, protocol::kStartPrefix,
                                 std::array{protocol::kChallengeDigits, protocol::kProofDigits});
  if (!fields) {
    return std::nullopt;
  }
  return KeyedStart{(*fields)[0], (*fields)[1]};
}

std::optional<KeyedCommand> read_command(std::string_view datagram) {
  for (const std::string_view word : {protocol::kSuspendWord, protocol::kQuitWord}) {
    if (!datagram.starts_with(word)) {
      continue;
    }
    const auto fields = hex_fields(
        datagram.substr(word.size()), " ",
        std::array{protocol::kKeyIdDigits, protocol::kChallengeDigits, protocol::kProofDigits});
    if (fields) {
      return KeyedCommand{word, (*fields)[0], (*fields)[1], (*fields)[2]};
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> read_ok(std::string_view datagram) {
  const auto fields = hex_fields(datagram, protocol::kOkPrefix, std::array{protocol::kProofDigits});
  if (!fields) {
    return std::nullopt;
  }
  return (*fields)[0];
}

std::optional<KeyedRefusal> read_refused(std::string_view datagram) {
  if (!datagram.starts_with(protocol::kRefusedPrefix)) {
    return std::nullopt;
  }
  datagram.remove_prefix(protocol::kRefusedPrefix.size());
  const std::size_t space = datagram.find(' ');
  const std::string_view code = datagram.substr(0, space);
  constexpr std::size_t kMostStatusDigits = 3;
  constexpr int kHighestStatus = 255;
  if (space == std::string_view::npos || code.empty() || code.size() > kMostStatusDigits ||
      code.front() == '0' || code.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const int status = std::stoi(std::string(code));
  const auto fields = hex_fields(datagram.substr(space), " ", std::array{protocol::kProofDigits});
  if (status > kHighestStatus || !fields) {
    return std::nullopt;
  }
  return KeyedRefusal{status, (*fields)[0]};
}

std::optional<std::string_view> proven_start(std::string_view datagram, const Key& key,
                                             std::string_view nonce) {
  const auto start = read_start(datagram);
  if (!start || !same_proof(start_proof(key, nonce, start->challenge), start->proof)) {
    return std::nullopt;
  }
  return start->challenge;
}

bool proven_ok(std::string_view datagram, const Key& key, std::string_view challenge,
               std::string_view word) {
  const auto proof = read_ok(datagram);
  return proof && !challenge.empty() && same_proof(ok_proof(key, challenge, word), *proof);
}

std::optional<int> proven_refusal(std::string_view datagram, const Key& key,
                                  std::string_view challenge) {
  const auto refusal = read_refused(datagram);
  if (!refusal || challenge.empty() ||
      !same_proof(proof(key, protocol::kRefusedLabel, challenge, std::to_string(refusal->status)),
                  refusal->proof)) {
    return std::nullopt;
  }
  return refusal->status;
}

Challenges::Challenges() {
  static_cast<void>(sodium_ready());
  randombytes_buf(secret_.bytes.data(), secret_.bytes.size());
}

std::string Challenges::mac(std::string_view head, std::string_view key_id) const {
  std::string message(protocol::kChallengeLabel);
  message.append(" ").append(head).append(" ").append(key_id);
  return hmac_sha256_hex(as_text(secret_.bytes.data(), secret_.bytes.size()), message)
      .substr(0, protocol::kChallengeDigits - head.size());
}

std::string Challenges::issue(std::string_view key_id, std::uint32_t now) const {
  // The second it was issued in, and random digits that make every challenge a new one, even
  // for two EHLOs in one second.
  std::array<char, kIssuedDigits + 1> second{};
  static_cast<void>(std::snprintf(second.data(), second.size(), "%08x", now));
  std::string head = second.data() + new_nonce().substr(0, kRandomDigits);
  return head + mac(head, key_id);
}

Challenges::Check Challenges::check(std::string_view challenge, std::string_view key_id,
                                    std::uint32_t now) const {
  if (!is_lower_hex(challenge, protocol::kChallengeDigits)) {
    return Check::kForged;
  }
  const std::string_view head = challenge.substr(0, kIssuedDigits + kRandomDigits);
  const std::string expected = mac(head, key_id);
  if (sodium_memcmp(expected.data(), challenge.data() + head.size(), expected.size()) != 0) {
    return Check::kForged;
  }
  const std::uint32_t issued = issue_second(challenge);
  return issued > now || now - issued > protocol::kChallengeSeconds ? Check::kExpired
                                                                    : Check::kGood;
}

Challenges::Spend Challenges::spend(std::string_view challenge, std::string_view word,
                                    std::uint32_t now) {
  std::erase_if(spent_, [now](const auto& entry) {
    return now - entry.second.issued > protocol::kChallengeSeconds;
  });
  if (const auto found = spent_.find(challenge); found != spent_.end()) {
    return found->second.word == word ? Spend::kAgain : Spend::kRefused;
  }
  if (spent_.size() >= kMostSpentChallenges) {
    return Spend::kRefused;
  }
  spent_.emplace(std::string(challenge), Spent{std::string(word), issue_second(challenge)});
  return Spend::kSpent;
}

KeyedService::Answer KeyedService::answer(std::string_view datagram, std::uint32_t now) {
  if (datagram == protocol::kEhlo) {
    return {Verdict::kKeyNeeded, std::string(protocol::kKeyedNotice), {}};
  }
  if (const auto ehlo = read_ehlo(datagram)) {
    const NamedKey* key = keys_.by_id(ehlo->key_id);
    if (key == nullptr) {
      // As a plain EHLO is: the controller learns that this daemon does not know its key.
      return {Verdict::kKeyNotHeld, std::string(protocol::kKeyedNotice), {}};
    }
    // Nothing is held for the sender: the challenge proves itself when it comes back.
    return {Verdict::kChallenge,
            start_datagram(key->key, ehlo->nonce, challenges_.issue(ehlo->key_id, now)),
            {}};
  }
  if (const auto proven = read_command(datagram)) {
    return command(*proven, now);
  }
  return {names_command(datagram) ? Verdict::kUnproven : Verdict::kNotKeyed, {}, {}};
}

KeyedService::Answer KeyedService::command(const KeyedCommand& command, std::uint32_t now) {
  const NamedKey* key = keys_.by_id(command.key_id);
  if (key == nullptr) {
    return {Verdict::kUnknownKey, {}, {}};
  }
  const Challenges::Check check = challenges_.check(command.challenge, command.key_id, now);
  if (check == Challenges::Check::kForged ||
      !same_proof(command_proof(key->key, command.challenge, command.word), command.proof)) {
    return {Verdict::kUnproven, {}, {}};
  }
  if (check == Challenges::Check::kExpired) {
    return {Verdict::kStale, {}, {}};
  }
  switch (challenges_.spend(command.challenge, command.word, now)) {
  case Challenges::Spend::kSpent:
    return {Verdict::kCarryOut, ok_datagram(key->key, command.challenge, command.word),
            command.word, key, std::string(command.challenge)};
  case Challenges::Spend::kAgain:
    return {Verdict::kRepeat, ok_datagram(key->key, command.challenge, command.word), command.word,
            key};
  case Challenges::Spend::kRefused:
    break;
  }
  return {Verdict::kStale, {}, {}};
}

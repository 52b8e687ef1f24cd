#include "key/key_file.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr mode_t kGroupAndOthers = 077;
constexpr mode_t kKeyFileMode = 0600;

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

bool is_hex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
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
  // The name, then what else the key may do: "wake", for the relay.
  const std::size_t blank = std::min(rest.find_first_of(" \t"), rest.size());
  const std::string_view name = rest.empty() ? kDefaultKeyName : rest.substr(0, blank);
  std::string_view allowed = rest.substr(blank);
  while (!allowed.empty() && is_blank(allowed.front())) {
    allowed.remove_prefix(1);
  }
  if (!valid_key_name(name)) {
    return "has a name that is not letters, digits and .:_@+- (at most 64)";
  }
  if (!allowed.empty() && allowed != kWakePermission) {
    return "has '" + std::string(allowed.substr(0, kMostNameBytes)) +
           "' after the name, where only the word " + std::string(kWakePermission) + " may be";
  }
  NamedKey entry{std::string(name), {}, {}, allowed == kWakePermission};
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

// Reads the client's existing key file at path into keys, with read_key_file's checks except
// that an empty file need hold no key. Sets ends_line to whether its last line ends in a line
// feed, as an empty file's does.
std::string read_client_file(const std::string& path, KeySet& keys, bool& ends_line) {
  std::string text;
  std::string reason = read_key_text(path, text, kMostClientKeyFileBytes);
  // An empty file (a byte-order mark alone is one too) takes the key as its first line.
  const std::string_view body = without_byte_order_mark(text);
  if (reason.empty() && !body.empty()) {
    reason = parse_key_text(path, text, keys, false);
  }
  ends_line = body.empty() || body.back() == '\n';
  wipe_text(text);
  return reason;
}

std::string new_key_hex() {
  Key key;
  randombytes_buf(key.bytes.data(), key.bytes.size());
  std::string hex(protocol::kKeyDigits + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), key.bytes.data(), key.bytes.size());
  hex.pop_back();
  return hex;
}

}  // namespace

bool valid_key_name(std::string_view name) {
  return !name.empty() && name.size() <= kMostNameBytes &&
         name.find_first_not_of(
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
             "0123456789.:_@+-") == std::string_view::npos;
}

std::string key_name_problem(std::string_view name) {
  if (valid_key_name(name)) {
    return "";
  }
  return std::string(name) + " cannot name a key: use letters, digits and .:_@+- (at most 64)";
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
  for (const std::string_view given : {host, name}) {
    if (std::string problem = key_name_problem(given); !problem.empty()) {
      return problem;
    }
  }
  if (!sodium_ready()) {
    return "libsodium could not be initialised";
  }
  std::string text;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, kKeyFileMode);
  const bool created = fd != -1;
  if (!created) {
    if (errno != EEXIST) {
      return errno_reason(path, errno);
    }
    KeySet keys;
    bool ends_line = true;
    if (std::string reason = read_client_file(path, keys, ends_line); !reason.empty()) {
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

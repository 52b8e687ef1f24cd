// Key files, shared by the daemon and the client: reading one with its checks, writing a new
// one, and adding a host's key to the client's.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "key/key.h"

/// The word after a key's name that lets it ask the daemon to relay a wake.
constexpr std::string_view kWakePermission = "wake";

/// The largest key file the daemon reads: hundreds of controllers' lines.
constexpr std::size_t kMostDaemonKeyFileBytes = std::size_t{64} * 1024;
/// The largest key file the client reads: a key for each host of a fleet, 10 000 lines of the
/// longest form (64 hex digits, a space, a 64-character name, CR LF) in 1.3 MB.
constexpr std::size_t kMostClientKeyFileBytes = std::size_t{2} * 1024 * 1024;

/// Loads keys from the file at path, which must be a regular file (not a symbolic link) owned
/// by the effective user, with no permission for group or others, holding one key a line as
/// 64 hex digits, optionally followed by white space and a name (letters, digits and
/// ".:_@+-", at most 64), and after the name optionally the word kWakePermission, which lets
/// the key ask for a relayed wake (NamedKey::may_wake); blank lines and lines starting with '#' are
/// skipped. Lines end in a line feed or CR LF (any other carriage return is refused); a UTF-8
/// byte-order mark at the start is skipped. Names are unique; with distinct_keys, so are keys. A
/// file larger than most_bytes is refused. Returns "" on success and replaces keys with the file's;
/// otherwise a reason naming path (and the line), never the file's content, and keys is left empty.
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

/// "" when name may name a key; otherwise the reason, which names it.
std::string key_name_problem(std::string_view name);

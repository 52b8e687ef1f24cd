// The keyed wire (net/protocol.h): each keyed datagram is built by one function and read by
// one, which the daemon and the client share, and the client's checks of the daemon's proven
// replies. The readers check form only: a proof is checked where its key is known (the key
// service, proven_start, proven_ok, proven_refusal).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "key/key.h"

/// The keyed EHLO naming key's id, with the client's nonce.
std::string ehlo_datagram(const NamedKey& key, std::string_view nonce);
/// The START that hands out challenge, proven for nonce.
std::string start_datagram(const Key& key, std::string_view nonce, std::string_view challenge);
/// The command word (SUSPEND or QUIT) on challenge, proven under key.
std::string command_datagram(const NamedKey& key, std::string_view word,
                             std::string_view challenge);
/// The OK that proves word was taken on challenge.
std::string ok_datagram(const Key& key, std::string_view challenge, std::string_view word);
/// The REFUSED that tells the sender of the SUSPEND on challenge that its sleep command failed
/// with status (1 to 255).
std::string refused_datagram(const Key& key, std::string_view challenge, int status);
/// The RUNNING that tells that the sleep command of the SUSPEND on challenge runs.
std::string running_datagram(const Key& key, std::string_view challenge);
/// The SLEEPING that tells that the sleep command of the SUSPEND on challenge succeeded.
std::string sleeping_datagram(const Key& key, std::string_view challenge);
/// The INHIBITED that tells that an inhibitor, named by text (printable, at most
/// kMostInhibitionText bytes), held back the SUSPEND on challenge.
std::string inhibited_datagram(const Key& key, std::string_view challenge, std::string_view text);
/// The word a WAKE for the MAC mac_digits (protocol::kMacDigits lower-case hex digits) is
/// proven for: "WAKE " and the digits.
std::string wake_word(std::string_view mac_digits);
/// The RELAYED that tells that the magic packet of the WAKE on challenge went to count
/// broadcast addresses (0 to 255).
std::string relayed_datagram(const Key& key, std::string_view challenge, int count);
/// The DENIED that tells that the WAKE on challenge was not carried out, for reason
/// (protocol::kDeniedKey or kDeniedRate).
std::string denied_datagram(const Key& key, std::string_view challenge, std::string_view reason);

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
struct KeyedInhibition {
  std::string_view proof, text;
};
struct KeyedRelay {
  int count;
  std::string_view proof;
};
struct KeyedDenial {
  std::string_view reason, proof;
};

/// The key id and nonce of a keyed EHLO; empty for anything else.
std::optional<KeyedEhlo> read_ehlo(std::string_view datagram);
/// The challenge and proof of a START; empty for anything else.
std::optional<KeyedStart> read_start(std::string_view datagram);
/// A command of any word (SUSPEND, QUIT, or WAKE with its MAC, which word then holds); empty
/// for anything else, a mangled command included.
std::optional<KeyedCommand> read_command(std::string_view datagram);
/// The proof of an OK.
std::optional<std::string_view> read_ok(std::string_view datagram);
/// The status and proof of a REFUSED: a status of 1 to 255 without leading zeros.
std::optional<KeyedRefusal> read_refused(std::string_view datagram);
/// The proof and text of an INHIBITED: a text of 1 to kMostInhibitionText printable ASCII
/// bytes.
std::optional<KeyedInhibition> read_inhibited(std::string_view datagram);
/// The count and proof of a RELAYED: a count of 0 to 255 without leading zeros.
std::optional<KeyedRelay> read_relayed(std::string_view datagram);
/// The reason and proof of a DENIED: a reason of protocol::kDeniedKey or kDeniedRate.
std::optional<KeyedDenial> read_denied(std::string_view datagram);

/// True when datagram starts with a command word and a space or line feed: it means to be a
/// command, well formed or not.
bool names_command(std::string_view datagram);

/// True when text is exactly digits lower-case hex digits, as every hex field on the wire is.
bool is_lower_hex(std::string_view text, std::size_t digits);

/// The challenge of datagram when it is a START whose proof answers nonce under key; empty
/// otherwise.
std::optional<std::string_view> proven_start(std::string_view datagram, const Key& key,
                                             std::string_view nonce);

/// True when datagram is the OK that proves under key that word was taken on challenge.
bool proven_ok(std::string_view datagram, const Key& key, std::string_view challenge,
               std::string_view word);

/// True when datagram is the RUNNING, or the SLEEPING, proven under key for the SUSPEND on
/// challenge.
bool proven_running(std::string_view datagram, const Key& key, std::string_view challenge);
bool proven_sleeping(std::string_view datagram, const Key& key, std::string_view challenge);

/// The sleep command's status when datagram is the REFUSED proven under key for the SUSPEND
/// on challenge; empty otherwise.
std::optional<int> proven_refusal(std::string_view datagram, const Key& key,
                                  std::string_view challenge);

/// The text naming the inhibitor when datagram is the INHIBITED proven under key for the
/// SUSPEND on challenge; empty otherwise.
std::optional<std::string_view> proven_inhibition(std::string_view datagram, const Key& key,
                                                  std::string_view challenge);

/// The count of networks when datagram is the RELAYED proven under key for the WAKE on
/// challenge; empty otherwise.
std::optional<int> proven_relay(std::string_view datagram, const Key& key,
                                std::string_view challenge);

/// The reason when datagram is the DENIED proven under key for the WAKE on challenge; empty
/// otherwise.
std::optional<std::string_view> proven_denial(std::string_view datagram, const Key& key,
                                              std::string_view challenge);

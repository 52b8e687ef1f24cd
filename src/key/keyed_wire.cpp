#include "key/keyed_wire.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

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

// A datagram that is prefix, then a proof, then a line feed (OK, RUNNING, SLEEPING).
std::string proof_datagram(std::string_view prefix, const std::string& proof) {
  std::string text(prefix);
  return text.append(proof).append("\n");
}

// The proof of such a datagram; empty when it is not one.
std::optional<std::string_view> proof_of(std::string_view datagram, std::string_view prefix) {
  const auto fields = hex_fields(datagram, prefix, std::array{protocol::kProofDigits});
  if (!fields) {
    return std::nullopt;
  }
  return (*fields)[0];
}

// True when datagram is prefix's datagram and carries expected, for a command on a challenge
// (a client that has sent none takes none).
bool proves(std::string_view datagram, std::string_view prefix, std::string_view challenge,
            const std::string& expected) {
  const auto proof = proof_of(datagram, prefix);
  return proof && !challenge.empty() && same_proof(expected, *proof);
}

// The number and proof of a datagram that is prefix, a number of 0 to 255 in decimal without
// leading zeros, a space, a proof and a line feed (REFUSED, RELAYED); empty when it is not.
std::optional<std::pair<int, std::string_view>> counted_proof(std::string_view datagram,
                                                              std::string_view prefix) {
  if (!datagram.starts_with(prefix)) {
    return std::nullopt;
  }
  datagram.remove_prefix(prefix.size());
  const std::size_t space = datagram.find(' ');
  const std::string_view code = datagram.substr(0, space);
  constexpr std::size_t kMostDigits = 3;
  constexpr int kHighest = 255;
  if (space == std::string_view::npos || code.empty() || code.size() > kMostDigits ||
      (code.front() == '0' && code.size() > 1) ||
      code.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const int number = std::stoi(std::string(code));
  const auto fields = hex_fields(datagram.substr(space), " ", std::array{protocol::kProofDigits});
  if (number > kHighest || !fields) {
    return std::nullopt;
  }
  return std::pair{number, (*fields)[0]};
}

}  // namespace

bool is_lower_hex(std::string_view text, std::size_t digits) {
  return text.size() == digits &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool names_command(std::string_view datagram) {
  for (const std::string_view word :
       {protocol::kSuspendWord, protocol::kQuitWord, protocol::kWakeWord}) {
    const std::string_view rest = datagram.substr(std::min(word.size(), datagram.size()));
    if (datagram.starts_with(word) && (rest.starts_with(' ') || rest.starts_with('\n'))) {
      return true;
    }
  }
  return false;
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
  return proof_datagram(protocol::kOkPrefix, ok_proof(key, challenge, word));
}

std::string refused_datagram(const Key& key, std::string_view challenge, int status) {
  std::string text(protocol::kRefusedPrefix);
  text.append(std::to_string(status)).append(" ").append(refused_proof(key, challenge, status));
  return text.append("\n");
}

std::string running_datagram(const Key& key, std::string_view challenge) {
  return proof_datagram(protocol::kRunningPrefix, running_proof(key, challenge));
}

std::string sleeping_datagram(const Key& key, std::string_view challenge) {
  return proof_datagram(protocol::kSleepingPrefix, sleeping_proof(key, challenge));
}

std::string inhibited_datagram(const Key& key, std::string_view challenge, std::string_view text) {
  std::string datagram(protocol::kInhibitedPrefix);
  datagram.append(inhibited_proof(key, challenge, text)).append(" ").append(text);
  return datagram.append("\n");
}

std::string wake_word(std::string_view mac_digits) {
  return std::string(protocol::kWakeWord).append(" ").append(mac_digits);
}

std::string relayed_datagram(const Key& key, std::string_view challenge, int count) {
  std::string text(protocol::kRelayedPrefix);
  text.append(std::to_string(count)).append(" ").append(relayed_proof(key, challenge, count));
  return text.append("\n");
}

std::string denied_datagram(const Key& key, std::string_view challenge, std::string_view reason) {
  std::string text(protocol::kDeniedPrefix);
  text.append(reason).append(" ").append(denied_proof(key, challenge, reason));
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
  // A WAKE's word is "WAKE " and the MAC: the word its proofs cover.
  const std::string_view wake =
      datagram.substr(0, protocol::kWakeWord.size() + 1 + protocol::kMacDigits);
  const bool waking =
      datagram.starts_with(protocol::kWakeWord) && wake.size() > protocol::kWakeWord.size() &&
      wake[protocol::kWakeWord.size()] == ' ' &&
      is_lower_hex(wake.substr(protocol::kWakeWord.size() + 1), protocol::kMacDigits);
  for (const std::string_view word :
       {protocol::kSuspendWord, protocol::kQuitWord, waking ? wake : std::string_view{}}) {
    if (word.empty() || !datagram.starts_with(word)) {
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
  return proof_of(datagram, protocol::kOkPrefix);
}

std::optional<KeyedRefusal> read_refused(std::string_view datagram) {
  const auto counted = counted_proof(datagram, protocol::kRefusedPrefix);
  if (!counted || counted->first == 0) {
    return std::nullopt;
  }
  return KeyedRefusal{counted->first, counted->second};
}

std::optional<KeyedRelay> read_relayed(std::string_view datagram) {
  const auto counted = counted_proof(datagram, protocol::kRelayedPrefix);
  if (!counted) {
    return std::nullopt;
  }
  return KeyedRelay{counted->first, counted->second};
}

std::optional<KeyedDenial> read_denied(std::string_view datagram) {
  for (const std::string_view reason : {protocol::kDeniedKey, protocol::kDeniedRate}) {
    std::string prefix(protocol::kDeniedPrefix);
    if (const auto proof = proof_of(datagram, prefix.append(reason).append(" "))) {
      return KeyedDenial{reason, *proof};
    }
  }
  return std::nullopt;
}

std::optional<KeyedInhibition> read_inhibited(std::string_view datagram) {
  if (!datagram.starts_with(protocol::kInhibitedPrefix) || !datagram.ends_with('\n')) {
    return std::nullopt;
  }
  datagram.remove_prefix(protocol::kInhibitedPrefix.size());
  datagram.remove_suffix(1);
  const std::string_view proof = datagram.substr(0, protocol::kProofDigits);
  const std::string_view text = datagram.substr(std::min(datagram.size(), proof.size() + 1));
  const bool printable =
      std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
  if (!is_lower_hex(proof, protocol::kProofDigits) || datagram.size() <= proof.size() ||
      datagram[proof.size()] != ' ' || text.empty() ||
      text.size() > protocol::kMostInhibitionText || !printable) {
    return std::nullopt;
  }
  return KeyedInhibition{proof, text};
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
  return proves(datagram, protocol::kOkPrefix, challenge, ok_proof(key, challenge, word));
}

bool proven_running(std::string_view datagram, const Key& key, std::string_view challenge) {
  return proves(datagram, protocol::kRunningPrefix, challenge, running_proof(key, challenge));
}

bool proven_sleeping(std::string_view datagram, const Key& key, std::string_view challenge) {
  return proves(datagram, protocol::kSleepingPrefix, challenge, sleeping_proof(key, challenge));
}

std::optional<int> proven_refusal(std::string_view datagram, const Key& key,
                                  std::string_view challenge) {
  const auto refusal = read_refused(datagram);
  if (!refusal || challenge.empty() ||
      !same_proof(refused_proof(key, challenge, refusal->status), refusal->proof)) {
    return std::nullopt;
  }
  return refusal->status;
}

std::optional<std::string_view> proven_inhibition(std::string_view datagram, const Key& key,
                                                  std::string_view challenge) {
  const auto inhibition = read_inhibited(datagram);
  if (!inhibition || challenge.empty() ||
      !same_proof(inhibited_proof(key, challenge, inhibition->text), inhibition->proof)) {
    return std::nullopt;
  }
  return inhibition->text;
}

std::optional<int> proven_relay(std::string_view datagram, const Key& key,
                                std::string_view challenge) {
  const auto relay = read_relayed(datagram);
  if (!relay || challenge.empty() ||
      !same_proof(relayed_proof(key, challenge, relay->count), relay->proof)) {
    return std::nullopt;
  }
  return relay->count;
}

std::optional<std::string_view> proven_denial(std::string_view datagram, const Key& key,
                                              std::string_view challenge) {
  const auto denial = read_denied(datagram);
  if (!denial || challenge.empty() ||
      !same_proof(denied_proof(key, challenge, denial->reason), denial->proof)) {
    return std::nullopt;
  }
  return denial->reason;
}

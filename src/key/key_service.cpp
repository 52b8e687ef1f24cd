#include "key/key_service.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A challenge: its issue second and random digits, in hex, then the MAC over them.
constexpr std::size_t kIssuedDigits = 8;
constexpr std::size_t kRandomDigits = 8;

// The second a challenge of good form was issued in.
std::uint32_t issue_second(std::string_view challenge) {
  return static_cast<std::uint32_t>(
      std::strtoul(std::string(challenge.substr(0, kIssuedDigits)).c_str(), nullptr, 16));
}

}  // namespace

Challenges::Challenges() {
  static_cast<void>(sodium_ready());
  randombytes_buf(secret_.bytes.data(), secret_.bytes.size());
}

std::string Challenges::mac(std::string_view head, std::string_view key_id) const {
  std::string message(protocol::kChallengeLabel);
  message.append(" ").append(head).append(" ").append(key_id);
  return hmac_sha256_hex(secret_, message).substr(0, protocol::kChallengeDigits - head.size());
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

bool Challenges::remembered(const Spent& entry, std::uint32_t now) {
  switch (entry.outcome) {
  case Outcome::kRunning:
    return true;
  case Outcome::kSleeping:
  case Outcome::kRefused:
  case Outcome::kInhibited:
  case Outcome::kRelayed:
    if (now - entry.settled <= protocol::kOutcomeSeconds) {
      return true;
    }
    break;
  case Outcome::kTaken:
    break;
  }
  return now - entry.issued <= protocol::kChallengeSeconds;
}

Challenges::Spend Challenges::spend(std::string_view challenge, std::string_view word,
                                    std::uint32_t now) {
  std::erase_if(spent_, [now](const auto& entry) { return !remembered(entry.second, now); });
  if (const auto found = spent_.find(challenge); found != spent_.end()) {
    return found->second.word == word ? Spend::kAgain : Spend::kUnavailable;
  }
  if (spent_.size() >= kMostSpentChallenges) {
    return Spend::kUnavailable;
  }
  const Outcome outcome = word == protocol::kSuspendWord ? Outcome::kRunning : Outcome::kTaken;
  spent_.emplace(std::string(challenge),
                 Spent{std::string(word), issue_second(challenge), outcome});
  return Spend::kSpent;
}

const Challenges::Spent* Challenges::spent(std::string_view challenge, std::uint32_t now) const {
  const auto found = spent_.find(challenge);
  return found == spent_.end() || !remembered(found->second, now) ? nullptr : &found->second;
}

void Challenges::settle(std::string_view challenge, int status, std::uint32_t now,
                        std::string_view inhibitor) {
  if (const auto found = spent_.find(challenge); found != spent_.end()) {
    Spent& entry = found->second;
    entry.outcome = entry.word != protocol::kSuspendWord ? Outcome::kRelayed
                    : !inhibitor.empty()                 ? Outcome::kInhibited
                    : status == 0                        ? Outcome::kSleeping
                                                         : Outcome::kRefused;
    entry.status = status;
    entry.settled = now;
    entry.inhibitor = inhibitor;
  }
}

namespace {

// The datagrams that tell that an inhibitor named by text held back the SUSPEND on
// challenge: INHIBITED, and the REFUSED that controllers which do not know it understand.
std::vector<std::string> inhibition_datagrams(const Key& key, std::string_view challenge,
                                              std::string_view text) {
  return {inhibited_datagram(key, challenge, text),
          refused_datagram(key, challenge, protocol::kInhibitedStatus)};
}

// What a copy of a carried-out command is told after its OK: how a SUSPEND's sleep command
// has come so far; nothing for a QUIT.
std::vector<std::string> outcome_datagrams(const Key& key, std::string_view challenge,
                                           const Challenges::Spent& spent) {
  switch (spent.outcome) {
  case Outcome::kRunning:
    return {running_datagram(key, challenge)};
  case Outcome::kSleeping:
    return {sleeping_datagram(key, challenge)};
  case Outcome::kRefused:
    return {refused_datagram(key, challenge, spent.status)};
  case Outcome::kInhibited:
    return inhibition_datagrams(key, challenge, spent.inhibitor);
  case Outcome::kRelayed:
    return {relayed_datagram(key, challenge, spent.status)};
  case Outcome::kTaken:
    break;
  }
  return {};
}

}  // namespace

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
  if (const auto keyed = read_command(datagram)) {
    return command(*keyed, now);
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
  // A copy of a command carried out is answered as long as its challenge is remembered, which
  // for a SUSPEND is as long as how its sleep command ended is worth telling.
  const Challenges::Spent* spent = challenges_.spent(command.challenge, now);
  if (spent == nullptr && check == Challenges::Check::kExpired) {
    return {Verdict::kStale, {}, {}};
  }
  if (spent != nullptr && spent->word != command.word) {
    return {Verdict::kStale, {}, {}};
  }
  if (spent != nullptr) {
    return {Verdict::kRepeat,
            ok_datagram(key->key, command.challenge, command.word),
            command.word,
            key,
            {},
            outcome_datagrams(key->key, command.challenge, *spent)};
  }
  // A WAKE sends a packet on the LAN: only a key allowed to, and within the relay's rate.
  // Nothing is spent, so a copy sent once the rate allows is carried out.
  const bool wake = command.word.starts_with(protocol::kWakeWord);
  if (wake) {
    const std::string_view reason = !key->may_wake         ? protocol::kDeniedKey
                                    : !wake_allowance(now) ? protocol::kDeniedRate
                                                           : std::string_view{};
    if (!reason.empty()) {
      return {Verdict::kDenied,
              denied_datagram(key->key, command.challenge, reason),
              command.word,
              key,
              {},
              {},
              reason};
    }
  }
  if (challenges_.spend(command.challenge, command.word, now) != Challenges::Spend::kSpent) {
    return {Verdict::kStale, {}, {}};
  }
  // Only a WAKE that goes out counts against the allowance, not one the full table refused.
  if (wake) {
    --wakes_left_;
  }
  return {Verdict::kCarryOut, ok_datagram(key->key, command.challenge, command.word), command.word,
          key, std::string(command.challenge)};
}

std::string KeyedService::settle(const NamedKey& key, std::string_view challenge, int status,
                                 std::uint32_t now) {
  challenges_.settle(challenge, status, now);
  return status == 0 ? sleeping_datagram(key.key, challenge)
                     : refused_datagram(key.key, challenge, status);
}

std::vector<std::string> KeyedService::inhibit(const NamedKey& key, std::string_view challenge,
                                               std::string_view text, std::uint32_t now) {
  challenges_.settle(challenge, protocol::kInhibitedStatus, now, text);
  return inhibition_datagrams(key.key, challenge, text);
}

std::string KeyedService::relayed(const NamedKey& key, std::string_view challenge, int count,
                                  std::uint32_t now) {
  challenges_.settle(challenge, count, now);
  return relayed_datagram(key.key, challenge, count);
}

bool KeyedService::wake_allowance(std::uint32_t now) {
  if (now > wakes_counted_) {
    const std::uint32_t seconds = now - wakes_counted_;
    const auto refill = static_cast<std::int64_t>(seconds) * protocol::kWakesPerSecond;
    wakes_left_ =
        static_cast<int>(std::min<std::int64_t>(protocol::kWakeBurst, wakes_left_ + refill));
    wakes_counted_ = now;
  }
  return wakes_left_ > 0;
}

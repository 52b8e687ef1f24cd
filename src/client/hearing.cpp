#include "client/hearing.h"

#include <algorithm>
#include <array>
#include <utility>

#include "key/keyed_wire.h"
#include "net/protocol.h"

namespace {

// How many probe nonces --confirm remembers: a START that answers an older probe comes too
// late to say anything about the host now.
constexpr std::size_t kProbeNonces = 2 * static_cast<std::size_t>(kConfirmProbes);

}  // namespace

Reply reply_of(std::string_view datagram) {
  const std::array<std::pair<std::string_view, Reply>, 5> exact{{
      {protocol::kStart, Reply::kStart},
      {protocol::kLocked, Reply::kLocked},
      {protocol::kOk, Reply::kOk},
      {protocol::kEnd, Reply::kEnd},
      {protocol::kKeyedNotice, Reply::kKeyed},
  }};
  for (const auto& [text, reply] : exact) {
    if (datagram == text) {
      return reply;
    }
  }
  if (read_start(datagram)) {
    return Reply::kKeyedStart;
  }
  if (read_ok(datagram)) {
    return Reply::kKeyedOk;
  }
  return Reply::kOther;
}
Heard proven_reply(std::string_view datagram, const Key& key, std::string_view nonce,
                   std::string_view challenge, std::string_view word) {
  if (!nonce.empty()) {
    if (const auto given = proven_start(datagram, key, nonce)) {
      return {Reply::kKeyedStart, *given};
    }
  }
  if (proven_ok(datagram, key, challenge, word)) {
    return {Reply::kKeyedOk};
  }
  // Only a SUSPEND has a sleep command to tell of.
  if (word == protocol::kSuspendWord) {
    if (const auto status = proven_refusal(datagram, key, challenge)) {
      return {Reply::kRefused, {}, *status};
    }
    if (proven_running(datagram, key, challenge)) {
      return {Reply::kRunning};
    }
    if (proven_sleeping(datagram, key, challenge)) {
      return {Reply::kSleeping};
    }
    if (const auto inhibitor = proven_inhibition(datagram, key, challenge)) {
      // The status of the REFUSED that follows it.
      return {Reply::kInhibited, {}, protocol::kInhibitedStatus, *inhibitor};
    }
  }
  // Only a WAKE has a relay to tell of.
  if (word.starts_with(protocol::kWakeWord)) {
    if (const auto count = proven_relay(datagram, key, challenge)) {
      return {Reply::kRelayed, {}, *count};
    }
    if (const auto reason = proven_denial(datagram, key, challenge)) {
      return {*reason == protocol::kDeniedKey ? Reply::kDeniedKey : Reply::kDeniedRate};
    }
  }
  return {datagram == protocol::kKeyedNotice ? Reply::kKeyed : Reply::kOther};
}

Heard probe_reply(std::string_view datagram, const Key& key,
                  const std::vector<std::string>& probe_nonces, std::string_view challenge,
                  std::string_view word) {
  // Only a START for one of the probes shows the host awake now; one for the EHLO that the
  // command answered is old news.
  if (std::any_of(probe_nonces.begin(), probe_nonces.end(), [&](const std::string& nonce) {
        return proven_start(datagram, key, nonce).has_value();
      })) {
    return {Reply::kKeyedStart};
  }
  return proven_reply(datagram, key, "", challenge, word);
}

Heard hear(const Exchange& exchange, std::string_view datagram, const Key* key,
           const Proving& proving) {
  if (key == nullptr) {
    return {reply_of(datagram)};
  }
  if (exchange.step == Step::kConfirming) {
    return probe_reply(datagram, *key, proving.probes, proving.challenge, proving.word);
  }
  return proven_reply(datagram, *key, proving.nonce, proving.challenge, proving.word);
}

void remember_probe(Proving& proving, std::string nonce) {
  proving.probes.push_back(std::move(nonce));
  if (proving.probes.size() > kProbeNonces) {
    proving.probes.erase(proving.probes.begin());
  }
}

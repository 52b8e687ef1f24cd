// What a datagram from a host means to its exchange (client/exchange.h): the exact texts of
// the plain protocol, and with a key only the replies whose proofs hold for what the client
// sent that host.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/exchange.h"
#include "key/key.h"

/// A datagram from the host as the exchange takes it, with what the client keeps of it.
struct Heard {
  Reply reply = Reply::kOther;
  std::string_view challenge = {};  // kKeyedStart: what a command answers (in the datagram)
  int sleep_status = 0;             // kRefused: the sleep command's exit status; kRelayed:
                                    // how many networks the magic packet went to
  std::string_view inhibitor = {};  // kInhibited: who and why (in the datagram)
};

/// What the replies of a keyed exchange are proven against: what the client sent its host.
struct Proving {
  std::string_view word;            // the command's word (WAKE: and its MAC)
  std::string nonce;                // sent in every EHLO of the exchange
  std::vector<std::string> probes;  // --confirm: the nonces of the latest probes, oldest first
  std::string challenge;            // from the proven START that the command answers
};

/// Classifies a datagram; only the exact texts count. The keyed kinds are only well formed:
/// their proofs are checked by proven_reply.
Reply reply_of(std::string_view datagram);

/// What a keyed client that sent nonce (and, once it commanded, was given challenge for word)
/// makes of a datagram: kKeyedStart (with its challenge), kKeyedOk, kRunning, kSleeping,
/// kRefused (with its status) or kInhibited (with who and why) only when its proof holds under
/// key (the last four: for a SUSPEND on challenge), kRelayed (with its count), kDeniedKey or
/// kDeniedRate only when proven for a WAKE on challenge, kKeyed for "KEYED 2" (which proves
/// nothing); everything else is kOther.
Heard proven_reply(std::string_view datagram, const Key& key, std::string_view nonce,
                   std::string_view challenge, std::string_view word);

/// What a keyed client makes of a datagram while --confirm probes, having sent the probes'
/// nonces: kKeyedStart (without its challenge, which nothing answers) only for a START proven
/// for one of them (one for the command's own EHLO is old news, and kOther); otherwise as
/// proven_reply without a nonce.
Heard probe_reply(std::string_view datagram, const Key& key,
                  const std::vector<std::string>& probe_nonces, std::string_view challenge,
                  std::string_view word);

/// What a datagram from the host means to the exchange of a client holding key (null: none):
/// reply_of without a key; with one, probe_reply while the exchange confirms, else
/// proven_reply, against what proving holds.
Heard hear(const Exchange& exchange, std::string_view datagram, const Key* key,
           const Proving& proving);

/// Adds the nonce of a probe about to go out, forgetting the oldest beyond the latest
/// 2 * kConfirmProbes.
void remember_probe(Proving& proving, std::string nonce);

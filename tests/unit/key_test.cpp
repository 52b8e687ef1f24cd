// The proofs against the manual's worked example, computed with openssl from the documented
// bytes (printf '%s' 'lomarind-v2 ...' | openssl dgst -sha256 -mac HMAC -macopt hexkey:0001..1f):
// the check of the exact bytes a third-party controller proves.
#include "key/key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "key/key_service.h"
#include "key/keyed_wire.h"

namespace {

const std::string kNonce = "0123456789abcdef0123456789abcdef";
const std::string kChallenge = "6565a1c0a1b2c3d4e5f60718293a4b5c";
const std::string kStartProof = "caf0e212618fa7cf8d52f30bf0f39dc51849b59063094113aa50413fcd418a24";
const std::string kSuspendProof =
    "4bd18b6ad75c1fb452e6a2449349bef4c1639da6d5660eeaa9e23522226ab011";
const std::string kSuspendOk = "e67a3b6e45860f341f9cb6ec71489552d65835ed20910714f05dfe8299e567fb";
const std::string kQuitOk = "c85e5b2650e1597c29e0996dc3c9845d1b879172be72ffe575d7fcd041986839";

}  // namespace

// The key 00 01 ... 1f of the manual's worked example.
Key example_key() {
  Key key;
  for (std::size_t i = 0; i < key.bytes.size(); ++i) {
    key.bytes[i] = static_cast<unsigned char>(i);
  }
  return key;
}

namespace {

TEST(Proof, EveryKindIsTheManualsExample) {
  const Key key = example_key();
  EXPECT_EQ(key_id(key), "1eb41439");
  EXPECT_EQ(start_proof(key, kNonce, kChallenge), kStartProof);
  EXPECT_EQ(command_proof(key, kChallenge, "SUSPEND"), kSuspendProof);
  EXPECT_EQ(command_proof(key, kChallenge, "QUIT"),
            "c55e5e459744d1a2b49c72d712684f4acb12b21169cf1b13174d21ae8b7c1330");
  EXPECT_EQ(ok_proof(key, kChallenge, "SUSPEND"), kSuspendOk);
  EXPECT_EQ(ok_proof(key, kChallenge, "QUIT"), kQuitOk);
}

}  // namespace

namespace {

// The four datagrams of the manual's worked example, built and read back.
TEST(KeyedWire, EachDatagramIsTheManualsExampleAndReadsBackToItsFields) {
  NamedKey holder{"default", "1eb41439", example_key()};
  const std::string ehlo = "EHLO 1eb41439 " + kNonce + "\n";
  const std::string start = "START " + kChallenge + " " + kStartProof + "\n";
  const std::string command = "SUSPEND 1eb41439 " + kChallenge + " " + kSuspendProof + "\n";
  const std::string ok = "OK " + kSuspendOk + "\n";
  EXPECT_EQ(ehlo_datagram(holder, kNonce), ehlo);
  EXPECT_EQ(start_datagram(holder.key, kNonce, kChallenge), start);
  EXPECT_EQ(command_datagram(holder, "SUSPEND", kChallenge), command);
  EXPECT_EQ(ok_datagram(holder.key, kChallenge, "SUSPEND"), ok);
  EXPECT_EQ(read_ehlo(ehlo)->nonce, kNonce);
  EXPECT_EQ(read_start(start)->proof, kStartProof);
  const auto read = read_command(command);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->word, "SUSPEND");
  EXPECT_EQ(read->key_id, "1eb41439");
  EXPECT_EQ(read->challenge, kChallenge);
  EXPECT_EQ(read->proof, kSuspendProof);
  EXPECT_EQ(read_ok(ok), kSuspendOk);
  std::string other_separator = start;
  other_separator[38] = '_';
  // One digit short, one too many, upper case, a missing line feed, two spaces, another
  // separator, more after the line feed, another word of a command's length: not keyed.
  for (const std::string& datagram :
       {ehlo.substr(0, 12) + ehlo.substr(13), ehlo.substr(0, 46) + "0\n",
        "EHLO 1EB41439 " + kNonce + "\n", start.substr(0, start.size() - 1),
        "START  " + start.substr(6), other_separator, start + "x", "SUSPENX" + command.substr(7)}) {
    EXPECT_FALSE(read_ehlo(datagram) || read_start(datagram) || read_command(datagram) ||
                 read_ok(datagram))
        << datagram;
  }
}

// What the client takes as proven: only the START for its nonce and the OK for its challenge and
// word, compared to the last digit.
TEST(KeyedWire, TheClientsChecksHoldOnlyForItsOwnNonceChallengeAndWord) {
  const Key key = example_key();
  const std::string start = "START " + kChallenge + " " + kStartProof + "\n";
  const std::string ok = "OK " + kSuspendOk + "\n";
  EXPECT_EQ(proven_start(start, key, kNonce), kChallenge);
  EXPECT_TRUE(proven_ok(ok, key, kChallenge, "SUSPEND"));
  std::string last_changed = start;
  last_changed[last_changed.size() - 2] ^= 1;
  std::string first_changed = ok;
  first_changed[3] = first_changed[3] == 'e' ? 'f' : 'e';
  EXPECT_FALSE(proven_start(last_changed, key, kNonce));
  EXPECT_FALSE(proven_start(start, key, std::string(32, 'a')));
  EXPECT_FALSE(proven_ok(first_changed, key, kChallenge, "SUSPEND"));
  EXPECT_FALSE(proven_ok(ok, key, kChallenge, "QUIT"));
  EXPECT_FALSE(proven_ok(ok, key, "", "SUSPEND"));
  std::string late = kSuspendOk;
  late.back() = late.back() == 'b' ? 'c' : 'b';
  EXPECT_FALSE(same_proof(kSuspendOk, late)) << "every digit counts";
  EXPECT_FALSE(same_proof(kSuspendOk.substr(0, 32), kSuspendOk.substr(0, 32)))
      << "only a whole proof is one";
}

// A refused sleep: the manual's example again (openssl, as above), read back only for the
// challenge and status it proves.
TEST(KeyedWire, ARefusalIsProvenForItsChallengeAndStatusOnly) {
  const Key key = example_key();
  const std::string refused =
      "REFUSED 1 527cc8769569c348b994f39846c63cbdb516f864d9cf8c74e1a5da5a4bbbf571\n";
  EXPECT_EQ(refused_datagram(key, kChallenge, 1), refused);
  EXPECT_EQ(proven_refusal(refused, key, kChallenge), 1);
  EXPECT_EQ(proven_refusal(refused_datagram(key, kChallenge, 255), key, kChallenge), 255);
  EXPECT_EQ(refused_datagram(key, kChallenge, 127),
            "REFUSED 127 72cb9707f3e16eb8f32e60697baac981f0e43f3b8ae66b4369127563a4c9f308\n");
  std::string other_status = refused;
  other_status[8] = '2';
  for (const std::string& datagram :
       {other_status, "REFUSED 01" + refused.substr(9), "REFUSED 256" + refused.substr(9),
        "REFUSED  1" + refused.substr(9), "REFUSED 1 " + kSuspendOk + "\n", refused + "x"}) {
    EXPECT_FALSE(proven_refusal(datagram, key, kChallenge)) << datagram;
  }
  EXPECT_FALSE(read_refused("REFUSED 256" + refused.substr(9)));
  EXPECT_FALSE(read_refused("REFUSED 99999999999" + refused.substr(9)));
  EXPECT_EQ(read_refused("REFUSED 255" + refused.substr(9))->status, 255);
  EXPECT_FALSE(proven_refusal(refused, key, std::string(32, 'a'))) << "another challenge's";
  EXPECT_FALSE(proven_refusal(refused, key, "")) << "before any command";
}

constexpr std::uint32_t kIssued = 1000;

// A challenge is good from its second while the boot clock has moved on by at most 4 seconds,
// for the key id it was issued for, and every one of its digits counts.
TEST(Challenge, GoodForFourSecondsForItsKeyIdAndForgedWhenAnyDigitChanges) {
  const Challenges challenges;
  const std::string challenge = challenges.issue("1eb41439", kIssued);
  ASSERT_EQ(challenge.size(), 32U);
  EXPECT_EQ(challenge.substr(0, 8), "000003e8") << "its second, in hex, comes first";
  EXPECT_NE(challenges.issue("1eb41439", kIssued), challenge) << "a new one every time";
  using Check = Challenges::Check;
  for (std::uint32_t later = 0; later <= 4; ++later) {
    EXPECT_EQ(challenges.check(challenge, "1eb41439", kIssued + later), Check::kGood) << later;
  }
  EXPECT_EQ(challenges.check(challenge, "1eb41439", kIssued + 5), Check::kExpired);
  EXPECT_EQ(challenges.check(challenge, "1eb41439", kIssued - 1), Check::kExpired);
  EXPECT_EQ(challenges.check(challenge, "00000000", kIssued), Check::kForged);
  EXPECT_EQ(Challenges().check(challenge, "1eb41439", kIssued), Check::kForged)
      << "another daemon's secret";
  for (std::size_t i = 0; i < challenge.size(); ++i) {
    std::string changed = challenge;
    changed[i] = changed[i] == '0' ? '1' : '0';
    EXPECT_EQ(challenges.check(changed, "1eb41439", kIssued), Check::kForged) << i;
  }
  std::string upper = challenge;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  if (upper != challenge) {
    EXPECT_EQ(challenges.check(upper, "1eb41439", kIssued), Check::kForged);
  }
  EXPECT_EQ(challenges.check(challenge.substr(0, 31), "1eb41439", kIssued), Check::kForged);
}

// Spent once for one word; the same word again is answered, the other refused; forgotten once
// it can no longer be good; never more than kMostSpentChallenges held.
TEST(Challenge, SpentOnceHeldWhileGoodAndTheTableIsBounded) {
  Challenges challenges;
  using Spend = Challenges::Spend;
  const std::string first = challenges.issue("1eb41439", kIssued);
  EXPECT_EQ(challenges.spend(first, "SUSPEND", kIssued), Spend::kSpent);
  EXPECT_EQ(challenges.spend(first, "SUSPEND", kIssued + 4), Spend::kAgain);
  EXPECT_EQ(challenges.spend(first, "QUIT", kIssued + 4), Spend::kUnavailable);
  EXPECT_EQ(challenges.spent_count(), 1U);
  const std::string second = challenges.issue("1eb41439", kIssued + 5);
  EXPECT_EQ(challenges.spend(second, "QUIT", kIssued + 5), Spend::kSpent);
  EXPECT_EQ(challenges.spent_count(), 1U) << "the first is forgotten after its 4 seconds";

  for (std::size_t i = challenges.spent_count(); i + 1 < kMostSpentChallenges; ++i) {
    ASSERT_EQ(challenges.spend(challenges.issue("1eb41439", kIssued + 5), "QUIT", kIssued + 5),
              Spend::kSpent);
  }
  EXPECT_EQ(challenges.spend(challenges.issue("1eb41439", kIssued + 6), "QUIT", kIssued + 6),
            Spend::kSpent)
      << "the last room";
  EXPECT_EQ(challenges.spent_count(), 1024U) << "the manual's bound";
  EXPECT_EQ(challenges.spend(challenges.issue("1eb41439", kIssued + 6), "QUIT", kIssued + 6),
            Spend::kUnavailable)
      << "full";
  EXPECT_EQ(challenges.spend(second, "QUIT", kIssued + 6), Spend::kAgain)
      << "a full table still answers a copy";
  EXPECT_EQ(challenges.spend(challenges.issue("1eb41439", kIssued + 10), "QUIT", kIssued + 10),
            Spend::kSpent)
      << "room again once those of second 1005 are no longer good";
  EXPECT_EQ(challenges.spent_count(), 2U);
}

// The daemon's side, against what a key holder and a stranger see on the wire.
TEST(KeyedService, AnswersOnlyProvenCommandsOnceAndTellsEachOtherDatagramApart) {
  KeySet keys;
  keys.keys.push_back(NamedKey{"default", "1eb41439", example_key()});
  KeyedService service(keys);
  using Verdict = KeyedService::Verdict;
  const NamedKey& holder = keys.keys.front();
  const auto challenge_at = [&](std::uint32_t now) {
    const KeyedService::Answer start = service.answer(ehlo_datagram(holder, kNonce), now);
    EXPECT_EQ(start.verdict, Verdict::kChallenge);
    return std::string(proven_start(start.reply, holder.key, kNonce).value_or(""));
  };
  EXPECT_EQ(service.answer("EHLO\n", kIssued).reply, "KEYED 2\n");
  const KeyedService::Answer unknown = service.answer("EHLO 00000000 " + kNonce + "\n", kIssued);
  EXPECT_EQ(unknown.verdict, Verdict::kKeyNotHeld);
  EXPECT_EQ(unknown.reply, "KEYED 2\n") << "told, as a plain EHLO is, that a key is needed";
  const std::string challenge = challenge_at(kIssued);
  ASSERT_FALSE(challenge.empty()) << "the START proves the nonce";
  std::string forged = command_datagram(holder, "SUSPEND", challenge);
  forged[forged.size() - 2] = forged[forged.size() - 2] == '0' ? '1' : '0';
  const std::string other_id =
      "SUSPEND 00000000 " + challenge + command_datagram(holder, "SUSPEND", challenge).substr(49);
  for (const auto& [datagram, verdict] : std::vector<std::pair<std::string, Verdict>>{
           {"SUSPEND\n", Verdict::kUnproven},
           {"QUIT " + challenge + "\n", Verdict::kUnproven},
           {forged, Verdict::kUnproven},
           {other_id, Verdict::kUnknownKey},
           {"HELLO\n", Verdict::kNotKeyed},
           {command_datagram(holder, "SUSPEND", std::string(32, 'a')), Verdict::kUnproven},
           {"SUSPENDED\n", Verdict::kNotKeyed},
       }) {
    const KeyedService::Answer answer = service.answer(datagram, kIssued + 1);
    EXPECT_EQ(answer.verdict, verdict) << datagram;
    EXPECT_TRUE(answer.reply.empty()) << datagram;
  }
  const std::string suspend = command_datagram(holder, "SUSPEND", challenge);
  const KeyedService::Answer done = service.answer(suspend, kIssued + 4);
  EXPECT_EQ(done.verdict, Verdict::kCarryOut);
  EXPECT_EQ(done.word, "SUSPEND");
  EXPECT_EQ(done.key, &holder);
  EXPECT_TRUE(proven_ok(done.reply, holder.key, challenge, "SUSPEND"));
  const KeyedService::Answer copy = service.answer(suspend, kIssued + 4);
  EXPECT_EQ(copy.verdict, Verdict::kRepeat);
  EXPECT_EQ(copy.reply, done.reply);
  EXPECT_EQ(service.answer(command_datagram(holder, "QUIT", challenge), kIssued + 4).verdict,
            Verdict::kStale);
  EXPECT_EQ(service.answer(suspend, kIssued + 5).verdict, Verdict::kStale) << "expired";
  const std::string late = challenge_at(kIssued + 10);
  EXPECT_EQ(service.answer(command_datagram(holder, "QUIT", late), kIssued + 15).verdict,
            Verdict::kStale);
  EXPECT_EQ(service.answer(command_datagram(holder, "QUIT", late), kIssued + 14).word, "QUIT");
  EXPECT_EQ(service.spent_count(), 1U);
}

}  // namespace

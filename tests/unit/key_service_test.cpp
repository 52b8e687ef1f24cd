// The daemon's challenges, its spent table and what each keyed datagram comes to, with the
// boot clock's second passed in.
#include "key/key_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "support/worked_example.h"

namespace {

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

// Spent once for one word; the same word again is answered, the other refused; a QUIT's
// forgotten once it can no longer be good, a SUSPEND's a minute after its sleep command ended;
// never more than kMostSpentChallenges held.
TEST(Challenge, SpentOnceHeldWhileGoodAndTheTableIsBounded) {
  Challenges challenges;
  using Spend = Challenges::Spend;
  const std::string first = challenges.issue("1eb41439", kIssued);
  EXPECT_EQ(challenges.spend(first, "QUIT", kIssued), Spend::kSpent);
  EXPECT_EQ(challenges.spend(first, "QUIT", kIssued + 4), Spend::kAgain);
  EXPECT_EQ(challenges.spend(first, "SUSPEND", kIssued + 4), Spend::kUnavailable);
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

  const std::string suspend = challenges.issue("1eb41439", kIssued + 10);
  ASSERT_EQ(challenges.spend(suspend, "SUSPEND", kIssued + 10), Spend::kSpent);
  ASSERT_NE(challenges.spent(suspend, kIssued + 100), nullptr) << "held while its command runs";
  EXPECT_EQ(challenges.spent(suspend, kIssued + 100)->outcome, Outcome::kRunning);
  challenges.settle(suspend, 1, kIssued + 100);
  ASSERT_NE(challenges.spent(suspend, kIssued + 160), nullptr);
  EXPECT_EQ(challenges.spent(suspend, kIssued + 160)->outcome, Outcome::kRefused);
  EXPECT_EQ(challenges.spent(suspend, kIssued + 160)->status, 1);
  EXPECT_EQ(challenges.spent(suspend, kIssued + 161), nullptr) << "a minute after it ended";
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
  EXPECT_TRUE(done.outcome.empty()) << "RUNNING waits until the command starts";
  const KeyedService::Answer copy = service.answer(suspend, kIssued + 4);
  EXPECT_EQ(copy.verdict, Verdict::kRepeat);
  EXPECT_EQ(copy.reply, done.reply);
  ASSERT_EQ(copy.outcome.size(), 1U);
  EXPECT_TRUE(proven_running(copy.outcome[0], holder.key, challenge));
  EXPECT_EQ(service.answer(command_datagram(holder, "QUIT", challenge), kIssued + 4).verdict,
            Verdict::kStale);
  EXPECT_EQ(service.answer(suspend, kIssued + 5).verdict, Verdict::kRepeat)
      << "while its command runs, though the challenge expired";
  const std::string sleeping = service.settle(holder, challenge, 0, kIssued + 6);
  EXPECT_TRUE(proven_sleeping(sleeping, holder.key, challenge));
  EXPECT_EQ(service.answer(suspend, kIssued + 66).outcome, std::vector{sleeping});
  EXPECT_EQ(service.answer(suspend, kIssued + 67).verdict, Verdict::kStale) << "forgotten";
  const std::string late = challenge_at(kIssued + 10);
  EXPECT_EQ(service.answer(command_datagram(holder, "QUIT", late), kIssued + 15).verdict,
            Verdict::kStale);
  EXPECT_EQ(service.answer(command_datagram(holder, "QUIT", late), kIssued + 14).word, "QUIT");
  EXPECT_EQ(service.spent_count(), 2U)
      << "the QUIT, and the SUSPEND a minute after its command ended";
  // A SUSPEND that an inhibitor held back: every copy is told who and why, and refused.
  const std::string held = challenge_at(kIssued + 20);
  const std::string held_suspend = command_datagram(holder, "SUSPEND", held);
  EXPECT_EQ(service.answer(held_suspend, kIssued + 21).verdict, Verdict::kCarryOut);
  const std::vector<std::string> told =
      service.inhibit(holder, held, "backup: Backup in progress", kIssued + 21);
  for (const auto& outcome : {told, service.answer(held_suspend, kIssued + 80).outcome}) {
    ASSERT_EQ(outcome.size(), 2U);
    EXPECT_EQ(proven_inhibition(outcome[0], holder.key, held), "backup: Backup in progress");
    EXPECT_EQ(proven_refusal(outcome[1], holder.key, held), 1) << "for older controllers";
  }
}

// A WAKE is carried out for a key allowed to wake, within the relay's allowance: kWakeBurst at
// once, kWakesPerSecond more each second. A denied one spends nothing: the same WAKE sent again
// once the allowance grows is carried out.
TEST(KeyedService, TheRelayWakesForAllowedKeysWithinItsAllowance) {
  KeySet keys;
  keys.keys.push_back(NamedKey{"laptop", "1eb41439", example_key()});
  Key other;
  other.bytes.fill(7);
  keys.keys.push_back(NamedKey{"phone", key_id(other), std::move(other)});
  keys.keys[0].may_wake = true;
  KeyedService service(keys);
  using Verdict = KeyedService::Verdict;
  const auto wake_at = [&](const NamedKey& holder, std::uint32_t now) {
    const KeyedService::Answer start = service.answer(ehlo_datagram(holder, kNonce), now);
    const std::string challenge(proven_start(start.reply, holder.key, kNonce).value_or(""));
    return std::pair{challenge, command_datagram(holder, wake_word("001122aabbcc"), challenge)};
  };
  const NamedKey& phone = keys.keys[1];
  const auto [refused_on, refused] = wake_at(phone, kIssued);
  const KeyedService::Answer denied = service.answer(refused, kIssued);
  EXPECT_EQ(denied.verdict, Verdict::kDenied);
  EXPECT_EQ(proven_denial(denied.reply, phone.key, refused_on), "key");
  // The allowance, modelled: full at first, then what each second adds, never above the burst.
  const NamedKey& laptop = keys.keys[0];
  int allowance = protocol::kWakeBurst;
  std::pair<std::string, std::string> held;
  for (std::uint32_t second = kIssued; second < kIssued + 12; ++second) {
    if (second > kIssued) {
      allowance = std::min(protocol::kWakeBurst, allowance + protocol::kWakesPerSecond);
    }
    const int asked = second % 5 == 0 ? 40 : 3;
    int carried = 0;
    for (int i = 0; i < asked; ++i) {
      auto [challenge, wake] = wake_at(laptop, second);
      const KeyedService::Answer answer = service.answer(wake, second);
      if (answer.verdict == Verdict::kCarryOut) {
        ++carried;
        EXPECT_TRUE(proven_ok(answer.reply, laptop.key, challenge, "WAKE 001122aabbcc"));
      } else {
        EXPECT_EQ(answer.verdict, Verdict::kDenied);
        EXPECT_EQ(proven_denial(answer.reply, laptop.key, challenge), "rate");
        held = {challenge, wake};
      }
    }
    EXPECT_EQ(carried, std::min(asked, allowance)) << "second " << second;
    allowance -= carried;
  }
  ASSERT_FALSE(held.first.empty());
  const std::uint32_t later = kIssued + 12;
  EXPECT_EQ(service.answer(held.second, later).verdict, Verdict::kCarryOut)
      << "a denied WAKE spent nothing";
  const std::string relayed = service.relayed(laptop, held.first, 2, later);
  EXPECT_EQ(proven_relay(relayed, laptop.key, held.first), 2);
  const KeyedService::Answer copy = service.answer(held.second, later + 60);
  EXPECT_EQ(copy.verdict, Verdict::kRepeat);
  EXPECT_EQ(copy.outcome, std::vector{relayed}) << "a copy is told where it went, for a minute";
  EXPECT_EQ(service.answer(held.second, later + 61).verdict, Verdict::kStale);
  // A WAKE that the full spent table turns away sends nothing and costs no allowance.
  const std::uint32_t full = later + 100;
  for (std::size_t i = 0; i < kMostSpentChallenges; ++i) {
    const std::string challenge = wake_at(laptop, full).first;
    service.answer(command_datagram(laptop, "SUSPEND", challenge), full);
    service.settle(laptop, challenge, 0, full);
  }
  EXPECT_EQ(service.spent_count(), kMostSpentChallenges);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(service.answer(wake_at(laptop, full + 60).second, full + 60).verdict,
              Verdict::kStale);
  }
  for (int i = 0; i < protocol::kWakeBurst; ++i) {
    EXPECT_EQ(service.answer(wake_at(laptop, full + 61).second, full + 61).verdict,
              Verdict::kCarryOut)
        << "wake " << i << " once the table has room";
  }
}

}  // namespace

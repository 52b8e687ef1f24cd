// The timing of one host's exchange, with the time passed in, and the exit status: what the
// end-to-end tests can only see as a whole.
#include "client/exchange.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "key/key.h"

// The manual's worked example, shared with the key module's test.
Key example_key();

namespace {

using namespace std::chrono_literals;

const Clock::time_point t0 = Clock::time_point{} + 1000s;

// Runs the exchange's timer at every 50 ms from `from` up to `to` and collects what it sends.
std::vector<Send> tick(Exchange& exchange, Clock::time_point from, Clock::time_point to) {
  std::vector<Send> sent;
  for (Clock::time_point now = from; now <= to; now += 50ms) {
    const Send send = on_timer(exchange, now);
    if (send != Send::kNothing) {
      sent.push_back(send);
    }
  }
  return sent;
}

TEST(Exchange, SilentHostGetsFourEhlosASecondApartThenNoAnswer) {
  Exchange exchange = start_exchange(t0, 10s);
  EXPECT_EQ(tick(exchange, t0, t0 + 3950ms), std::vector<Send>(4, Send::kEhlo));
  EXPECT_EQ(exchange.step, Step::kGreeting);
  EXPECT_EQ(wake_time(exchange), t0 + 4s);
  EXPECT_EQ(on_timer(exchange, t0 + 4s), Send::kNothing);
  EXPECT_EQ(exchange.result, Result::kNoAnswer);
}

TEST(Exchange, StartAfterTheTimeLimitSendsNoCommand) {
  Exchange exchange = start_exchange(t0, 1500ms);
  EXPECT_EQ(tick(exchange, t0, t0 + 1450ms).size(), 2U);
  // The loop read the clock late: the START is there, but the limit has passed.
  EXPECT_EQ(on_reply(exchange, Reply::kStart, t0 + 1600ms), Send::kNothing);
  on_timer(exchange, t0 + 1600ms);
  EXPECT_EQ(exchange.result, Result::kNoAnswer);
}

TEST(Exchange, TimeLimitCutsEveryWaitShort) {
  Exchange silent = start_exchange(t0, 1500ms);
  EXPECT_EQ(tick(silent, t0, t0 + 1450ms).size(), 2U);
  EXPECT_EQ(wake_time(silent), t0 + 1500ms);
  on_timer(silent, t0 + 1500ms);
  EXPECT_EQ(silent.result, Result::kNoAnswer);

  Exchange locked = start_exchange(t0, 1500ms);
  on_timer(locked, t0);
  on_reply(locked, Reply::kLocked, t0 + 1ms);
  EXPECT_EQ(tick(locked, t0 + 50ms, t0 + 1450ms), std::vector<Send>{Send::kEhlo});
  on_reply(locked, Reply::kLocked, t0 + 1200ms);
  on_timer(locked, t0 + 1500ms);
  EXPECT_EQ(locked.result, Result::kLocked);
}

TEST(Exchange, LockedWaitsASecondAndAsksAgainWithoutGuessing) {
  Exchange exchange = start_exchange(t0, 10s);
  on_timer(exchange, t0);
  for (int round = 0; round < 3; ++round) {
    const Clock::time_point at = t0 + round * 1s + 10ms;
    EXPECT_EQ(on_reply(exchange, Reply::kLocked, at), Send::kNothing);
    EXPECT_EQ(exchange.step, Step::kWaitingForLock);
    EXPECT_EQ(on_timer(exchange, at + 999ms), Send::kNothing);
    EXPECT_EQ(on_timer(exchange, at + 1s), Send::kEhlo) << round;
  }
  EXPECT_EQ(on_reply(exchange, Reply::kStart, t0 + 3100ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kOk, t0 + 3101ms), Send::kNothing);
  EXPECT_EQ(exchange.result, Result::kDone);
}

// A forged or replayed reply is as if it had never come: only the START that answers this
// client's nonce, and the OK of the word it sent with the challenge it answered, are proven.
TEST(KeyedExchange, TheClientTakesOnlyRepliesProvenForItsNonceAndCommand) {
  const Key key = example_key();
  const std::string kNonce = "0123456789abcdef0123456789abcdef";
  const std::string kChallenge = "6565a1c0a1b2c3d4e5f60718293a4b5c";
  const std::string kStartProof =
      "caf0e212618fa7cf8d52f30bf0f39dc51849b59063094113aa50413fcd418a24";
  const std::string kSuspendProof =
      "4bd18b6ad75c1fb452e6a2449349bef4c1639da6d5660eeaa9e23522226ab011";
  const std::string kSuspendOk = "e67a3b6e45860f341f9cb6ec71489552d65835ed20910714f05dfe8299e567fb";
  const std::string start = "START " + kChallenge + " " + kStartProof + "\n";
  const std::string ok = "OK " + kSuspendOk + "\n";
  EXPECT_EQ(proven_reply(start, key, kNonce, "", "SUSPEND"), Reply::kKeyedStart);
  EXPECT_EQ(proven_reply(ok, key, kNonce, kChallenge, "SUSPEND"), Reply::kKeyedOk);

  std::string upper = start;
  std::transform(upper.begin() + 6, upper.end(), upper.begin() + 6, ::toupper);
  Key other;
  const std::string other_nonce(32, 'a');
  const std::string other_challenge(32, 'b');
  struct Forgery {
    std::string datagram, nonce, challenge, word;
    const Key* key;
  };
  for (const Forgery& f : std::vector<Forgery>{
           {start, other_nonce, "", "SUSPEND", &key},  // recorded from another exchange
           {start, kNonce, "", "SUSPEND", &other},     // made with another key
           {upper, kNonce, "", "SUSPEND", &key},
           {"START " + kChallenge + (" " + kSuspendOk) + "\n", kNonce, "", "SUSPEND", &key},
           {"START\n", kNonce, "", "SUSPEND", &key},
           {ok, kNonce, other_challenge, "SUSPEND", &key},  // an earlier challenge's OK
           {ok, kNonce, kChallenge, "QUIT", &key},          // the other word's
           {ok, kNonce, "", "SUSPEND", &key},               // before any command
           {"OK " + kSuspendProof + "\n", kNonce, kChallenge, "SUSPEND", &key},
           {"OK\n", kNonce, kChallenge, "SUSPEND", &key},
           {"LOCKED\n", kNonce, kChallenge, "SUSPEND", &key},
           {"END\n", kNonce, kChallenge, "SUSPEND", &key},
       }) {
    EXPECT_EQ(proven_reply(f.datagram, *f.key, f.nonce, f.challenge, f.word), Reply::kOther)
        << f.datagram << " for " << f.nonce << "/" << f.challenge << "/" << f.word;
  }
}

// Copies of a keyed command are carried out once, so it goes again while no proven OK comes;
// with a key, nothing but proven replies moves the exchange.
TEST(KeyedExchange, CommandGoesThreeTimesASecondApartAndUnprovenRepliesAreIgnored) {
  Exchange exchange = start_exchange(t0, 10s, {.keyed = true});
  EXPECT_EQ(on_timer(exchange, t0), Send::kEhlo);
  for (const Reply ignored : {Reply::kStart, Reply::kLocked, Reply::kEnd, Reply::kKeyed, Reply::kOk,
                              Reply::kKeyedOk, Reply::kOther}) {
    EXPECT_EQ(on_reply(exchange, ignored, t0 + 10ms), Send::kNothing);
    EXPECT_EQ(exchange.step, Step::kGreeting);
  }
  EXPECT_EQ(on_reply(exchange, Reply::kKeyedStart, t0 + 20ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kKeyedStart, t0 + 30ms), Send::kNothing);
  EXPECT_EQ(on_reply(exchange, Reply::kOk, t0 + 40ms), Send::kNothing);
  EXPECT_EQ(tick(exchange, t0 + 50ms, t0 + 3050ms),
            std::vector<Send>(kKeyedCommandTries - 1, Send::kCommand));
  EXPECT_EQ(exchange.result, Result::kUnconfirmed);

  Exchange keyless = start_exchange(t0, 10s);
  on_timer(keyless, t0);
  EXPECT_EQ(on_reply(keyless, Reply::kKeyedStart, t0 + 10ms), Send::kNothing);
  EXPECT_EQ(on_reply(keyless, Reply::kKeyed, t0 + 20ms), Send::kNothing);
  EXPECT_EQ(keyless.result, Result::kNeedsKey);
}

TEST(ExitStatus, NoAnswerOutranksLockedWhichOutranksSuccess) {
  EXPECT_EQ(exit_status_of({}), 0);
  EXPECT_EQ(exit_status_of({Result::kDone, Result::kDone}), 0);
  EXPECT_EQ(exit_status_of({Result::kDone, Result::kLocked}), 2);
  EXPECT_EQ(exit_status_of({Result::kLocked, Result::kNoAnswer, Result::kDone}), 3);
  EXPECT_EQ(exit_status_of({Result::kUnresolved, Result::kLocked}), 3);
}

}  // namespace

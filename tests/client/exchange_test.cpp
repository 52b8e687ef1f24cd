// One host's exchange, with the time passed in: the resend schedule, locks, lost replies.
#include <gtest/gtest.h>

#include "client/exchange.h"

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

TEST(Exchange, StartGetsTheCommandAndOkEndsInSuccess) {
  Exchange exchange = start_exchange(t0, 10s);
  EXPECT_EQ(on_timer(exchange, t0), Send::kEhlo);
  EXPECT_EQ(on_reply(exchange, Reply::kStart, t0 + 1ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kStart, t0 + 2ms), Send::kNothing) << "one command only";
  EXPECT_EQ(on_reply(exchange, Reply::kOk, t0 + 3ms), Send::kNothing);
  EXPECT_EQ(exchange.step, Step::kFinished);
  EXPECT_EQ(exchange.result, Result::kDone);
}

TEST(Exchange, SilentHostGetsFourEhlosASecondApartThenNoAnswer) {
  Exchange exchange = start_exchange(t0, 10s);
  EXPECT_EQ(tick(exchange, t0, t0 + 3950ms), std::vector<Send>(4, Send::kEhlo));
  EXPECT_EQ(exchange.step, Step::kGreeting);
  EXPECT_EQ(wake_time(exchange), t0 + 4s);
  EXPECT_EQ(on_timer(exchange, t0 + 4s), Send::kNothing);
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

TEST(Exchange, LockedAfterAResendWithAReplyMissingTriesTheCommandOnce) {
  // Our first EHLO opened a session whose START was lost; the resend finds it locked.
  Exchange exchange = start_exchange(t0, 10s);
  on_timer(exchange, t0);
  on_timer(exchange, t0 + 1s);
  EXPECT_EQ(on_reply(exchange, Reply::kLocked, t0 + 1010ms), Send::kNothing);
  EXPECT_EQ(on_timer(exchange, t0 + 1100ms), Send::kNothing) << "waits for the other replies";
  EXPECT_EQ(on_timer(exchange, t0 + 1210ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kOk, t0 + 1220ms), Send::kNothing);
  EXPECT_EQ(exchange.result, Result::kDone);
}

TEST(Exchange, GuessedCommandWithoutOkIsALockAndNeverFollowedByEhlo) {
  Exchange exchange = start_exchange(t0, 5s);
  on_timer(exchange, t0);
  on_timer(exchange, t0 + 1s);
  on_reply(exchange, Reply::kLocked, t0 + 1010ms);
  ASSERT_EQ(on_timer(exchange, t0 + 1210ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kLocked, t0 + 1300ms), Send::kNothing);
  EXPECT_EQ(on_reply(exchange, Reply::kStart, t0 + 1400ms), Send::kNothing);
  EXPECT_EQ(tick(exchange, t0 + 1250ms, t0 + 6s), std::vector<Send>{});
  EXPECT_EQ(exchange.result, Result::kLocked);
}

TEST(Exchange, EveryEhloOfTheRoundLockedIsAnotherClientsSession) {
  // The daemon was busy, so both EHLOs of the round were answered at once, both LOCKED.
  Exchange exchange = start_exchange(t0, 10s);
  on_timer(exchange, t0);
  on_timer(exchange, t0 + 1s);
  on_reply(exchange, Reply::kLocked, t0 + 1500ms);
  on_reply(exchange, Reply::kLocked, t0 + 1501ms);
  EXPECT_EQ(on_timer(exchange, t0 + 1700ms), Send::kNothing);
  EXPECT_EQ(exchange.step, Step::kWaitingForLock);
  EXPECT_EQ(tick(exchange, t0 + 1750ms, t0 + 2700ms), std::vector<Send>{Send::kEhlo});
}

TEST(Exchange, CommandWithoutOkIsNoAnswerAndNoEhloFollowsIt) {
  Exchange exchange = start_exchange(t0, 10s);
  on_timer(exchange, t0);
  ASSERT_EQ(on_reply(exchange, Reply::kStart, t0 + 1ms), Send::kCommand);
  EXPECT_EQ(on_reply(exchange, Reply::kLocked, t0 + 2ms), Send::kNothing);
  EXPECT_EQ(tick(exchange, t0 + 50ms, t0 + 10s), std::vector<Send>{});
  EXPECT_EQ(exchange.result, Result::kNoAnswer);
}

TEST(Exchange, EndOtherDataAndUnaskedOkChangeNothing) {
  Exchange exchange = start_exchange(t0, 10s);
  on_timer(exchange, t0);
  for (const Reply reply : {Reply::kOther, Reply::kOk}) {
    EXPECT_EQ(on_reply(exchange, reply, t0 + 1ms), Send::kNothing);
    EXPECT_EQ(exchange.step, Step::kGreeting);
    EXPECT_EQ(exchange.next, t0 + 1s);
  }
  EXPECT_EQ(reply_of("END\n"), Reply::kOther);
  EXPECT_EQ(reply_of("START"), Reply::kOther);
  EXPECT_EQ(reply_of("start\n"), Reply::kOther);
  EXPECT_EQ(reply_of(std::string_view("OK\n\0", 4)), Reply::kOther);
  EXPECT_EQ(reply_of("LOCKED\n"), Reply::kLocked);
}

TEST(ExitStatus, NoAnswerOutranksLockedWhichOutranksSuccess) {
  EXPECT_EQ(exit_status_of({}), 0);
  EXPECT_EQ(exit_status_of({Result::kDone, Result::kDone}), 0);
  EXPECT_EQ(exit_status_of({Result::kDone, Result::kLocked}), 2);
  EXPECT_EQ(exit_status_of({Result::kLocked, Result::kNoAnswer, Result::kDone}), 3);
  EXPECT_EQ(exit_status_of({Result::kUnresolved, Result::kLocked}), 3);
}

}  // namespace

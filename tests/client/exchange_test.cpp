// The timing of one host's exchange, with the time passed in, and the exit status: what the
// end-to-end tests can only see as a whole.
#include "client/exchange.h"

#include <gtest/gtest.h>

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

TEST(ExitStatus, NoAnswerOutranksLockedWhichOutranksSuccess) {
  EXPECT_EQ(exit_status_of({}), 0);
  EXPECT_EQ(exit_status_of({Result::kDone, Result::kDone}), 0);
  EXPECT_EQ(exit_status_of({Result::kDone, Result::kLocked}), 2);
  EXPECT_EQ(exit_status_of({Result::kLocked, Result::kNoAnswer, Result::kDone}), 3);
  EXPECT_EQ(exit_status_of({Result::kUnresolved, Result::kLocked}), 3);
}

}  // namespace

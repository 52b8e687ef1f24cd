// The fleet's schedule, driven by a model of the fleet's loop: hosts take their places, the
// model holds each host's socket until it finishes, and counts how many it holds at once.
#include "client/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <numeric>
#include <vector>

namespace {

TEST(Schedule, AsksAtMostItsBoundAtOnceAndEveryHostOnceInOrder) {
  Schedule schedule(3);
  for (std::size_t host = 0; host < 10; ++host) {
    schedule.add(host);
  }
  std::vector<std::size_t> asked;
  std::deque<std::size_t> holding;
  std::size_t most_held = 0;
  for (;;) {
    while (const auto host = schedule.next()) {
      asked.push_back(*host);
      holding.push_back(*host);
    }
    most_held = std::max(most_held, holding.size());
    if (holding.empty()) {
      break;
    }
    // The host asked first finishes first, and its socket is closed.
    holding.pop_front();
    schedule.finished();
  }
  std::vector<std::size_t> every(10);
  std::iota(every.begin(), every.end(), 0);
  EXPECT_EQ(asked, every);
  EXPECT_EQ(most_held, 3U);
  EXPECT_FALSE(schedule.waiting());
}

TEST(Schedule, AHostWithoutASocketWaitsForAPlaceOnlyWhileAnotherHostHoldsOne) {
  Schedule schedule(5);
  for (std::size_t host = 0; host < 4; ++host) {
    schedule.add(host);
  }
  EXPECT_EQ(schedule.next(), 0U);
  EXPECT_EQ(schedule.next(), 1U);
  EXPECT_EQ(schedule.next(), 2U);
  // Two sockets are open and the third cannot be: host 2 waits, and no more hosts than the
  // two with sockets are asked at once.
  EXPECT_TRUE(schedule.cannot_open());
  EXPECT_EQ(schedule.next(), std::nullopt);
  schedule.finished();
  EXPECT_EQ(schedule.next(), 2U);
  EXPECT_EQ(schedule.next(), std::nullopt);
  schedule.finished();
  schedule.finished();
  EXPECT_EQ(schedule.next(), 3U);
  // With no other socket open, none will close: host 3 can never be asked, and says so.
  EXPECT_FALSE(schedule.cannot_open());
  EXPECT_FALSE(schedule.waiting());
  EXPECT_EQ(schedule.asking(), 0U);
}

}  // namespace
